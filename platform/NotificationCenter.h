#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace qz {

// Names of the notifications the system posts.
inline constexpr const char* kUpdateProgressBar = "updateProgressBar";
inline constexpr const char* kNewDataAvailable = "newDataAvailable";
inline constexpr const char* kTransferFktChanged = "transferFktChanged";
inline constexpr const char* kNewHiResAvailable = "newHiResAvailable";
// Posted when a load ends without a new volume; user info "info" holds the reason.
inline constexpr const char* kDataLoadFailed = "dataLoadFailed";

using InfoValue = std::variant<std::string, int>;
using UserInfo = std::map<std::string, InfoValue>;

struct Notification {
    std::string name;
    const void* object = nullptr;  // the sender, or none
    const UserInfo* userInfo = nullptr;

    // Convenience readers; a missing key or a value of the other kind yields the fallback.
    std::string stringValue(const std::string& key, const std::string& fallback = {}) const;
    int intValue(const std::string& key, int fallback = 0) const;
};

// Named notifications with synchronous delivery on the posting thread. Observers may be added,
// removed and notifications posted from any thread. A handler never runs after removeObserver
// has returned (unless removeObserver is called from inside that same handler).
class NotificationCenter {
  public:
    using Handler = std::function<void(const Notification&)>;
    using Token = std::uint64_t;

    static NotificationCenter& defaultCenter();

    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // sender == nullptr: any sender.
    Token addObserver(const std::string& name, const void* sender, Handler handler);
    void removeObserver(Token token);

    void post(const std::string& name, const void* object = nullptr, const UserInfo* userInfo = nullptr);

  private:
    struct Entry {
        Token token;
        std::string name;
        const void* sender;
        Handler handler;
        // Deliveries in progress, by thread: removeObserver waits for those of other threads.
        std::mutex callMutex;
        std::condition_variable callsDone;
        std::vector<std::thread::id> callers;
        bool active = true;
    };
    std::mutex mutex_;
    std::vector<std::shared_ptr<Entry>> entries_;
    Token nextToken_ = 1;
};

// Registration that removes itself when destroyed; movable, not copyable.
class Observation {
  public:
    Observation() = default;
    Observation(NotificationCenter& center, const std::string& name, const void* sender,
                NotificationCenter::Handler handler);
    Observation(Observation&& other) noexcept;
    Observation& operator=(Observation&& other) noexcept;
    Observation(const Observation&) = delete;
    Observation& operator=(const Observation&) = delete;
    ~Observation();
    void reset();

  private:
    NotificationCenter* center_ = nullptr;
    NotificationCenter::Token token_ = 0;
};

}  // namespace qz

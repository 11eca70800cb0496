#include "platform/NotificationCenter.h"

#include <algorithm>

namespace qz {

std::string Notification::stringValue(const std::string& key, const std::string& fallback) const {
    if (!userInfo)
        return fallback;
    auto it = userInfo->find(key);
    if (it == userInfo->end())
        return fallback;
    if (const auto* s = std::get_if<std::string>(&it->second))
        return *s;
    return fallback;
}

int Notification::intValue(const std::string& key, int fallback) const {
    if (!userInfo)
        return fallback;
    auto it = userInfo->find(key);
    if (it == userInfo->end())
        return fallback;
    if (const auto* i = std::get_if<int>(&it->second))
        return *i;
    return fallback;
}

NotificationCenter& NotificationCenter::defaultCenter() {
    // Lives as long as the process: observers may still post while static objects are torn down.
    static NotificationCenter* center = new NotificationCenter;
    return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name, const void* sender,
                                                          Handler handler) {
    auto entry = std::make_shared<Entry>();
    entry->name = name;
    entry->sender = sender;
    entry->handler = std::move(handler);
    std::lock_guard lock(mutex_);
    entry->token = nextToken_++;
    entries_.push_back(entry);
    return entry->token;
}

void NotificationCenter::removeObserver(Token token) {
    std::shared_ptr<Entry> removed;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(entries_.begin(), entries_.end(),
                               [token](const auto& e) { return e->token == token; });
        if (it == entries_.end())
            return;
        removed = *it;
        entries_.erase(it);
    }
    // Keep later deliveries out, then wait for those in progress on other threads. A delivery
    // on this thread is the caller's own handler removing itself and must not be waited for.
    std::unique_lock callLock(removed->callMutex);
    removed->active = false;
    const auto self = std::this_thread::get_id();
    removed->callsDone.wait(callLock, [&] {
        return std::all_of(removed->callers.begin(), removed->callers.end(),
                           [&](std::thread::id id) { return id == self; });
    });
}

void NotificationCenter::post(const std::string& name, const void* object, const UserInfo* userInfo) {
    // Deliver outside the registry lock so that handlers may post, add or remove observers.
    std::vector<std::shared_ptr<Entry>> targets;
    {
        std::lock_guard lock(mutex_);
        for (const auto& e : entries_) {
            if (e->name == name && (e->sender == nullptr || e->sender == object))
                targets.push_back(e);
        }
    }
    if (targets.empty())
        return;
    // No lock is held while a handler runs, so handlers posting to each other from two threads
    // cannot deadlock; a handler may run on several threads at once.
    const Notification note{name, object, userInfo};
    const auto self = std::this_thread::get_id();
    for (const auto& e : targets) {
        {
            std::lock_guard callLock(e->callMutex);
            if (!e->active)
                continue;
            e->callers.push_back(self);
        }
        e->handler(note);
        {
            std::lock_guard callLock(e->callMutex);
            e->callers.erase(std::find(e->callers.begin(), e->callers.end(), self));
        }
        e->callsDone.notify_all();
    }
}

Observation::Observation(NotificationCenter& center, const std::string& name, const void* sender,
                         NotificationCenter::Handler handler)
    : center_(&center), token_(center.addObserver(name, sender, std::move(handler))) {}

Observation::Observation(Observation&& other) noexcept : center_(other.center_), token_(other.token_) {
    other.center_ = nullptr;
    other.token_ = 0;
}

Observation& Observation::operator=(Observation&& other) noexcept {
    if (this != &other) {
        reset();
        center_ = other.center_;
        token_ = other.token_;
        other.center_ = nullptr;
        other.token_ = 0;
    }
    return *this;
}

Observation::~Observation() {
    reset();
}

void Observation::reset() {
    if (center_)
        center_->removeObserver(token_);
    center_ = nullptr;
    token_ = 0;
}

}  // namespace qz

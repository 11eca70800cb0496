#pragma once

// Records what a notification centre delivers: name, "info" and "progress".

#include <mutex>
#include <string>
#include <vector>

#include "platform/NotificationCenter.h"

namespace qz::testing {

class NotificationLog {
  public:
    struct Entry {
        std::string name, info;
        int progress;
    };

    explicit NotificationLog(NotificationCenter& center,
                             const std::vector<std::string>& names = {kUpdateProgressBar, kNewDataAvailable,
                                                                      kDataLoadFailed}) {
        for (const std::string& name : names)
            observations_.emplace_back(center, name, nullptr, [this](const Notification& n) {
                std::lock_guard lock(mutex_);
                entries_.push_back({n.name, n.stringValue("info"), n.intValue("progress", -1)});
            });
    }

    std::vector<Entry> entries() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }
    // The "progress" values posted with this info, in order.
    std::vector<int> progress(const std::string& info) const {
        std::vector<int> out;
        for (const Entry& e : entries())
            if (e.name == kUpdateProgressBar && e.info == info)
                out.push_back(e.progress);
        return out;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        entries_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    std::vector<Observation> observations_;
};

}  // namespace qz::testing

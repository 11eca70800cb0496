#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "platform/NotificationCenter.h"

namespace qz {

// Runs work on a new thread that nobody joins; the caller returns at once.
void detachNewThread(std::function<void()> work);

// Number of threads parallelFor uses, the calling thread included (at least 1).
int threadCount();
// 0 selects the number of hardware threads. Call only while no parallelFor runs.
void setThreadCount(int count);

// Runs body(i) for every i in [0, count), spread over the worker pool and the calling
// thread; returns when all calls have returned. Several callers may run at once; bodies must
// not throw. The order in which indices run is unspecified.
void parallelFor(std::int64_t count, const std::function<void(std::int64_t)>& body);

// One progress record ("info" and "progress") per phase. postIfHigher posts
// "updateProgressBar" with the new value only when it rises above the last posted one;
// calls from several threads are serialised, so values go out in increasing order.
class ProgressPoster {
public:
    explicit ProgressPoster(std::string info, NotificationCenter& center = NotificationCenter::defaultCenter());
    void postIfHigher(int percent);
    // Posts every value from last + 1 up to percent, in order.
    void postEachUpTo(int percent);
    int lastPosted() const;

private:
    NotificationCenter& center_;
    mutable std::mutex mutex_;
    UserInfo info_;
    int last_ = 0;
};

}  // namespace qz

#pragma once

// Progress of work split into parallel chunks, posted as "updateProgressBar" in exactly the
// values and order that one pass over the items in index order posts, one post at a time.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/NotificationCenter.h"

namespace qz {

// One progress record ("info" and "progress") per phase. postIfHigher posts
// "updateProgressBar" with the new value only when it rises above the last posted one;
// calls from several threads are serialised, so values go out in increasing order.
class ProgressPoster {
  public:
    explicit ProgressPoster(std::string info,
                            NotificationCenter& center = NotificationCenter::defaultCenter());
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

// A progress value and the number of finished items at which it goes out.
struct ProgressStep {
    std::int64_t done;
    int value;
};

// With percent(n) = trunc(float(n) / float(total) * 100) in single precision, the values a pass
// over items k = 0 .. total - 1 posts whenever the value rises above the last one posted:
// after item k, posts percent(k + 1) (the renderers' volume and MIP passes).
std::vector<ProgressStep> risingPercentSchedule(std::int64_t total);
// at item k, posts percent(k + 1) when percent(k) rises (the slice pass and the gradient pass).
std::vector<ProgressStep> lookBehindPercentSchedule(std::int64_t total);
// at item k, posts percent(k) when it rises (the loader's read pass; 100 is never reached
// unless rounding gets there).
std::vector<ProgressStep> startingPercentSchedule(std::int64_t total);

// Collects finished item counts from parallel chunks and posts the scheduled values in order,
// always on the thread that created it (the working thread, which works on chunks too): the
// notifications reach their observers on the thread that asked for the work, and a handler
// never runs on a pool thread while the working thread waits for it.
class ParallelProgress {
  public:
    ParallelProgress(std::vector<ProgressStep> schedule, std::string info, NotificationCenter& center);
    // Any thread; posts what is due when called on the creating thread.
    void addDone(std::int64_t items);
    // Creating thread, once the work is complete: posts everything still due.
    void finish();

  private:
    void postDue();

    std::vector<ProgressStep> schedule_;
    ProgressPoster poster_;
    std::atomic<std::int64_t> done_{0};
    std::thread::id owner_;
    std::size_t next_ = 0;  // used on the owner thread only
};

}  // namespace qz

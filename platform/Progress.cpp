#include "platform/Progress.h"

namespace qz {

ProgressPoster::ProgressPoster(std::string info, NotificationCenter& center) : center_(center) {
    info_["info"] = std::move(info);
    info_["progress"] = 0;
}

void ProgressPoster::postIfHigher(int percent) {
    std::lock_guard lock(mutex_);
    if (percent <= last_)
        return;
    last_ = percent;
    info_["progress"] = percent;
    center_.post(kUpdateProgressBar, nullptr, &info_);
}

void ProgressPoster::postEachUpTo(int percent) {
    std::lock_guard lock(mutex_);
    while (last_ < percent) {
        ++last_;
        info_["progress"] = last_;
        center_.post(kUpdateProgressBar, nullptr, &info_);
    }
}

int ProgressPoster::lastPosted() const {
    std::lock_guard lock(mutex_);
    return last_;
}

namespace {

int percentOf(std::int64_t n, std::int64_t total) {
    return static_cast<int>(static_cast<float>(n) / static_cast<float>(total) * 100.0f);
}

// The pass over items k = 0 .. total - 1 that, at item k, posts percentOf(k + post) when
// percentOf(k + test) exceeds the last value posted; the step goes out once item k is done.
// percentOf never falls as n grows, so a binary search finds each next item that posts.
std::vector<ProgressStep> percentSchedule(std::int64_t total, int test, int post) {
    std::vector<ProgressStep> steps;
    int last = 0;
    for (std::int64_t from = 0; from < total;) {
        std::int64_t lo = from, end = total;  // smallest k in [from, total) that posts, or total
        while (lo < end) {
            const std::int64_t mid = lo + (end - lo) / 2;
            if (percentOf(mid + test, total) > last) {
                end = mid;
            } else {
                lo = mid + 1;
            }
        }
        if (end >= total)
            break;
        last = percentOf(end + post, total);
        steps.push_back({end + 1, last});
        from = end + 1;
    }
    return steps;
}

}  // namespace

std::vector<ProgressStep> risingPercentSchedule(std::int64_t total) {
    return percentSchedule(total, 1, 1);
}

std::vector<ProgressStep> lookBehindPercentSchedule(std::int64_t total) {
    return percentSchedule(total, 0, 1);
}

std::vector<ProgressStep> startingPercentSchedule(std::int64_t total) {
    return percentSchedule(total, 0, 0);
}

ParallelProgress::ParallelProgress(std::vector<ProgressStep> schedule, std::string info,
                                   NotificationCenter& center)
    : schedule_(std::move(schedule)), poster_(std::move(info), center), owner_(std::this_thread::get_id()) {}

void ParallelProgress::addDone(std::int64_t items) {
    done_.fetch_add(items);
    if (std::this_thread::get_id() == owner_)
        postDue();
}

void ParallelProgress::finish() {
    postDue();
}

void ParallelProgress::postDue() {
    const std::int64_t done = done_.load();
    while (next_ < schedule_.size() && schedule_[next_].done <= done) {
        poster_.postIfHigher(schedule_[next_].value);
        ++next_;
    }
}

}  // namespace qz

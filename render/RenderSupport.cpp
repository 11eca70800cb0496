#include "render/RenderSupport.h"

namespace qz {

std::shared_ptr<RgbaImage> allocateImage(int width, int height) {
    auto image = std::make_shared<RgbaImage>();
    image->width = width;
    image->height = height;
    image->pixels.resize(std::size_t(4) * std::size_t(width) * std::size_t(height));
    return image;
}

namespace {

int percentOf(std::int64_t n, std::int64_t total) {
    return static_cast<int>(static_cast<float>(n) / static_cast<float>(total) * 100.0f);
}

// Smallest n in [lo, hi] with percentOf(n, total) >= value, or hi + 1; the percentage never
// falls as n grows, so a binary search finds it.
std::int64_t firstReaching(int value, std::int64_t lo, std::int64_t hi, std::int64_t total) {
    std::int64_t end = hi + 1;
    while (lo < end) {
        const std::int64_t mid = lo + (end - lo) / 2;
        if (percentOf(mid, total) >= value) {
            end = mid;
        } else {
            lo = mid + 1;
        }
    }
    return end;
}

}  // namespace

std::vector<ProgressStep> risingPercentSchedule(std::int64_t total) {
    std::vector<ProgressStep> steps;
    if (total <= 0)
        return steps;
    int last = 0;
    std::int64_t from = 1;
    while (from <= total) {
        const std::int64_t n = firstReaching(last + 1, from, total, total);
        if (n > total)
            break;
        last = percentOf(n, total);
        steps.push_back({n, last});
        from = n + 1;
    }
    return steps;
}

std::vector<ProgressStep> lookBehindPercentSchedule(std::int64_t total) {
    std::vector<ProgressStep> steps;
    if (total <= 0)
        return steps;
    int last = 0;
    std::int64_t from = 0;
    while (from < total) {
        const std::int64_t k = firstReaching(last + 1, from, total - 1, total);
        if (k >= total)
            break;
        last = percentOf(k + 1, total);
        steps.push_back({k + 1, last});
        from = k + 1;
    }
    return steps;
}

ParallelProgress::ParallelProgress(std::vector<ProgressStep> schedule, std::string info,
                                   NotificationCenter& center)
    : schedule_(std::move(schedule)), poster_(std::move(info), center), owner_(std::this_thread::get_id()) {}

void ParallelProgress::addDone(std::int64_t pixels) {
    done_.fetch_add(pixels);
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

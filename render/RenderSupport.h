#pragma once

// Pieces shared by the renderers' implementations: image allocation and progress that goes out
// in the same steps as a pixel-by-pixel loop would post it, from whichever thread finishes work.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/NotificationCenter.h"
#include "platform/Threads.h"
#include "render/Renderer.h"

namespace qz {

// An image of width x height pixels, contents undefined. Throws std::bad_alloc when it does not fit.
std::shared_ptr<RgbaImage> allocateImage(int width, int height);

// A progress value and the number of finished pixels at which it goes out.
struct ProgressStep {
    std::int64_t done;
    int value;
};

// Values of a loop over total pixels that, after finishing pixel n (1-based), posts
// trunc(float(n) / float(total) * 100) whenever it rises.
std::vector<ProgressStep> risingPercentSchedule(std::int64_t total);

// Values of a loop that, at pixel k (0-based), posts P = trunc(float(k + 1) / float(total) * 100)
// when trunc(float(k) / float(total) * 100) exceeds the last P (the slice renderer's rule).
std::vector<ProgressStep> lookBehindPercentSchedule(std::int64_t total);

// Collects finished pixel counts from parallel chunks and posts the scheduled values in order,
// always on the thread that created it (the rendering thread, which works on chunks too): the
// notifications reach their observers where the render was asked for, as with a plain loop,
// and a handler never runs on a pool thread while the rendering thread waits for it.
class ParallelProgress {
  public:
    ParallelProgress(std::vector<ProgressStep> schedule, std::string info, NotificationCenter& center);
    // Any thread; posts what is due when called on the creating thread.
    void addDone(std::int64_t pixels);
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

// Splits count items into about `chunksPerThread` chunks per pool thread (at least one item
// each) and runs body(begin, end) for each, spread over the pool.
template <class Body>
void parallelChunks(std::int64_t count, int chunksPerThread, const Body& body) {
    if (count <= 0)
        return;
    std::int64_t chunks = std::int64_t(threadCount()) * chunksPerThread;
    if (chunks > count)
        chunks = count;
    const std::int64_t base = count / chunks;
    const std::int64_t extra = count % chunks;
    parallelFor(chunks, [&](std::int64_t c) {
        const std::int64_t begin = c * base + (c < extra ? c : extra);
        const std::int64_t end = begin + base + (c < extra ? 1 : 0);
        body(begin, end);
    });
}

}  // namespace qz

#pragma once

#include <cstdint>
#include <functional>

namespace qz {

// Runs work on a new thread that nobody joins; the caller returns at once. False, with a note on
// standard error, when no thread can be started (work does not run).
bool detachNewThread(std::function<void()> work);

// Number of threads parallelFor uses, the calling thread included (at least 1): fewer than
// asked for, with a note on standard error, when the system cannot start that many.
int threadCount();
// 0 selects the number of hardware threads. Call only while no parallelFor runs.
void setThreadCount(int count);

// Runs body(i) for every i in [0, count), spread over the worker pool and the calling
// thread; returns when all calls have returned. Several callers may run at once; bodies must
// not throw. The order in which indices run is unspecified.
void parallelFor(std::int64_t count, const std::function<void(std::int64_t)>& body);

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

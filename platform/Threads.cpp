#include "platform/Threads.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

namespace qz {

bool detachNewThread(std::function<void()> work) {
    try {
        std::thread(std::move(work)).detach();
        return true;
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "Threads: cannot start a thread (%s)\n", e.what());
        return false;
    }
}

namespace {

struct Job {
    const std::function<void(std::int64_t)>* body;
    std::int64_t count;
    std::atomic<std::int64_t> next{0};
    std::atomic<std::int64_t> done{0};
    std::mutex mutex;
    std::condition_variable finished;
};

class Pool {
  public:
    explicit Pool(int workers) {
        const int asked = workers;
        for (;;) {
            try {
                while (int(threads_.size()) < workers)
                    threads_.emplace_back([this] { workerLoop(); });
                return;
            } catch (const std::system_error& e) {
                // At the limit of threads or of address space: half of the workers that did start
                // leave room for the work itself.
                const int started = int(threads_.size());
                stopWorkers();
                workers = started / 2;
                std::fprintf(stderr, "Threads: started only %d of %d worker threads (%s); using %d threads\n",
                             started, asked, e.what(), workers + 1);
            }
        }
    }
    ~Pool() { stopWorkers(); }
    int size() const { return static_cast<int>(threads_.size()) + 1; }

    void run(std::int64_t count, const std::function<void(std::int64_t)>& body) {
        auto job = std::make_shared<Job>();
        job->body = &body;
        job->count = count;
        if (!threads_.empty() && count > 1) {
            {
                std::lock_guard lock(mutex_);
                queue_.push_back(job);
            }
            wake_.notify_all();
        }
        work(*job);
        std::unique_lock lock(job->mutex);
        job->finished.wait(lock, [&] { return job->done.load() == job->count; });
    }

  private:
    void stopWorkers() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        for (auto& t : threads_)
            t.join();
        threads_.clear();
        stop_ = false;
    }

    static void work(Job& job) {
        for (;;) {
            const std::int64_t i = job.next.fetch_add(1);
            if (i >= job.count)
                return;
            (*job.body)(i);
            if (job.done.fetch_add(1) + 1 == job.count) {
                std::lock_guard lock(job.mutex);
                job.finished.notify_all();
            }
        }
    }

    void workerLoop() {
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
                if (stop_)
                    return;
                job = queue_.front();
                if (job->next.load() >= job->count) {
                    queue_.pop_front();
                    continue;
                }
            }
            work(*job);
        }
    }

    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<Job>> queue_;
    bool stop_ = false;
};

int hardwareThreads() {
    return std::max(1u, std::thread::hardware_concurrency());
}

// Leaked on purpose: a detached thread may still be inside parallelFor while the process exits,
// so the pool must outlive static destruction.
std::mutex& poolMutex = *new std::mutex;
std::shared_ptr<Pool>& pool = *new std::shared_ptr<Pool>;

std::shared_ptr<Pool> currentPool() {
    std::lock_guard lock(poolMutex);
    if (!pool)
        pool = std::make_shared<Pool>(hardwareThreads() - 1);
    return pool;
}

}  // namespace

int threadCount() {
    return currentPool()->size();
}

void setThreadCount(int count) {
    if (count <= 0)
        count = hardwareThreads();
    std::shared_ptr<Pool> old;
    {
        std::lock_guard lock(poolMutex);
        old = std::move(pool);
        pool = std::make_shared<Pool>(count - 1);
    }
    // old joins its workers here, once no caller holds it any more.
}

void parallelFor(std::int64_t count, const std::function<void(std::int64_t)>& body) {
    if (count <= 0)
        return;
    currentPool()->run(count, body);
}

}  // namespace qz

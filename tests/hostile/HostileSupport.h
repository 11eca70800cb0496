#pragma once

// Scratch files, captured diagnostics and a watchdog for the hostile-input tests.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/FuzzChecks.h"

namespace qz::hostile {

using fuzz::volumeFile;

// A directory of its own per test, removed afterwards.
class ScratchDir {
  public:
    ScratchDir() {
        static int counter = 0;
        path_ = std::filesystem::temp_directory_path() /
                ("qz-hostile-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::string write(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
        const std::string p = file(name);
        EXPECT_TRUE(fuzz::writeFile(p, bytes.data(), bytes.size())) << p;
        return p;
    }

  private:
    std::filesystem::path path_;
};

// Lines written to standard output while `work` runs.
inline std::vector<std::string> stdoutLines(const std::function<void()>& work) {
    testing::internal::CaptureStdout();
    work();
    const std::string out = testing::internal::GetCapturedStdout();
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < out.size()) {
        std::size_t end = out.find('\n', start);
        if (end == std::string::npos)
            end = out.size();
        lines.push_back(out.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Runs work on a thread of its own; false if it has not returned after `limit`. On a timeout the
// thread is left behind (after `unblock` has been tried) and the test fails instead of hanging.
inline bool finishesWithin(std::chrono::seconds limit, std::function<void()> work,
                           const std::function<void()>& unblock = {}) {
    struct State {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
    };
    auto state = std::make_shared<State>();
    std::thread([state, work = std::move(work)] {
        work();
        std::lock_guard lock(state->m);
        state->done = true;
        state->cv.notify_all();
    }).detach();
    std::unique_lock lock(state->m);
    if (state->cv.wait_for(lock, limit, [&] { return state->done; }))
        return true;
    lock.unlock();
    if (unblock)
        unblock();
    lock.lock();
    if (!state->cv.wait_for(lock, std::chrono::seconds(5), [&] { return state->done; })) {
        // The stuck thread still uses the caller's objects: stop here rather than run on them.
        std::fprintf(stderr, "hung operation could not be unblocked; aborting\n");
        std::abort();
    }
    return false;
}

}  // namespace qz::hostile

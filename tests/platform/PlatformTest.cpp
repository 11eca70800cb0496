// Notification centre, worker pool, progress poster and the progress schedules.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <thread>

#include "platform/NotificationCenter.h"
#include "platform/Progress.h"
#include "platform/Threads.h"
#include "support/Notifications.h"

namespace qz {
namespace {

TEST(NotificationCenter, DeliversByNameAndSenderWithUserInfo) {
    NotificationCenter center;
    int sender = 0, other = 0;
    std::vector<std::string> seen;
    Observation any(center, "a", nullptr, [&](const Notification& n) {
        seen.push_back(n.stringValue("info") + ":" + std::to_string(n.intValue("progress", -1)));
    });
    Observation fromSender(center, "a", &sender, [&](const Notification&) { seen.push_back("sender"); });
    Observation otherName(center, "b", nullptr, [&](const Notification&) { seen.push_back("b"); });
    UserInfo info{{"info", std::string("read x")}, {"progress", 7}};
    center.post("a", nullptr, &info);
    center.post("a", &other);
    center.post("a", &sender);
    EXPECT_EQ(seen, (std::vector<std::string>{"read x:7", ":-1", ":-1", "sender"}));
    const Notification n{"x", nullptr, &info};  // a key of the other kind gives the fallback
    EXPECT_EQ(n.intValue("info", 3), 3);
    EXPECT_EQ(n.stringValue("progress", "none"), "none");
}

TEST(NotificationCenter, RemovalEndsDeliveryAndHandlersMayReenter) {
    NotificationCenter center;
    int count = 0;
    {
        Observation o(center, "n", nullptr, [&](const Notification&) { ++count; });
        center.post("n");
        Observation moved = std::move(o);  // the registration travels with the object
        center.post("n");
    }
    center.post("n");
    EXPECT_EQ(count, 2);
    // A handler that registers, posts and removes itself on the delivering thread.
    NotificationCenter::Token self = 0;
    int inner = 0;
    std::vector<Observation> added;
    self = center.addObserver("outer", nullptr, [&](const Notification&) {
        added.emplace_back(center, "inner", nullptr, [&](const Notification&) { ++inner; });
        center.post("inner");
        center.removeObserver(self);
    });
    center.post("outer");
    center.post("outer");
    EXPECT_EQ(inner, 1);
}

TEST(NotificationCenter, RemoveWaitsForADeliveryOnAnotherThread) {
    NotificationCenter center;
    std::mutex m;
    std::condition_variable cv;
    bool entered = false, release = false;
    std::atomic<bool> finished{false};
    const auto token = center.addObserver("slow", nullptr, [&](const Notification&) {
        std::unique_lock lock(m);
        entered = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
        finished = true;
    });
    std::thread poster([&] { center.post("slow"); });
    {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return entered; });
    }
    std::thread remover([&] {
        center.removeObserver(token);
        EXPECT_TRUE(finished.load());  // once removal returns, the handler has finished
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
        std::lock_guard lock(m);
        release = true;
    }
    cv.notify_all();
    poster.join();
    remover.join();
    center.post("slow");
}

// Regression: two handlers, each posting the other's notification from inside its delivery on two
// threads at once, used to deadlock.
TEST(NotificationCenter, HandlersPostingToEachOtherFromTwoThreadsDoNotDeadlock) {
    NotificationCenter center;
    std::atomic<int> inside{0}, nested{0};
    auto handler = [&](const char* other) {
        return [&, other](const Notification& note) {
            if (note.intValue("nested")) {
                ++nested;
                return;
            }
            ++inside;
            while (inside.load() < 2)
                std::this_thread::yield();
            const UserInfo info{{"nested", 1}};
            center.post(other, nullptr, &info);
        };
    };
    Observation a(center, "a", nullptr, handler("b")), b(center, "b", nullptr, handler("a"));
    std::thread first([&] { center.post("a"); }), second([&] { center.post("b"); });
    first.join();
    second.join();
    EXPECT_EQ(nested.load(), 2);
}

TEST(Threads, ParallelForVisitsEveryIndexOnceAlsoNestedAndConcurrent) {
    for (int threads : {1, 2, 5, 0}) {
        setThreadCount(threads);
        EXPECT_EQ(threadCount(),
                  threads == 0 ? std::max(1, int(std::thread::hardware_concurrency())) : threads);
        for (std::int64_t count : {0, 1, 3, 1000}) {
            std::vector<std::atomic<int>> hits(static_cast<std::size_t>(count));
            parallelFor(count, [&](std::int64_t i) { ++hits[std::size_t(i)]; });
            for (std::int64_t i = 0; i < count; ++i)
                ASSERT_EQ(hits[std::size_t(i)].load(), 1) << threads << " " << i;
        }
    }
    parallelFor(-3, [](std::int64_t) { FAIL(); });
    setThreadCount(3);
    std::atomic<std::int64_t> sum{0};
    auto work = [&] {
        parallelFor(8, [&](std::int64_t i) { parallelFor(16, [&](std::int64_t j) { sum += i * 16 + j; }); });
    };
    std::thread a(work), b(work);
    work();
    a.join();
    b.join();
    EXPECT_EQ(sum.load(), 3 * (127 * 128 / 2));
    setThreadCount(0);
}

TEST(Progress, PosterPostsOnlyRisingValuesInOrderFromAnyThread) {
    NotificationCenter center;
    testing::NotificationLog log(center, {kUpdateProgressBar});
    ProgressPoster poster("calculate slice", center);
    for (int p : {0, 3, 3, 2})
        poster.postIfHigher(p);
    poster.postEachUpTo(6);
    EXPECT_EQ(log.progress("calculate slice"), (std::vector<int>{3, 4, 5, 6}));
    EXPECT_EQ(poster.lastPosted(), 6);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&poster, t] {
            for (int p = 7 + t; p <= 100; p += 4)
                poster.postIfHigher(p);
        });
    for (auto& t : threads)
        t.join();
    const auto posted = log.progress("calculate slice");
    for (std::size_t i = 1; i < posted.size(); ++i)
        ASSERT_LT(posted[i - 1], posted[i]);
    EXPECT_EQ(posted.back(), 100);
}

// Both schedules against a loop that counts pixels one at a time and posts as it goes.
TEST(Progress, SchedulesMatchACountingLoop) {
    auto percent = [](std::int64_t n, std::int64_t total) { return int(float(n) / float(total) * 100.0f); };
    for (std::int64_t total : {0, 1, 2, 3, 7, 99, 100, 101, 4096, 10000, 16777217}) {
        std::vector<std::pair<std::int64_t, int>> rising, lookBehind, gotRising, gotLookBehind;
        for (std::int64_t n = 1, last = 0; n <= total; ++n)
            if (percent(n, total) > last)
                rising.push_back({n, int(last = percent(n, total))});
        for (std::int64_t k = 0, last = 0; k < total; ++k)
            if (percent(k, total) > last)
                lookBehind.push_back({k + 1, int(last = percent(k + 1, total))});
        for (const ProgressStep& s : risingPercentSchedule(total))
            gotRising.push_back({s.done, s.value});
        for (const ProgressStep& s : lookBehindPercentSchedule(total))
            gotLookBehind.push_back({s.done, s.value});
        EXPECT_EQ(gotRising, rising) << total;
        EXPECT_EQ(gotLookBehind, lookBehind) << total;
    }
}

}  // namespace
}  // namespace qz

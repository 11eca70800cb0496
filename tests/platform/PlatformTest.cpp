// Notification centre, worker pool and progress poster.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/NotificationCenter.h"
#include "platform/Progress.h"
#include "platform/Threads.h"

namespace qz {
namespace {

using namespace std::chrono_literals;

TEST(NotificationCenter, DeliversByNameAndSenderWithUserInfo) {
    NotificationCenter center;
    int sender = 0, other = 0;
    std::vector<std::string> seen;
    Observation any(center, "a", nullptr, [&](const Notification& n) {
        seen.push_back("any:" + n.stringValue("info") + ":" + std::to_string(n.intValue("progress", -1)));
    });
    Observation fromSender(center, "a", &sender, [&](const Notification& n) {
        EXPECT_EQ(n.object, &sender);
        seen.push_back("sender");
    });
    Observation otherName(center, "b", nullptr, [&](const Notification&) { seen.push_back("b"); });

    UserInfo info{{"info", std::string("read x")}, {"progress", 7}};
    center.post("a", nullptr, &info);
    center.post("a", &other);
    center.post("a", &sender);
    EXPECT_EQ(seen, (std::vector<std::string>{"any:read x:7", "any::-1", "any::-1", "sender"}));

    // A key of the other kind or a missing key gives the fallback.
    const Notification n{"x", nullptr, &info};
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

    // A handler that posts, registers and removes itself, all on the delivering thread.
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
    EXPECT_EQ(added.size(), 1u);
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
        // Once removal has returned, the handler is no longer running.
        EXPECT_TRUE(finished.load());
    });
    std::this_thread::sleep_for(20ms);
    {
        std::lock_guard lock(m);
        release = true;
    }
    cv.notify_all();
    poster.join();
    remover.join();
    center.post("slow");  // no delivery any more, no deadlock
}

TEST(NotificationCenter, HandlersPostingToEachOtherFromTwoThreadsDoNotDeadlock) {
    NotificationCenter center;
    // Both handlers are entered before either posts the other's notification.
    std::atomic<int> inside{0};
    std::atomic<int> nestedDeliveries{0};
    auto handler = [&](const char* other) {
        return [&, other](const Notification& note) {
            if (note.intValue("nested")) {
                ++nestedDeliveries;
                return;
            }
            ++inside;
            while (inside.load() < 2)
                std::this_thread::yield();
            const UserInfo nested{{"nested", 1}};
            center.post(other, nullptr, &nested);
        };
    };
    center.addObserver("a", nullptr, handler("b"));
    center.addObserver("b", nullptr, handler("a"));
    std::thread first([&] { center.post("a"); });
    std::thread second([&] { center.post("b"); });
    first.join();
    second.join();
    EXPECT_EQ(nestedDeliveries.load(), 2);
}

TEST(NotificationCenter, PostAndRegisterFromManyThreads) {
    NotificationCenter center;
    std::atomic<int> delivered{0};
    Observation counter(center, "tick", nullptr, [&](const Notification&) { ++delivered; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                Observation temporary(center, "other", nullptr, [](const Notification&) {});
                center.post("tick");
                center.post("other");
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(delivered.load(), 2000);
}

TEST(Threads, ParallelForVisitsEveryIndexOnceForAnyThreadCount) {
    for (int threads : {1, 2, 5, 0}) {
        setThreadCount(threads);
        EXPECT_EQ(threadCount(),
                  threads == 0 ? std::max(1, int(std::thread::hardware_concurrency())) : threads);
        for (std::int64_t count : {0, 1, 2, 3, 1000}) {
            std::vector<std::atomic<int>> hits(static_cast<std::size_t>(count));
            parallelFor(count, [&](std::int64_t i) { ++hits[std::size_t(i)]; });
            for (std::int64_t i = 0; i < count; ++i)
                ASSERT_EQ(hits[std::size_t(i)].load(), 1) << threads << " " << i;
        }
    }
    setThreadCount(0);
    parallelFor(-3, [](std::int64_t) { FAIL(); });
}

TEST(Threads, NestedAndConcurrentCallersFinish) {
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

TEST(ProgressPoster, PostsOnlyRisingValuesInOrderFromAnyThread) {
    NotificationCenter center;
    std::vector<int> posted;
    std::string info;
    Observation o(center, kUpdateProgressBar, nullptr, [&](const Notification& n) {
        posted.push_back(n.intValue("progress"));  // the poster serialises: no lock needed here
        info = n.stringValue("info");
    });
    ProgressPoster poster("calculate slice", center);
    poster.postIfHigher(0);
    poster.postIfHigher(3);
    poster.postIfHigher(3);
    poster.postIfHigher(2);
    poster.postEachUpTo(6);
    EXPECT_EQ(posted, (std::vector<int>{3, 4, 5, 6}));
    EXPECT_EQ(info, "calculate slice");
    EXPECT_EQ(poster.lastPosted(), 6);

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&poster, t] {
            for (int p = 7 + t; p <= 100; p += 4)
                poster.postIfHigher(p);
        });
    }
    for (auto& t : threads)
        t.join();
    for (std::size_t i = 1; i < posted.size(); ++i)
        ASSERT_LT(posted[i - 1], posted[i]);
    EXPECT_EQ(posted.back(), 100);
}

}  // namespace
}  // namespace qz

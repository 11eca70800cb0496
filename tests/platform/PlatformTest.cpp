// Notification centre and the progress schedules.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/NotificationCenter.h"
#include "platform/Progress.h"

namespace qz {
namespace {

// Delivery by name and sender with user info (a key of the other kind gives the fallback); removal
// ends delivery and travels with a moved Observation; a handler may register, post and remove itself.
TEST(NotificationCenter, DeliversByNameAndSenderAndHandlersMayReenter) {
    NotificationCenter center;
    int sender = 0, other = 0;
    std::string seen;
    {
        Observation any(center, "a", nullptr, [&](const Notification& n) {
            seen += n.stringValue("info") + std::to_string(n.intValue("progress", -1)) +
                    n.stringValue("progress", "/");
        });
        Observation fromSender(center, "a", &sender, [&](const Notification&) { seen += "S"; });
        Observation moved = std::move(fromSender);
        const UserInfo info{{"info", std::string("read x:")}, {"progress", 7}};
        center.post("a", nullptr, &info);
        center.post("a", &other);
        center.post("a", &sender);
        center.post("b");
    }
    center.post("a", &sender);
    NotificationCenter::Token self = 0;
    std::vector<Observation> added;
    self = center.addObserver("outer", nullptr, [&](const Notification&) {
        added.emplace_back(center, "inner", nullptr, [&](const Notification&) { seen += "I"; });
        center.post("inner");
        center.removeObserver(self);
    });
    center.post("outer");
    center.post("outer");
    EXPECT_EQ(seen, "read x:7/-1/-1/SI");
}

// Once removeObserver returns on one thread, a delivery running on another has finished.
TEST(NotificationCenter, RemoveWaitsForADeliveryOnAnotherThread) {
    NotificationCenter center;
    std::atomic<int> stage{0};  // 1: delivering, 2: released, 3: finished
    const auto token = center.addObserver("slow", nullptr, [&](const Notification&) {
        for (stage = 1; stage < 2;)
            std::this_thread::yield();
        stage = 3;
    });
    std::thread poster([&] { center.post("slow"); });
    while (stage < 1)
        std::this_thread::yield();
    std::thread remover([&] {
        center.removeObserver(token);
        EXPECT_EQ(stage.load(), 3);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stage = 2;
    poster.join();
    remover.join();
    center.post("slow");
}

// Regression: two handlers posting each other's notification from two threads at once deadlocked.
TEST(NotificationCenter, HandlersPostingToEachOtherFromTwoThreadsDoNotDeadlock) {
    NotificationCenter center;
    std::atomic<int> inside{0}, nested{0};
    auto handler = [&](const char* other) {
        return [&, other](const Notification& note) {
            if (note.intValue("nested"))
                return void(++nested);
            for (++inside; inside.load() < 2;)
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

// Each schedule against a loop over items k that, once percent(k + test) rises above the last value
// posted, posts percent(k + post) when item k is done.
TEST(Progress, SchedulesMatchACountingLoop) {
    auto percent = [](std::int64_t n, std::int64_t total) { return int(float(n) / float(total) * 100.0f); };
    using Schedule = std::vector<ProgressStep> (*)(std::int64_t);
    const std::tuple<Schedule, int, int> kinds[] = {
        {risingPercentSchedule, 1, 1}, {lookBehindPercentSchedule, 0, 1}, {startingPercentSchedule, 0, 0}};
    for (const auto& [schedule, test, post] : kinds)
        for (std::int64_t total : {0, 1, 2, 3, 7, 99, 100, 101, 4096, 10000, 16777217}) {
            std::vector<std::pair<std::int64_t, int>> expected, got;
            for (std::int64_t k = 0, last = 0; k < total; ++k)
                if (percent(k + test, total) > last)
                    expected.push_back({k + 1, int(last = percent(k + post, total))});
            for (const ProgressStep& s : schedule(total))
                got.push_back({s.done, s.value});
            EXPECT_EQ(got, expected) << test << post << " " << total;
        }
}

}  // namespace
}  // namespace qz

#include "transfer/TransferFkt.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

namespace qz {
namespace {

struct Rgba {
    int r, g, b, a;
    bool operator==(const Rgba&) const = default;
};

Rgba entry(TransferFkt& fkt, int density) {
    std::uint8_t rgba[4];
    fkt.getRGBA(rgba, density);
    return {rgba[0], rgba[1], rgba[2], rgba[3]};
}

int alpha(TransferFkt& fkt, int density) {
    return entry(fkt, density).a;
}

// Counts "transferFktChanged" on a private centre.
struct Counter {
    NotificationCenter center;
    std::atomic<int> posts{0};
    Observation observation{center, kTransferFktChanged, nullptr, [this](const Notification&) { ++posts; }};
};

TEST(TransferFktModel, NewModelIsAnOpaqueGreyRamp) {
    Counter counter;
    TransferFkt fkt(counter.center);
    EXPECT_EQ(counter.posts, 0) << "construction posts nothing";
    EXPECT_EQ(entry(fkt, 0), (Rgba{0, 0, 0, 255}));
    EXPECT_EQ(entry(fkt, 1), (Rgba{0, 0, 0, 255}));
    EXPECT_EQ(entry(fkt, 8).r, 0);
    EXPECT_EQ(entry(fkt, 9).r, 1) << "9 is the first density with grey 1";
    EXPECT_EQ(entry(fkt, 2047).r, 128);
    EXPECT_EQ(entry(fkt, 4085).r, 254);
    for (int d = 4086; d <= 4095; ++d)
        EXPECT_EQ(entry(fkt, d), (Rgba{255, 255, 255, 255})) << d;
    int previous = 0;
    for (int d = 0; d < kMaxDensity; ++d) {
        const Rgba e = entry(fkt, d);
        ASSERT_EQ(e.a, 255) << d;
        ASSERT_TRUE(e.r == e.g && e.g == e.b) << d;
        ASSERT_GE(e.r, previous) << d;
        previous = e.r;
    }
    for (int d = 1; d < kMaxDensity - 1; ++d) {
        ASSERT_FALSE(fkt.isRGBReferencePoint(d) || fkt.isOpacityReferencePoint(d)) << d;
    }
    EXPECT_TRUE(fkt.isRGBReferencePoint(0) && fkt.isRGBReferencePoint(4095));
    EXPECT_TRUE(fkt.isOpacityReferencePoint(0) && fkt.isOpacityReferencePoint(4095));
    EXPECT_FALSE(fkt.needsUpdateRGB() || fkt.needsUpdateOpacity());
}

TEST(TransferFktModel, OpacityValleyLeavesColoursAlone) {
    NotificationCenter center;
    TransferFkt fkt(center);
    TransferFkt ramp(center);
    fkt.addOpacityReferencePointForDensity(2048, 0);
    fkt.update();
    for (int d = 2043; d <= 2052; ++d)
        EXPECT_EQ(alpha(fkt, d), 0) << d;
    EXPECT_EQ(alpha(fkt, 2042), 1);
    EXPECT_EQ(alpha(fkt, 1), 255);
    EXPECT_EQ(alpha(fkt, 4094), 255);
    for (int d = 1; d <= 2048; ++d)
        ASSERT_LE(alpha(fkt, d), alpha(fkt, d - 1)) << d;
    for (int d = 2049; d < kMaxDensity; ++d)
        ASSERT_GE(alpha(fkt, d), alpha(fkt, d - 1)) << d;
    for (int d = 0; d < kMaxDensity; ++d) {
        const Rgba a = entry(fkt, d), b = entry(ramp, d);
        ASSERT_TRUE(a.r == b.r && a.g == b.g && a.b == b.b) << d;
    }
}

TEST(TransferFktModel, WalkStepsByTheCountBetweenPoints) {
    NotificationCenter center;
    TransferFkt fkt(center);
    // 10 at 0 and 20 at 5: the step is (20 - 10) / 4, and the density below 5 already reaches 20.
    fkt.addOpacityReferencePointForDensity(0, 10);
    fkt.addOpacityReferencePointForDensity(5, 20);
    const std::uint8_t low[4] = {10, 10, 10, 0}, high[4] = {20, 20, 20, 0};
    fkt.addRGBReferencePointForDensity(0, low);
    fkt.addRGBReferencePointForDensity(5, high);
    fkt.update();
    const int expected[] = {10, 13, 15, 18, 20, 20};
    for (int d = 0; d <= 5; ++d) {
        EXPECT_EQ(entry(fkt, d), (Rgba{expected[d], expected[d], expected[d], expected[d]})) << d;
    }

    // A single density between two points takes the upper point's value, not the midpoint.
    fkt.addOpacityReferencePointForDensity(0, 0);
    fkt.addOpacityReferencePointForDensity(2, 200);
    fkt.addOpacityReferencePointForDensity(4, 100);
    fkt.update();
    EXPECT_EQ(alpha(fkt, 1), 200);
    EXPECT_EQ(alpha(fkt, 3), 100);
}

TEST(TransferFktModel, AdjacentPointsKeepTheirValues) {
    NotificationCenter center;
    TransferFkt fkt(center);
    fkt.addOpacityReferencePointForDensity(100, 7);
    fkt.addOpacityReferencePointForDensity(101, 200);
    fkt.update();
    EXPECT_EQ(alpha(fkt, 100), 7);
    EXPECT_EQ(alpha(fkt, 101), 200);
    // The ramp's last two densities are adjacent too.
    fkt.addOpacityReferencePointForDensity(4094, 3);
    fkt.update();
    EXPECT_EQ(alpha(fkt, 4094), 3);
    EXPECT_EQ(alpha(fkt, 4095), 255);
}

TEST(TransferFktModel, PointsOfOneKindKeepTheOtherKindsValue) {
    NotificationCenter center;
    TransferFkt fkt(center);
    fkt.addOpacityReferencePointForDensity(1000, 40);
    const std::uint8_t red[4] = {255, 0, 0, 99};
    fkt.addRGBReferencePointForDensity(1000, red);  // the fourth byte is not used
    fkt.update();
    EXPECT_EQ(entry(fkt, 1000), (Rgba{255, 0, 0, 40}));

    // Adding again replaces the value; one removal then removes the point.
    const std::uint8_t blue[4] = {0, 0, 255, 0};
    fkt.addRGBReferencePointForDensity(1000, blue);
    fkt.addOpacityReferencePointForDensity(1000, 90);
    fkt.update();
    EXPECT_EQ(entry(fkt, 1000), (Rgba{0, 0, 255, 90}));
    fkt.removeRGBReferencePointForDensity(1000);
    fkt.removeOpacityReferencePointForDensity(1000);
    EXPECT_FALSE(fkt.isRGBReferencePoint(1000) || fkt.isOpacityReferencePoint(1000));

    // Re-interpolated between the old neighbours: the ramp again.
    fkt.update();
    TransferFkt ramp(center);
    for (int d = 0; d < kMaxDensity; ++d)
        ASSERT_EQ(entry(fkt, d), entry(ramp, d)) << d;
}

TEST(TransferFktModel, ColorTableIsStaleUntilARead) {
    NotificationCenter center;
    TransferFkt fkt(center);
    const std::uint8_t* raw = fkt.colorTable();
    fkt.addOpacityReferencePointForDensity(2048, 0);
    EXPECT_EQ(raw[4 * 2047 + 3], 255) << "derived entries wait for the next read";
    EXPECT_EQ(fkt.tableAsIs()[4 * 2047 + 3], 255);
    EXPECT_TRUE(fkt.needsUpdateOpacity());
    std::uint8_t rgba[4];
    fkt.getRGBA(rgba, 17);  // any density brings the whole table up to date
    EXPECT_FALSE(fkt.needsUpdateOpacity());
    EXPECT_EQ(raw[4 * 2047 + 3], 0);

    fkt.addOpacityReferencePointForDensity(2048, 255);
    const ColorTable copy = fkt.table();
    EXPECT_EQ(copy[4 * 2047 + 3], 255);
    EXPECT_FALSE(fkt.needsUpdateOpacity());
}

TEST(TransferFktModel, OneNotificationPerWalk) {
    Counter counter;
    TransferFkt fkt(counter.center);
    fkt.update();
    EXPECT_EQ(counter.posts, 0);

    fkt.addOpacityReferencePointForDensity(300, 10);
    fkt.update();
    EXPECT_EQ(counter.posts, 1);

    const std::uint8_t grey[4] = {9, 9, 9, 9};
    fkt.addRGBReferencePointForDensity(400, grey);
    fkt.addOpacityReferencePointForDensity(500, 10);  // its read runs the pending colour walk: one post
    EXPECT_EQ(counter.posts, 2);
    fkt.removeRGBReferencePointForDensity(400);
    fkt.update();
    EXPECT_EQ(counter.posts, 4) << "an update with both flags set posts twice";

    // A colour walk that meets a stale opacity flag runs the opacity walk first; both post.
    fkt.removeOpacityReferencePointForDensity(500);
    fkt.addRGBReferencePointForDensity(400, grey);
    fkt.updateRGBPerDensity();
    EXPECT_EQ(counter.posts, 6);
    EXPECT_FALSE(fkt.needsUpdateRGB() || fkt.needsUpdateOpacity());
    EXPECT_EQ(alpha(fkt, 500), alpha(fkt, 499));
}

TEST(TransferFktModel, HandlersMayUseTheModel) {
    NotificationCenter center;
    TransferFkt fkt(center);
    // The notification comes after the lock is released: a handler on another thread reads the
    // model while the posting thread waits for it.
    std::vector<int> seen;
    Observation observation(center, kTransferFktChanged, nullptr, [&](const Notification&) {
        std::thread reader([&] { seen.push_back(alpha(fkt, 2048)); });
        reader.join();
    });
    fkt.addOpacityReferencePointForDensity(2048, 33);
    fkt.update();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], 33);
}

TEST(TransferFktModel, ColorConversions) {
    NotificationCenter center;
    TransferFkt fkt(center);
    Color c = fkt.getColorForDensity(4095);
    EXPECT_EQ(c.red, 1.0f);
    EXPECT_EQ(c.alpha, 1.0f);
    c = fkt.getColorForDensity(2047);
    EXPECT_EQ(c.red, float(128 * 0.00392156862745098));
    EXPECT_EQ(c.green, c.red);

    fkt.setColor(Color{0.5f, 1.0f, 0.0f, 0.999f}, 77);
    EXPECT_EQ(entry(fkt, 77), (Rgba{127, 255, 0, 254})) << "components times 255, truncated";
    fkt.setColor(Color{-1.0f, 2.0f, 0.25f, 1.0f}, 78);
    EXPECT_EQ(entry(fkt, 78), (Rgba{0, 255, 63, 255})) << "out-of-range components are limited";
    // Every byte survives the round trip through a colour.
    for (int v = 0; v < 256; ++v) {
        const std::uint8_t rgba[4] = {std::uint8_t(v), std::uint8_t(v), std::uint8_t(v), std::uint8_t(v)};
        fkt.setRGBA(rgba, 80);
        fkt.setColor(fkt.getColorForDensity(80), 81);
        ASSERT_EQ(entry(fkt, 81), (Rgba{v, v, v, v}));
    }
}

TEST(TransferFktModel, DensitiesOutsideTheDomainAndEndPointsAreSafe) {
    Counter counter;
    TransferFkt fkt(counter.center);
    TransferFkt ramp(counter.center);
    const std::uint8_t red[4] = {255, 0, 0, 255};
    for (int d : {-1, -4096, kMaxDensity, 1 << 30}) {
        fkt.addRGBReferencePointForDensity(d, red);
        fkt.addOpacityReferencePointForDensity(d, 0);
        fkt.setRGBA(red, d);
        fkt.setColor(Color{}, d);
        fkt.removeRGBReferencePointForDensity(d);
        fkt.removeOpacityReferencePointForDensity(d);
        EXPECT_FALSE(fkt.isRGBReferencePoint(d) || fkt.isOpacityReferencePoint(d));
    }
    // The ends cannot be removed: the walks start and stop on them.
    for (int d : {0, kMaxDensity - 1}) {
        fkt.removeRGBReferencePointForDensity(d);
        fkt.removeOpacityReferencePointForDensity(d);
        EXPECT_TRUE(fkt.isRGBReferencePoint(d) && fkt.isOpacityReferencePoint(d));
    }
    fkt.update();
    EXPECT_EQ(counter.posts, 0) << "nothing was changed";
    EXPECT_EQ(fkt.table(), ramp.table());
    // Reads outside the domain see the nearest end.
    EXPECT_EQ(entry(fkt, -7), entry(fkt, 0));
    EXPECT_EQ(entry(fkt, 99999), entry(fkt, 4095));
}

TEST(TransferFktModel, CopiesTakenDuringEditsAreWholeTables) {
    NotificationCenter center;
    TransferFkt fkt(center);
    std::atomic<int> posts{0};
    Observation observation(center, kTransferFktChanged, nullptr, [&](const Notification&) { ++posts; });

    // The editor flips between two functions. A reader may run one walk before the other edit
    // arrives, so each kind (colour, opacity) of every copy must be whole: one function's or the other's.
    TransferFkt valley(center);
    valley.addOpacityReferencePointForDensity(2048, 0);
    const std::uint8_t red[4] = {255, 0, 0, 0};
    valley.addRGBReferencePointForDensity(1000, red);
    const ColorTable tableA = TransferFkt(center).table();
    const ColorTable tableB = valley.table();
    posts = 0;

    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::atomic<int> copies{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            while (!stop) {
                const ColorTable copy = fkt.table();
                bool colorA = true, colorB = true, opacityA = true, opacityB = true;
                for (std::size_t i = 0; i < copy.size(); ++i) {
                    bool& a = i % 4 == 3 ? opacityA : colorA;
                    bool& b = i % 4 == 3 ? opacityB : colorB;
                    a = a && copy[i] == tableA[i];
                    b = b && copy[i] == tableB[i];
                }
                if (!(colorA || colorB) || !(opacityA || opacityB))
                    ++bad;
                std::uint8_t rgba[4];
                fkt.getRGBA(rgba, 2048);
                if (rgba[3] != 0 && rgba[3] != 255)
                    ++bad;
                ++copies;
            }
        });
    }
    for (int i = 0; i < 300; ++i) {
        fkt.addOpacityReferencePointForDensity(2048, 0);
        fkt.addRGBReferencePointForDensity(1000, red);
        fkt.update();
        fkt.removeOpacityReferencePointForDensity(2048);
        fkt.removeRGBReferencePointForDensity(1000);
        fkt.update();
    }
    while (copies < 100)
        std::this_thread::yield();
    stop = true;
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(fkt.table(), tableA);
    // Whichever thread ran a walk posted for it: two walks per edit, four per round.
    EXPECT_EQ(posts, 300 * 4);
}

}  // namespace
}  // namespace qz

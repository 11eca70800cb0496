// The transfer function model (reference points, walks, notifications, copies) and its text format.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "support/TestFiles.h"
#include "transfer/TransferFkt.h"
#include "transfer/TransferFktText.h"

namespace qz {
namespace {

using Rgba = std::array<int, 4>;

Rgba entry(TransferFkt& fkt, int density) {
    std::uint8_t rgba[4];
    fkt.getRGBA(rgba, density);
    return {rgba[0], rgba[1], rgba[2], rgba[3]};
}

int alpha(TransferFkt& fkt, int density) {
    return entry(fkt, density)[3];
}

// A private centre that counts "transferFktChanged".
struct Counted {
    NotificationCenter center;
    std::atomic<int> posts{0};
    Observation observation{center, kTransferFktChanged, nullptr, [this](const Notification&) { ++posts; }};
    TransferFkt fkt{center};
};

TEST(TransferFkt, NewModelIsAnOpaqueGreyRampWithTwoEndPoints) {
    Counted c;
    EXPECT_EQ(c.posts, 0);
    const std::pair<int, int> grey[] = {{0, 0},      {8, 0},      {9, 1},     {2047, 128},
                                        {4085, 254}, {4086, 255}, {4095, 255}};
    for (auto [d, g] : grey)
        EXPECT_EQ(entry(c.fkt, d), (Rgba{g, g, g, 255})) << d;
    for (int d = 1; d < kMaxDensity; ++d) {
        const Rgba e = entry(c.fkt, d);
        ASSERT_TRUE(e[3] == 255 && e[0] == e[1] && e[1] == e[2] && e[0] >= entry(c.fkt, d - 1)[0]) << d;
        ASSERT_EQ(c.fkt.isRGBReferencePoint(d) || c.fkt.isOpacityReferencePoint(d), d == kMaxDensity - 1)
            << d;
    }
    EXPECT_TRUE(c.fkt.isRGBReferencePoint(0) && c.fkt.isOpacityReferencePoint(0));
    EXPECT_FALSE(c.fkt.needsUpdateRGB() || c.fkt.needsUpdateOpacity());
}

TEST(TransferFkt, WalksStepByTheCountBetweenPoints) {
    NotificationCenter center;
    TransferFkt fkt(center), ramp(center);
    fkt.addOpacityReferencePointForDensity(2048, 0);  // a valley in the opacity, colours untouched
    fkt.update();
    for (int d = 2043; d <= 2052; ++d)
        EXPECT_EQ(alpha(fkt, d), 0) << d;
    EXPECT_EQ(alpha(fkt, 2042), 1);
    for (int d = 1; d < kMaxDensity; ++d) {
        ASSERT_TRUE(d <= 2048 ? alpha(fkt, d) <= alpha(fkt, d - 1) : alpha(fkt, d) >= alpha(fkt, d - 1)) << d;
        const Rgba a = entry(fkt, d), b = entry(ramp, d);
        ASSERT_TRUE(a[0] == b[0] && a[1] == b[1] && a[2] == b[2]) << d;
    }
    // 10 at 0 and 20 at 5: the step is (20 - 10) / 4, and the density below 5 already reaches 20.
    fkt.addOpacityReferencePointForDensity(0, 10);
    fkt.addOpacityReferencePointForDensity(5, 20);
    const std::uint8_t low[4] = {10, 10, 10, 0}, high[4] = {20, 20, 20, 0};
    fkt.addRGBReferencePointForDensity(0, low);
    fkt.addRGBReferencePointForDensity(5, high);
    fkt.update();
    const int expected[] = {10, 13, 15, 18, 20, 20};
    for (int d = 0; d <= 5; ++d)
        EXPECT_EQ(entry(fkt, d), (Rgba{expected[d], expected[d], expected[d], expected[d]})) << d;
    // One density between two points takes the upper point's value; adjacent points keep theirs.
    for (auto [d, a] : {std::pair{0, 0}, {2, 200}, {4, 100}, {100, 7}, {101, 200}, {4094, 3}})
        fkt.addOpacityReferencePointForDensity(d, std::uint8_t(a));
    fkt.update();
    for (auto [d, a] : {std::pair{1, 200}, {3, 100}, {100, 7}, {101, 200}, {4094, 3}, {4095, 255}})
        EXPECT_EQ(alpha(fkt, d), a) << d;
}

TEST(TransferFkt, PointsAreReplacedAndRemovedPerKind) {
    NotificationCenter center;
    TransferFkt fkt(center), ramp(center);
    fkt.addOpacityReferencePointForDensity(1000, 40);
    const std::uint8_t red[4] = {255, 0, 0, 99}, blue[4] = {0, 0, 255, 0};
    fkt.addRGBReferencePointForDensity(1000, red);  // the fourth byte is not used
    fkt.update();
    EXPECT_EQ(entry(fkt, 1000), (Rgba{255, 0, 0, 40}));
    fkt.addRGBReferencePointForDensity(1000, blue);
    fkt.addOpacityReferencePointForDensity(1000, 90);
    fkt.update();
    EXPECT_EQ(entry(fkt, 1000), (Rgba{0, 0, 255, 90}));
    fkt.removeRGBReferencePointForDensity(1000);
    fkt.removeOpacityReferencePointForDensity(1000);
    EXPECT_FALSE(fkt.isRGBReferencePoint(1000) || fkt.isOpacityReferencePoint(1000));
    fkt.update();
    EXPECT_EQ(fkt.table(), ramp.table());  // re-interpolated between the old neighbours
    // Outside the domain nothing changes; the end points cannot be removed; reads clamp.
    for (int d : {-1, -4096, kMaxDensity, 1 << 30}) {
        fkt.addRGBReferencePointForDensity(d, red);
        fkt.addOpacityReferencePointForDensity(d, 0);
        fkt.setRGBA(red, d);
        fkt.setColor(Color{}, d);
        EXPECT_FALSE(fkt.isRGBReferencePoint(d) || fkt.isOpacityReferencePoint(d));
    }
    for (int d : {0, kMaxDensity - 1}) {
        fkt.removeRGBReferencePointForDensity(d);
        fkt.removeOpacityReferencePointForDensity(d);
        EXPECT_TRUE(fkt.isRGBReferencePoint(d) && fkt.isOpacityReferencePoint(d));
    }
    EXPECT_EQ(fkt.table(), ramp.table());
    EXPECT_EQ(entry(fkt, -7), entry(fkt, 0));
    EXPECT_EQ(entry(fkt, 99999), entry(fkt, 4095));
}

TEST(TransferFkt, TableIsStaleUntilAReadAndEachWalkPostsOnce) {
    Counted c;
    TransferFkt& fkt = c.fkt;
    const std::uint8_t* raw = fkt.colorTable();
    fkt.update();
    EXPECT_EQ(c.posts, 0);
    fkt.addOpacityReferencePointForDensity(2048, 0);
    EXPECT_EQ(raw[4 * 2047 + 3], 255) << "derived entries wait for the next read";
    EXPECT_EQ(fkt.tableAsIs()[4 * 2047 + 3], 255);
    EXPECT_TRUE(fkt.needsUpdateOpacity());
    std::uint8_t rgba[4];
    fkt.getRGBA(rgba, 17);  // any density brings the whole table up to date
    EXPECT_FALSE(fkt.needsUpdateOpacity());
    EXPECT_EQ(raw[4 * 2047 + 3], 0);
    EXPECT_EQ(c.posts, 1);
    const std::uint8_t grey[4] = {9, 9, 9, 9};
    fkt.addRGBReferencePointForDensity(400, grey);
    fkt.addOpacityReferencePointForDensity(500, 10);  // its read runs the pending colour walk
    EXPECT_EQ(c.posts, 2);
    fkt.removeRGBReferencePointForDensity(400);
    fkt.removeOpacityReferencePointForDensity(500);
    EXPECT_EQ(fkt.table()[4 * 500 + 3], fkt.table()[4 * 499 + 3]);  // a copy is up to date too
    EXPECT_EQ(c.posts, 4) << "both walks ran, each posted";
    fkt.addOpacityReferencePointForDensity(500, 10);
    fkt.update();
    c.posts = 4;
    fkt.removeOpacityReferencePointForDensity(500);
    fkt.addRGBReferencePointForDensity(400, grey);
    fkt.updateRGBPerDensity();  // meets the stale opacity flag: runs that walk first
    EXPECT_EQ(c.posts, 6);
    EXPECT_FALSE(fkt.needsUpdateRGB() || fkt.needsUpdateOpacity());
}

// The notification goes out after the model's lock is released: a handler waiting for another
// thread that reads the model does not deadlock.
TEST(TransferFkt, HandlersMayWaitForReadersOfTheModel) {
    NotificationCenter center;
    TransferFkt fkt(center);
    std::vector<int> seen;
    Observation observation(center, kTransferFktChanged, nullptr, [&](const Notification&) {
        std::thread([&] { seen.push_back(alpha(fkt, 2048)); }).join();
    });
    fkt.addOpacityReferencePointForDensity(2048, 33);
    fkt.update();
    EXPECT_EQ(seen, std::vector<int>{33});
}

TEST(TransferFkt, ColorConversions) {
    NotificationCenter center;
    TransferFkt fkt(center);
    EXPECT_EQ(fkt.getColorForDensity(4095).red, 1.0f);
    EXPECT_EQ(fkt.getColorForDensity(2047).green, float(128 * 0.00392156862745098));
    fkt.setColor(Color{0.5f, 1.0f, 0.0f, 0.999f}, 77);
    EXPECT_EQ(entry(fkt, 77), (Rgba{127, 255, 0, 254})) << "components times 255, truncated";
    fkt.setColor(Color{-1.0f, 2.0f, 0.25f, 1.0f}, 78);
    EXPECT_EQ(entry(fkt, 78), (Rgba{0, 255, 63, 255})) << "out-of-range components are limited";
    for (int v = 0; v < 256; ++v) {  // every byte survives the round trip through a colour
        const std::uint8_t rgba[4] = {std::uint8_t(v), std::uint8_t(v), std::uint8_t(v), std::uint8_t(v)};
        fkt.setRGBA(rgba, 80);
        fkt.setColor(fkt.getColorForDensity(80), 81);
        ASSERT_EQ(entry(fkt, 81), (Rgba{v, v, v, v}));
    }
}

// Readers copy the table while an editor flips between two functions: each kind (colour,
// opacity) of every copy is one function's or the other's, never a mix.
TEST(TransferFkt, CopiesTakenDuringEditsAreWholeTables) {
    Counted c;
    TransferFkt valley(c.center);
    valley.addOpacityReferencePointForDensity(2048, 0);
    const std::uint8_t red[4] = {255, 0, 0, 0};
    valley.addRGBReferencePointForDensity(1000, red);
    const ColorTable tables[2] = {c.fkt.table(), valley.table()};
    c.posts = 0;
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0}, copies{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r)
        readers.emplace_back([&] {
            while (!stop) {
                const ColorTable copy = c.fkt.table();
                bool same[2][2] = {{true, true}, {true, true}};  // [table][colour, opacity]
                for (std::size_t i = 0; i < copy.size(); ++i)
                    for (int t = 0; t < 2; ++t)
                        same[t][i % 4 == 3] = same[t][i % 4 == 3] && copy[i] == tables[t][i];
                bad += !(same[0][0] || same[1][0]) || !(same[0][1] || same[1][1]);
                bad += alpha(c.fkt, 2048) % 255 != 0;
                ++copies;
            }
        });
    for (int i = 0; i < 300; ++i) {
        c.fkt.addOpacityReferencePointForDensity(2048, 0);
        c.fkt.addRGBReferencePointForDensity(1000, red);
        c.fkt.update();
        c.fkt.removeOpacityReferencePointForDensity(2048);
        c.fkt.removeRGBReferencePointForDensity(1000);
        c.fkt.update();
    }
    while (copies < 100)
        std::this_thread::yield();
    stop = true;
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(c.fkt.table(), tables[0]);
    EXPECT_EQ(c.posts, 300 * 4) << "whichever thread ran a walk posted for it";
}

TEST(TransferFktText, AppliesCommandsInFileOrder) {
    NotificationCenter center;
    TransferFkt fkt(center), ramp(center);
    int walks = 0;
    const Observation counting(center, kTransferFktChanged, nullptr, [&](const Notification&) { ++walks; });
    const std::string text =  // a UTF-8 byte order mark first, as some editors write
        "\xef\xbb\xbf# a windowed bone function\n\nalpha 0 0\t\t# transparent below the window\n  alpha 1000 "
        "0\r\n"
        "alpha 1500 200\nrgb 1500 255 240 200\nrgb 1500 250 250 250   # a later line replaces an earlier "
        "one\n"
        "alpha +4095 255";  // no final line break
    std::string error = "untouched";
    ASSERT_TRUE(applyTransferFktText(text, fkt, &error)) << error;
    EXPECT_EQ(error, "untouched");
    EXPECT_EQ(walks, 2) << "one walk of each kind however many lines";
    EXPECT_EQ(entry(fkt, 1500), (Rgba{250, 250, 250, 200}));
    EXPECT_EQ(alpha(fkt, 500) + alpha(fkt, 0), 0);
    EXPECT_EQ(alpha(fkt, 1250), 100);
    EXPECT_FALSE(fkt.needsUpdateRGB() || fkt.needsUpdateOpacity());
    EXPECT_TRUE(applyTransferFktText("\n   \n# only words\n", ramp, nullptr));
    EXPECT_EQ(ramp.table(), TransferFkt(center).table());
}

TEST(TransferFktText, RefusesMalformedTextAndAppliesNothing) {
    NotificationCenter center;
    const ColorTable ramp = TransferFkt(center).table();
    std::string big;
    while (big.size() <= (1 << 20))
        big += "alpha 100 100\n";
    const std::pair<std::string, const char*> cases[] = {
        {"alpha 10 20\nbeta 1 2\n", "line 2: unknown command 'beta'"},
        {"RGB 1 2 3 4", "line 1: unknown command 'RGB'"},
        {"rgb 1 2 3", "line 1: 'rgb' takes 4 integers (DENSITY R G B), got 3"},
        {"rgb 1 2 3 4 5", "got 5"},
        {"alpha 7", "'alpha' takes 2 integers (DENSITY A), got 1"},
        {"alpha 7 8 extra", "got 3"},
        {"alpha 4096 1", "density '4096' is outside 0..4095"},
        {"alpha -1 1", "density '-1' is outside 0..4095"},
        {"\n\n\nalpha 3 256", "line 4: alpha '256' is outside 0..255"},
        {"rgb 3 0 -1 0", "green '-1' is outside 0..255"},
        {"rgb 3 0 0 99999999999999999999999", "blue '99999999999999999999999' is outside 0..255"},
        {"alpha 3.5 1", "density '3.5' is not an integer"},
        {"alpha 0x10 1", "is not an integer"},
        {"alpha 3 1e2", "alpha '1e2' is not an integer"},
        {"alpha - 1", "density '-' is not an integer"},
        {"alpha 3 7;", "alpha '7;' is not an integer"},
        {std::string("alpha 3\0 7\n", 11), "line 1: unexpected NUL"},
        {"alpha 1 1\n# " + std::string(5000, 'x') + "\n", "line 2: line longer than"},
        {big, "larger than"},
    };
    for (const auto& [text, message] : cases) {
        TransferFkt fkt(center);
        std::string error;
        EXPECT_FALSE(applyTransferFktText(text, fkt, &error)) << text.substr(0, 40);
        EXPECT_NE(error.find(message), std::string::npos) << text.substr(0, 40) << " -> " << error;
        EXPECT_EQ(fkt.table(), ramp) << "earlier lines must not stay applied";
    }
}

TEST(TransferFktText, LoadsRegularFilesOnly) {
    testing::TempDir dir;
    NotificationCenter center;
    TransferFkt fkt(center);
    std::string error;
    ASSERT_TRUE(loadTransferFktFile(dir.write("good.tf", "alpha 2048 0\n"), fkt, &error)) << error;
    EXPECT_EQ(alpha(fkt, 2048), 0);
    TransferFkt other(center);
    const ColorTable ramp = other.table();
    EXPECT_FALSE(loadTransferFktFile(dir.write("bad.tf", "alpha 2048 0\nalpha 1\n"), other, &error));
    EXPECT_EQ(error, "line 2: 'alpha' takes 2 integers (DENSITY A), got 1");
    ASSERT_EQ(::mkfifo(dir.file("fifo.tf").c_str(), 0600), 0);  // no writer: refused, not awaited
    std::string big;
    while (big.size() <= (1 << 20))
        big += "# padding padding padding padding\n";
    const std::pair<std::string, const char*> refused[] = {{dir.file("missing.tf"), "cannot open"},
                                                           {dir.path(), "not a regular file"},
                                                           {dir.file("fifo.tf"), "not a regular file"},
                                                           {dir.write("big.tf", big), "larger than"}};
    for (const auto& [path, message] : refused) {
        EXPECT_FALSE(loadTransferFktFile(path, other, &error)) << path;
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
    EXPECT_EQ(other.table(), ramp);
}

}  // namespace
}  // namespace qz

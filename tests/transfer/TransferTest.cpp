// The transfer function model (reference points, walks, notifications) and its text format.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>
#include <thread>

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

// A new model is an opaque grey ramp. Walks step by the difference over the count between two
// points; one density between points takes the upper value. Points replace each other per kind and
// go again; nothing changes outside the domain, the end points stay, reads clamp.
TEST(TransferFkt, RampWalksAndPoints) {
    NotificationCenter center;
    TransferFkt fkt(center), ramp(center);
    const int grey[] = {0, 0, 8, 0, 9, 1, 2047, 128, 4085, 254, 4086, 255, 4095, 255};
    for (const int* g = grey; g != std::end(grey); g += 2)
        EXPECT_EQ(entry(fkt, g[0]), (Rgba{g[1], g[1], g[1], 255})) << g[0];
    const std::uint8_t low[4] = {10, 10, 10, 0}, high[4] = {20, 20, 20, 99}, blue[4] = {0, 0, 255, 0};
    for (auto [d, a] : {std::pair{0, 10}, {5, 20}, {100, 7}, {101, 200}, {4094, 3}})
        fkt.addOpacityReferencePointForDensity(d, std::uint8_t(a));
    fkt.addRGBReferencePointForDensity(0, low);
    fkt.addRGBReferencePointForDensity(5, high);      // the fourth byte is not used
    const int expected[] = {10, 13, 15, 18, 20, 20};  // the step is (20 - 10) / 4
    for (int d = 0; d <= 5; ++d)
        EXPECT_EQ(entry(fkt, d), (Rgba{expected[d], expected[d], expected[d], expected[d]})) << d;
    for (auto [d, a] : {std::pair{99, 7}, {100, 7}, {101, 200}, {4094, 3}, {4095, 255}})
        EXPECT_EQ(entry(fkt, d)[3], a) << d;
    fkt.addRGBReferencePointForDensity(5, blue);
    fkt.addOpacityReferencePointForDensity(5, 90);
    EXPECT_EQ(entry(fkt, 5), (Rgba{0, 0, 255, 90}));
    for (int d : {5, 100, 101, 4094}) {
        fkt.removeRGBReferencePointForDensity(d);
        fkt.removeOpacityReferencePointForDensity(d);
    }
    const std::uint8_t black[4] = {0, 0, 0, 0};
    fkt.addRGBReferencePointForDensity(0, black);
    fkt.addOpacityReferencePointForDensity(0, 255);
    for (int d : {-1, kMaxDensity, 1 << 30}) {  // outside the domain: ignored
        fkt.addRGBReferencePointForDensity(d, blue);
        fkt.addOpacityReferencePointForDensity(d, 0);
        fkt.setColor(Color{}, d);
    }
    for (int d : {0, kMaxDensity - 1}) {  // the end points stay
        fkt.removeRGBReferencePointForDensity(d);
        fkt.removeOpacityReferencePointForDensity(d);
    }
    EXPECT_EQ(fkt.table(), ramp.table());  // re-interpolated between the points left
    EXPECT_TRUE(fkt.isRGBReferencePoint(0) && fkt.isOpacityReferencePoint(kMaxDensity - 1));
    EXPECT_EQ(entry(fkt, -7), entry(fkt, 0));
    EXPECT_EQ(entry(fkt, 99999), entry(fkt, 4095));
    fkt.setColor(Color{0.5f, 1.0f, 0.0f, 0.999f}, 77);  // components times 255, truncated
    fkt.setColor(Color{-1.0f, 2.0f, 0.25f, 1.0f}, 78);  // ... and limited
    EXPECT_EQ(entry(fkt, 77), (Rgba{127, 255, 0, 254}));
    EXPECT_EQ(entry(fkt, 78), (Rgba{0, 255, 63, 255}));
}

// Edits leave the table stale until a read of any entry runs the pending walks; each walk posts
// "transferFktChanged" once, after the model's lock is released: a handler may wait for a reader.
TEST(TransferFkt, TableIsStaleUntilAReadAndEachWalkPostsOnce) {
    NotificationCenter center;
    TransferFkt fkt(center);
    std::vector<int> seen;
    Observation observation(center, kTransferFktChanged, nullptr, [&](const Notification&) {
        std::thread([&] { seen.push_back(fkt.tableAsIs()[4 * 2047 + 3]); }).join();  // takes the lock
    });
    const std::uint8_t* raw = fkt.colorTable();
    fkt.addOpacityReferencePointForDensity(2048, 0);
    EXPECT_EQ(raw[4 * 2047 + 3] * 10 + fkt.needsUpdateOpacity(), 2551) << "derived entries wait for a read";
    entry(fkt, 17);
    EXPECT_EQ(raw[4 * 2047 + 3] * 10 + fkt.needsUpdateOpacity(), 0);
    const std::uint8_t grey[4] = {9, 9, 9, 9};
    fkt.addRGBReferencePointForDensity(400, grey);
    fkt.addOpacityReferencePointForDensity(500, 10);  // its read runs the pending colour walk
    EXPECT_EQ(seen.size(), 2u);
    fkt.removeRGBReferencePointForDensity(400);
    fkt.removeOpacityReferencePointForDensity(500);
    EXPECT_EQ(fkt.table()[4 * 500 + 3], fkt.table()[4 * 499 + 3]);  // a copy is up to date too
    EXPECT_EQ(seen.size(), 4u) << "both walks ran, each posted";
    fkt.addOpacityReferencePointForDensity(500, 10);
    fkt.update();
    fkt.removeOpacityReferencePointForDensity(500);
    fkt.addRGBReferencePointForDensity(400, grey);
    fkt.updateRGBPerDensity();  // meets the stale opacity flag: runs that walk first
    EXPECT_EQ(seen, std::vector<int>(7, 0));
}

TEST(TransferFktText, AppliesCommandsInFileOrder) {
    NotificationCenter center;
    TransferFkt fkt(center), ramp(center);
    int walks = 0;
    const Observation counting(center, kTransferFktChanged, nullptr, [&](const Notification&) { ++walks; });
    std::string error = "untouched";
    ASSERT_TRUE(
        applyTransferFktText("\xef\xbb\xbf# bone, after a UTF-8 byte order mark\n\nalpha 0 0\t\t# comment\n  "
                             "alpha 1000 0\r\nalpha 1500 200\n"
                             "rgb 1500 255 240 200\nrgb 1500 250 250 250 # replaces\nalpha +4095 255",
                             fkt, &error));
    EXPECT_EQ(error, "untouched");
    EXPECT_EQ(walks, 2) << "one walk of each kind however many lines";
    EXPECT_EQ(entry(fkt, 1500), (Rgba{250, 250, 250, 200}));
    EXPECT_EQ(entry(fkt, 500)[3] + entry(fkt, 0)[3] * 1000 + entry(fkt, 1250)[3] * 1000000, 100000000);
    EXPECT_FALSE(fkt.needsUpdateRGB() || fkt.needsUpdateOpacity());
    EXPECT_TRUE(applyTransferFktText("\n   \n# only words\n", ramp, nullptr));
    EXPECT_EQ(ramp.table(), TransferFkt(center).table());
}

// Any edit history: its points, written out and read back onto a new function or put in place of
// another function's, give the same table; the grey ramp's points give a new function's.
TEST(TransferFktText, WrittenPointsReproduceTheTable) {
    NotificationCenter center;
    TransferFkt fkt(center), other(center);
    std::uint32_t seed = 12345;
    auto next = [&](int n) { return int((seed = seed * 1664525U + 1013904223U) >> 8) % n; };
    for (int i = 0; i < 300; ++i) {
        TransferFkt& f = i % 3 == 2 ? other : fkt;
        const int d = next(4) == 0 ? next(kMaxDensity) : 2000 + next(40);
        const std::uint8_t rgba[4] = {std::uint8_t(next(256)), std::uint8_t(next(256)),
                                      std::uint8_t(next(256)), 0};
        if (const int edit = next(5); edit == 0)
            f.addRGBReferencePointForDensity(d, rgba);
        else if (edit == 1)
            f.addOpacityReferencePointForDensity(d, rgba[0]);
        else if (edit == 2)
            f.removeRGBReferencePointForDensity(d);
        else if (edit == 3)
            f.removeOpacityReferencePointForDensity(d);
        else
            f.update();
    }
    const std::uint8_t teal[4] = {0, 128, 128, 0};
    fkt.addRGBReferencePointForDensity(0, teal);  // end points too
    fkt.addOpacityReferencePointForDensity(kMaxDensity - 1, 7);
    const TransferFktPoints points = fkt.referencePoints();
    ASSERT_GT(points.color.size() + points.opacity.size(), 40u);
    const std::string text = transferFktText(points);
    TransferFkt loaded(center);
    ASSERT_TRUE(applyTransferFktText(text, loaded, nullptr));
    EXPECT_EQ(loaded.table(), fkt.table());
    EXPECT_EQ(transferFktText(loaded.referencePoints()), text);
    TransferFktPoints read;
    EXPECT_TRUE(transferFktPointsFromText(text, &read, nullptr) && read == points);
    other.setReferencePoints(points);
    EXPECT_EQ(other.table(), fkt.table());
    other.setReferencePoints(TransferFktPoints::greyRamp());
    EXPECT_EQ(other.table(), TransferFkt(center).table());
}

// Each case: the text ("\n" for line breaks) and, after '|', what the message says. Nothing applies.
TEST(TransferFktText, RefusesMalformedTextAndFilesAndAppliesNothing) {
    testing::TempDir dir;
    NotificationCenter center;
    TransferFkt fkt(center);
    const ColorTable ramp = fkt.table();
    std::istringstream cases(
        R"(alpha 10 20\nbeta 1 2|line 2: unknown command 'beta'; RGB 1 2 3 4|line 1: unknown command 'RGB';
rgb 1 2 3|line 1: 'rgb' takes 4 integers (DENSITY R G B), got 3; rgb 1 2 3 4 5|got 5; alpha 7 8 extra|got 3;
alpha 7|'alpha' takes 2 integers (DENSITY A), got 1; alpha 4096 1|density '4096' is outside 0..4095;
alpha -1 1|density '-1' is outside 0..4095; \n\n\nalpha 3 256|line 4: alpha '256' is outside 0..255;
rgb 3 0 -1 0|green '-1' is outside 0..255; rgb 3 0 0 99999999999999999999999|blue '99999999999999999999999' is outside;
alpha 3.5 1|density '3.5' is not an integer; alpha 0x10 1|is not an integer; alpha 3 1e2|alpha '1e2' is not an integer;
alpha - 1|density '-' is not an integer)");
    std::vector<std::pair<std::string, std::string>> texts{
        {"alpha 3 7;", "alpha '7;' is not an integer"},
        {std::string("alpha 3\0 7\n", 11), "line 1: unexpected NUL"},
        {"alpha 1 1\n# " + std::string(5000, 'x') + "\n", "line 2: line longer than"},
        {std::string((1 << 20) + 1, '\n'), "larger than"}};
    for (std::string c; std::getline(cases, c, ';');) {
        c = c.substr(c.find_first_not_of(" \n"));
        for (std::size_t at; (at = c.find("\\n")) != std::string::npos;)
            c.replace(at, 2, "\n");
        texts.push_back({c.substr(0, c.find('|')), c.substr(c.find('|') + 1)});
    }
    std::string error;
    for (const auto& [text, message] : texts) {
        EXPECT_FALSE(applyTransferFktText(text, fkt, &error)) << text.substr(0, 40);
        EXPECT_NE(error.find(message), std::string::npos) << text.substr(0, 40) << " -> " << error;
    }
    ASSERT_EQ(::mkfifo(dir.file("fifo.tf").c_str(), 0600), 0);  // no writer: refused, not awaited
    const std::pair<std::string, const char*> files[] = {
        {dir.write("bad.tf", "alpha 2048 0\nalpha 1\n"),
         "line 2: 'alpha' takes 2 integers (DENSITY A), got 1"},
        {dir.file("missing.tf"), "cannot open"},
        {dir.path(), "not a regular file"},
        {dir.file("fifo.tf"), "not a regular file"},
        {dir.write("big.tf", std::string((1 << 20) + 1, '#')), "larger than"}};
    for (const auto& [path, message] : files) {
        EXPECT_FALSE(loadTransferFktFile(path, fkt, &error)) << path;
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
    EXPECT_EQ(fkt.table(), ramp) << "earlier lines must not stay applied";
    ASSERT_TRUE(loadTransferFktFile(dir.write("good.tf", "alpha 2048 0\n"), fkt, &error)) << error;
    EXPECT_EQ(entry(fkt, 2048)[3], 0);
}

}  // namespace
}  // namespace qz

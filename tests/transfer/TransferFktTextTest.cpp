#include "transfer/TransferFktText.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace qz {
namespace {

std::array<int, 4> entry(TransferFkt& fkt, int density) {
    std::uint8_t rgba[4];
    fkt.getRGBA(rgba, density);
    return {rgba[0], rgba[1], rgba[2], rgba[3]};
}

TEST(TransferFktText, AppliesCommandsInFileOrder) {
    NotificationCenter center;
    TransferFkt fkt(center);
    const std::string text =
        "# a windowed bone function\n"
        "\n"
        "alpha 0 0\t\t# transparent below the window\n"
        "  alpha 1000 0\r\n"
        "alpha 1500 200\n"
        "rgb 1500 255 240 200\n"
        "rgb 1500 250 250 250   # a later line replaces an earlier one\n"
        "alpha +4095 255";  // no final line break
    std::string error = "untouched";
    ASSERT_TRUE(applyTransferFktText(text, fkt, &error)) << error;
    EXPECT_EQ(error, "untouched");
    EXPECT_EQ(entry(fkt, 1500), (std::array<int, 4>{250, 250, 250, 200}));
    EXPECT_EQ(entry(fkt, 0)[3], 0);
    EXPECT_EQ(entry(fkt, 500)[3], 0);
    EXPECT_EQ(entry(fkt, 1250)[3], 100);
    EXPECT_TRUE(fkt.isRGBReferencePoint(1500));
    EXPECT_FALSE(fkt.needsUpdateRGB() || fkt.needsUpdateOpacity());

    // Blank and comment-only text changes nothing.
    TransferFkt ramp(center);
    EXPECT_TRUE(applyTransferFktText("", ramp, nullptr));
    EXPECT_TRUE(applyTransferFktText("\n   \n# only words\n", ramp, nullptr));
    EXPECT_EQ(ramp.table(), TransferFkt(center).table());
}

TEST(TransferFktText, RefusesMalformedLinesAndAppliesNothing) {
    NotificationCenter center;
    const ColorTable ramp = TransferFkt(center).table();
    struct Case {
        const char* text;
        const char* message;  // a part of the expected error
    };
    const Case cases[] = {
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
    };
    for (const Case& c : cases) {
        TransferFkt fkt(center);
        std::string error;
        EXPECT_FALSE(applyTransferFktText(c.text, fkt, &error)) << c.text;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.text << " -> " << error;
        EXPECT_EQ(fkt.table(), ramp) << "a bad line later in the text must not leave earlier lines applied";
    }

    // NUL inside a line, an overlong line and an oversized text.
    TransferFkt fkt(center);
    std::string error;
    EXPECT_FALSE(applyTransferFktText(std::string("alpha 3\0 7\n", 11), fkt, &error));
    EXPECT_NE(error.find("line 1: unexpected NUL"), std::string::npos) << error;
    EXPECT_FALSE(applyTransferFktText("alpha 1 1\n# " + std::string(5000, 'x') + "\n", fkt, &error));
    EXPECT_NE(error.find("line 2: line longer than"), std::string::npos) << error;
    std::string big;
    while (big.size() <= (1 << 20))
        big += "alpha 100 100\n";
    EXPECT_FALSE(applyTransferFktText(big, fkt, &error));
    EXPECT_NE(error.find("larger than"), std::string::npos) << error;
    EXPECT_EQ(fkt.table(), ramp);
}

class TransferFktFile : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("quarzelle-tf-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string write(const std::string& name, const std::string& text) {
        const std::filesystem::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }
    std::filesystem::path dir_;
    NotificationCenter center_;
};

TEST_F(TransferFktFile, LoadsARegularFile) {
    TransferFkt fkt(center_);
    std::string error;
    ASSERT_TRUE(loadTransferFktFile(write("good.tf", "alpha 2048 0\n"), fkt, &error)) << error;
    EXPECT_EQ(entry(fkt, 2048)[3], 0);

    TransferFkt other(center_);
    EXPECT_FALSE(loadTransferFktFile(write("bad.tf", "alpha 2048 0\nalpha 1\n"), other, &error));
    EXPECT_EQ(error, "line 2: 'alpha' takes 2 integers (DENSITY A), got 1");
    EXPECT_EQ(entry(other, 2048)[3], 255);
}

TEST_F(TransferFktFile, RefusesWhatIsNotAReadableRegularFile) {
    TransferFkt fkt(center_);
    const ColorTable ramp = fkt.table();
    std::string error;
    EXPECT_FALSE(loadTransferFktFile((dir_ / "missing.tf").string(), fkt, &error));
    EXPECT_NE(error.find("cannot open"), std::string::npos) << error;

    EXPECT_FALSE(loadTransferFktFile(dir_.string(), fkt, &error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;

    // A FIFO without a writer: refused at once instead of waiting for one.
    const std::string fifo = (dir_ / "fifo.tf").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(loadTransferFktFile(fifo, fkt, &error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;

    std::string big;
    while (big.size() <= (1 << 20))
        big += "# padding padding padding padding\n";
    EXPECT_FALSE(loadTransferFktFile(write("big.tf", big), fkt, &error));
    EXPECT_NE(error.find("larger than"), std::string::npos) << error;
    EXPECT_EQ(fkt.table(), ramp);
}

}  // namespace
}  // namespace qz

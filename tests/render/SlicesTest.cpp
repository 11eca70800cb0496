#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "render/Slices.h"
#include "tests/render/RenderTestSupport.h"

namespace qz {
namespace {

using test::Grid;
using test::ProgressLog;
using test::World;

std::array<std::uint8_t, 4> pixel(const RgbaImage& image, int c, int r) {
    const std::uint8_t* p = &image.pixels[std::size_t(4) * (c + std::size_t(image.width) * r)];
    return {p[0], p[1], p[2], p[3]};
}

std::array<std::uint8_t, 4> colorOf(TransferFkt& fkt, int density) {
    std::array<std::uint8_t, 4> rgba{};
    fkt.getRGBA(rgba.data(), density);
    return rgba;
}

TEST(Slices, NoVolumeNoSizeNoImage) {
    World w;
    Slices s(w.data, w.fkt);
    EXPECT_EQ(s.width(), 0);
    EXPECT_EQ(s.height(), 0);
    EXPECT_EQ(s.imageRef(), nullptr);
}

TEST(Slices, SizeFollowsTheSectionsAspectRatio) {
    World w;
    w.load(Grid(64, 64, 27));
    Slices s(w.data, w.fkt);
    EXPECT_EQ(s.width(), 100);
    EXPECT_EQ(s.height(), 100);
    s.setAxis(0);  // (zDim, yDim) = (27, 64)
    EXPECT_EQ(s.width(), 42);
    EXPECT_EQ(s.height(), 100);
    s.setAxis(1);  // (xDim, zDim) = (64, 27)
    EXPECT_EQ(s.width(), 100);
    EXPECT_EQ(s.height(), 42);
    s.imageRef();
    s.setDepth(0.25f);  // depth keeps the size, only re-renders
    EXPECT_TRUE(s.needsUpdateImage());
    EXPECT_EQ(s.height(), 42);
    s.setAxis(7);  // any other value is the z axis
    EXPECT_EQ(s.width(), 100);
    EXPECT_EQ(s.height(), 100);

    w.load(Grid(4, 2, 2));
    s.setAxis(2);
    EXPECT_EQ(s.width(), 100);
    EXPECT_EQ(s.height(), 50);
    s.setMaxImageResolution(0);
    EXPECT_EQ(s.width(), 0);
    EXPECT_EQ(s.imageRef(), nullptr);
}

TEST(Slices, NewVolumeResizesOnTheLoadingThread) {
    World w;
    Slices s(w.data, w.fkt);
    w.load(Grid(4, 2, 2));
    EXPECT_EQ(s.width(), 100);
    EXPECT_EQ(s.height(), 50);
    EXPECT_TRUE(s.needsUpdateImage());
}

TEST(Slices, ImageAxesAndDepthPickTheRightSamples) {
    World w;
    // Density tells the voxel apart: 1000 + 400 x + 100 y + 10 z.
    w.load(Grid::from(3, 3, 3, [](int x, int y, int z) { return 1000 + 400 * x + 100 * y + 10 * z; }));
    Slices s(w.data, w.fkt);
    s.setMaxImageResolution(4);  // u, v = 0, 0.25, 0.5, 0.75 exactly

    // z = depth: columns follow x, rows follow y, top row is the smallest y.
    s.setDepth(0.0f);
    auto image = s.imageRef();
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(image->width, 4);
    EXPECT_EQ(pixel(*image, 0, 0), colorOf(w.fkt, 1000));
    EXPECT_EQ(pixel(*image, 2, 0), colorOf(w.fkt, 1400));  // u = 0.5: x = 1
    EXPECT_EQ(pixel(*image, 0, 2), colorOf(w.fkt, 1100));  // v = 0.5: y = 1
    s.setDepth(1.0f);                                      // the last layer exactly
    image = s.imageRef();
    EXPECT_EQ(pixel(*image, 0, 0), colorOf(w.fkt, 1020));

    // x = depth: columns follow z, rows follow y.
    s.setAxis(0);
    s.setDepth(0.5f);
    image = s.imageRef();
    EXPECT_EQ(pixel(*image, 2, 0), colorOf(w.fkt, 1410));
    EXPECT_EQ(pixel(*image, 0, 2), colorOf(w.fkt, 1500));

    // y = depth: columns follow x, rows follow z.
    s.setAxis(1);
    s.setDepth(0.0f);
    image = s.imageRef();
    EXPECT_EQ(pixel(*image, 2, 0), colorOf(w.fkt, 1400));
    EXPECT_EQ(pixel(*image, 0, 2), colorOf(w.fkt, 1010));
}

TEST(Slices, TransparentTransferFunctionGivesTransparentPixels) {
    World w;
    w.load(Grid::from(5, 4, 3, [](int x, int y, int z) { return 300 * x + 50 * y + z; }));
    w.setOpacity({{0, 0}, {kMaxDensity - 1, 0}});
    Slices s(w.data, w.fkt);
    const auto image = s.imageRef();
    ASSERT_NE(image, nullptr);
    for (std::size_t i = 3; i < image->pixels.size(); i += 4)
        ASSERT_EQ(image->pixels[i], 0) << i;
}

TEST(Slices, ProgressOf100By100GoesFrom1To99) {
    World w;
    w.load(Grid(3, 3, 3, 7));
    Slices s(w.data, w.fkt);
    ProgressLog log(w.center, "calculate slice");
    s.imageRef();
    EXPECT_EQ(log.values(), test::range(1, 99));
}

TEST(Slices, SingleLayerVolumeShowsThatLayer) {
    World w;
    w.load(Grid::from(4, 4, 1, [](int x, int, int) { return 1000 + 1000 * (x >= 2); }));
    Slices s(w.data, w.fkt);
    s.setMaxImageResolution(8);
    for (float depth : {0.0f, 0.5f, 1.0f}) {
        s.setDepth(depth);
        const auto image = s.imageRef();
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(pixel(*image, 0, 0), colorOf(w.fkt, 1000));
        EXPECT_EQ(pixel(*image, 7, 7), colorOf(w.fkt, 2000));
    }
    s.setAxis(0);  // width follows zDim = 1
    EXPECT_EQ(s.width(), 2);
    EXPECT_EQ(s.height(), 8);
    ASSERT_NE(s.imageRef(), nullptr);
}

TEST(Slices, OddDepthsNeitherCrashNorReadOutside) {
    World w;
    w.load(Grid::from(3, 3, 3, [](int x, int y, int z) { return 100 * (x + y + z); }));
    Slices s(w.data, w.fkt);
    for (float depth :
         {-3.0f, 7.0f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        s.setDepth(depth);
        ASSERT_NE(s.imageRef(), nullptr);
    }
}

TEST(Slices, EmptyVolumeAfterAVolumeKeepsTheSizeButRendersNothing) {
    World w;
    w.load(Grid(4, 4, 4, 1000));
    Slices s(w.data, w.fkt);
    ASSERT_NE(s.imageRef(), nullptr);
    const std::string path = test::tempPath("empty");
    test::writeDat(path, Grid(0, 4, 4));
    w.data.loadFromFileName(path);
    std::remove(path.c_str());
    if (w.data.hasData())
        GTEST_SKIP() << "the loader keeps the previous volume";
    EXPECT_EQ(s.width(), 100);  // the previous size stays
    EXPECT_EQ(s.imageRef(), nullptr);
}

}  // namespace
}  // namespace qz

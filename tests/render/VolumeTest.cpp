#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <set>
#include <thread>

#include "platform/Threads.h"
#include "render/MIP.h"
#include "render/Slices.h"
#include "render/Volume.h"
#include "tests/render/RenderTestSupport.h"

namespace qz {
namespace {

using test::Grid;
using test::ProgressLog;
using test::World;

using Rgba = std::array<std::uint8_t, 4>;

Rgba pixel(const RgbaImage& image, int c, int r) {
    const std::uint8_t* p = &image.pixels[std::size_t(4) * (c + std::size_t(image.width) * r)];
    return {p[0], p[1], p[2], p[3]};
}

// The opaque pixel a ray ending in one unshaded, fully opaque sample of this density shows.
Rgba opaqueColorOf(TransferFkt& fkt, int density) {
    Rgba rgba{};
    fkt.getRGBA(rgba.data(), density);
    rgba[3] = 255;
    return rgba;
}

const Rgba kBlack{0, 0, 0, 255};

TEST(Volume, ImageSizeFromTheResolution) {
    World w;
    Volume v(w.data, w.fkt);
    EXPECT_EQ(v.areaRadius(), 50);
    EXPECT_EQ(v.width(), 100);
    EXPECT_EQ(v.height(), 100);
    v.setMaxImageResolution(101);
    EXPECT_EQ(v.areaRadius(), 51);
    EXPECT_EQ(v.width(), 102);
    v.setMaxImageResolution(1);
    EXPECT_EQ(v.width(), 2);
    EXPECT_EQ(v.height(), 2);
}

TEST(Volume, WithoutAVolumeEveryPixelIsOpaqueBlack) {
    World w;
    Volume v(w.data, w.fkt);
    ProgressLog log(w.center, "calculate volume");
    const auto image = v.imageRef();
    ASSERT_NE(image, nullptr);
    for (int r = 0; r < 100; ++r)
        for (int c = 0; c < 100; ++c)
            ASSERT_EQ(pixel(*image, c, r), kBlack);
    EXPECT_EQ(log.values(), test::range(1, 100));
}

TEST(Volume, ProgressSkipsNothingAndEndsAtTheLastPixel) {
    World w;
    w.load(Grid(3, 3, 3, 1000));
    Volume v(w.data, w.fkt);
    {
        ProgressLog log(w.center, "calculate volume");
        v.imageRef();
        EXPECT_EQ(log.values(), test::range(1, 100));
    }
    v.setMaxImageResolution(1);  // 2 x 2 pixels
    ProgressLog log(w.center, "calculate volume");
    v.imageRef();
    EXPECT_EQ(log.values(), (std::vector<int>{25, 50, 75, 100}));
}

TEST(Volume, ProgressArrivesOnTheRenderingThreadOnly) {
    World w;
    w.load(Grid(6, 6, 6, 1500));
    setThreadCount(7);
    for (int kind = 0; kind < 2; ++kind) {
        std::unique_ptr<Renderer> r =
            kind == 0 ? std::unique_ptr<Renderer>(std::make_unique<MIP>(w.data, w.fkt))
                      : std::unique_ptr<Renderer>(std::make_unique<Slices>(w.data, w.fkt));
        r->setMaxImageResolution(64);
        std::mutex mutex;
        std::set<std::thread::id> threads;
        int posts = 0;
        Observation observer(w.center, kUpdateProgressBar, nullptr, [&](const Notification&) {
            std::lock_guard lock(mutex);
            threads.insert(std::this_thread::get_id());
            ++posts;
        });
        ASSERT_NE(r->imageRef(), nullptr);
        EXPECT_GE(posts, 99);
        EXPECT_EQ(threads, std::set<std::thread::id>{std::this_thread::get_id()});
    }
    setThreadCount(0);
}

TEST(Volume, RayEntersAtTheStepItsDepthGives) {
    World w;
    // Extents 100 x 100 x 50 at resolution 100; density rises along z, so the gradient is +z.
    w.load(Grid::from(32, 32, 16, [](int, int, int z) { return 1000 + 50 * z; }));
    Volume v(w.data, w.fkt);
    v.setDoShading(true);
    v.setOrientation(MakeVector(0, 0, 0));
    const auto image = v.imageRef();
    ASSERT_NE(image, nullptr);
    // The opaque ramp ends every ray at its first inside sample: step 25 (depth 0.25).
    PhongIllumination phong;
    phong.setViewVector(MakeVector(0, 0, 1));
    std::uint8_t rgba[4];
    w.fkt.getRGBA(rgba, 1000);
    phong.updateRGBA(rgba, MakeVector(0, 0, 1), 0.25f);
    EXPECT_EQ(pixel(*image, 50, 50), (Rgba{rgba[0], rgba[1], rgba[2], 255}));
}

// Top-left block (x, y < 4) of density 1000; top-right block of 3000 in front (z < 4) and 2000
// behind; the bottom half empty (alpha 0 at density 0).
Grid markerGrid() {
    return Grid::from(8, 8, 8, [](int x, int y, int z) {
        if (y >= 4)
            return 0;
        if (x < 4)
            return 1000;
        return z < 4 ? 3000 : 2000;
    });
}

TEST(Volume, SmallestYOnTopSmallestXOnTheLeftZeroZInFront) {
    World w;
    w.load(markerGrid());
    w.setOpacity({{0, 0}, {1, 255}, {kMaxDensity - 1, 255}});
    Volume v(w.data, w.fkt);
    v.setMaxImageResolution(16);
    v.setQuality(0);
    auto image = v.imageRef();
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(pixel(*image, 2, 2), opaqueColorOf(w.fkt, 1000));
    EXPECT_EQ(pixel(*image, 13, 2), opaqueColorOf(w.fkt, 3000));
    EXPECT_EQ(pixel(*image, 2, 13), kBlack);
    EXPECT_EQ(pixel(*image, 13, 13), kBlack);

    // Half a turn about y: the back is in front and x runs the other way.
    v.setOrientation(MakeVector(0, std::numbers::pi_v<float>, 0));
    image = v.imageRef();
    EXPECT_EQ(pixel(*image, 2, 2), opaqueColorOf(w.fkt, 2000));
    EXPECT_EQ(pixel(*image, 13, 2), opaqueColorOf(w.fkt, 1000));
    EXPECT_EQ(pixel(*image, 2, 13), kBlack);
}

TEST(Volume, OneAndTwoHalfTransparentSamplesGive128And191) {
    World w;
    w.setColor(0, 255, 255, 255);
    w.setOpacity({{0, 128}, {kMaxDensity - 1, 128}});
    Volume v(w.data, w.fkt);
    v.setMaxImageResolution(8);
    v.setQuality(0);
    w.load(Grid(8, 8, 1, 0));  // one sample thick at resolution 8
    EXPECT_EQ(pixel(*v.imageRef(), 4, 4), (Rgba{128, 128, 128, 255}));
    w.load(Grid(8, 8, 2, 0));  // two samples
    EXPECT_EQ(pixel(*v.imageRef(), 4, 4), (Rgba{191, 191, 191, 255}));
}

TEST(Volume, ThinVolumesScaleToNothingOrToASlab) {
    World w;
    Volume v(w.data, w.fkt);
    v.setMaxImageResolution(16);
    w.load(Grid(64, 64, 1, 3000));  // extent trunc(0.25 + 0.5) = 0
    auto image = v.imageRef();
    for (int r = 0; r < 16; ++r)
        for (int c = 0; c < 16; ++c)
            ASSERT_EQ(pixel(*image, c, r), kBlack);
    w.load(Grid(64, 64, 2, 3000));  // extent 1
    image = v.imageRef();
    EXPECT_EQ(pixel(*image, 8, 8), opaqueColorOf(w.fkt, 3000));
}

TEST(Volume, TransparentTransferFunctionGivesOpaqueBlack) {
    World w;
    w.load(markerGrid());
    w.setOpacity({{0, 0}, {kMaxDensity - 1, 0}});
    Volume v(w.data, w.fkt);
    v.setMaxImageResolution(10);
    v.setDoShading(true);
    const auto image = v.imageRef();
    for (int r = 0; r < 10; ++r)
        for (int c = 0; c < 10; ++c)
            ASSERT_EQ(pixel(*image, c, r), kBlack);
}

TEST(Volume, LightFollowsTheViewingDirection) {
    World w;
    Volume v(w.data, w.fkt);
    EXPECT_EQ(v.shading().viewVector().z, 1.0f);
    v.setOrientation(MakeVector(0, 0, 0));
    EXPECT_EQ(v.shading().lightVector().z, 1.0f);  // not the zero angle triple
    v.setOrientation(MakeVector(0.3f, 0, 0));
    const _Vector light = v.shading().lightVector();
    EXPECT_NEAR(light.x, 0.0f, 1e-7f);
    EXPECT_NEAR(light.y, -std::sin(0.3f), 1e-6f);
    EXPECT_NEAR(light.z, std::cos(0.3f), 1e-6f);
}

TEST(Volume, BrokenAnglesGiveBlackNotAHang) {
    World w;
    w.load(markerGrid());
    for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        Volume v(w.data, w.fkt);
        MIP m(w.data, w.fkt);
        for (Volume* r : {&v, static_cast<Volume*>(&m)}) {
            r->setMaxImageResolution(12);
            r->setDoShading(true);
            r->setOrientation(MakeVector(0.2f, bad, 0.1f));
            const auto image = r->imageRef();
            ASSERT_NE(image, nullptr);
            for (int i = 0; i < 12; ++i)
                ASSERT_EQ(pixel(*image, i, i), kBlack);
        }
    }
}

// One ray through a 1 x 1 x 4 volume at resolution 4 samples the voxels 0, 0, 1 and 2.
struct Column : World {
    MIP mip{data, fkt};
    Column(int z0, int z1, int z2) {
        Grid g(1, 1, 4);
        g.at(0, 0, 0) = std::uint16_t(z0);
        g.at(0, 0, 1) = std::uint16_t(z1);
        g.at(0, 0, 2) = std::uint16_t(z2);
        g.at(0, 0, 3) = 0;
        load(g);
        mip.setMaxImageResolution(4);
        mip.setQuality(0);
    }
    Rgba ray() { return pixel(*mip.imageRef(), 2, 2); }
};

TEST(MIP, ShowsTheDensestSample) {
    Column c(10, 50, 30);
    c.setOpacity({{0, 100}, {kMaxDensity - 1, 100}});
    c.setColor(10, 10, 0, 0);
    c.setColor(30, 30, 0, 0);
    c.setColor(50, 50, 0, 0);
    EXPECT_EQ(c.ray(), (Rgba{50, 0, 0, 255}));  // not weighted by its opacity
}

TEST(MIP, AnOpaqueMaximumEndsTheRay) {
    Column c(40, 90, 90);
    c.setOpacity({{0, 0}, {40, 255}, {90, 100}, {kMaxDensity - 1, 100}});
    EXPECT_EQ(c.ray(), opaqueColorOf(c.fkt, 40));
}

TEST(MIP, TheFrontSampleWinsATie) {
    // Samples 10 (k = 0) and 10 (k = 1): same density, different shading depth.
    Column c(10, 5, 5);
    c.setOpacity({{0, 100}, {kMaxDensity - 1, 100}});
    c.setColor(10, 100, 100, 100);
    c.mip.setDoShading(true);
    std::uint8_t front[4] = {100, 100, 100, 100}, back[4] = {100, 100, 100, 100};
    PhongIllumination phong;
    phong.setViewVector(MakeVector(0, 0, 1));
    phong.updateRGBA(front, MakeVector(0, 0, -1), 0.0f);
    phong.updateRGBA(back, MakeVector(0, 0, -1), 0.25f);
    ASSERT_NE(front[0], back[0]);
    EXPECT_EQ(c.ray(), (Rgba{front[0], front[1], front[2], 255}));
}

TEST(MIP, DensityZeroAndInvisibleSamplesNeverCount) {
    Column zero(0, 0, 0);
    zero.setOpacity({{0, 255}, {kMaxDensity - 1, 255}});
    EXPECT_EQ(zero.ray(), kBlack);
    // Transparent from 40 up: the window shows 30, not 50.
    Column window(10, 50, 30);
    window.setOpacity({{0, 200}, {39, 200}, {40, 0}, {kMaxDensity - 1, 0}});
    EXPECT_EQ(window.ray(), opaqueColorOf(window.fkt, 30));
}

}  // namespace
}  // namespace qz

// What the renderers do beyond their pixels (staleness, threads, hi-res, refusals), hand-computed
// images that pin down the conventions the reference renderers share, and the matrix and shading
// functions both use.
#include <atomic>
#include <cstring>
#include <numbers>
#include <set>

#include "platform/Threads.h"
#include "render/MIP.h"
#include "render/Matrix.h"
#include "render/Slices.h"
#include "render/Volume.h"
#include "support/Notifications.h"
#include "support/Scene.h"

namespace qz {
namespace {

using Rgba = std::array<int, 4>;

Rgba pixel(const std::shared_ptr<const RgbaImage>& image, int c, int r) {
    const std::uint8_t* p = &image->pixels[std::size_t(4) * (c + std::size_t(image->width) * r)];
    return {p[0], p[1], p[2], p[3]};
}

Rgba color(TransferFkt& fkt, int density, int alpha = 255) {
    std::uint8_t rgba[4];
    fkt.getRGBA(rgba, density);
    return {rgba[0], rgba[1], rgba[2], alpha < 0 ? rgba[3] : alpha};
}

TEST(Renderer, RendersWhenStaleAndFollowsLoads) {
    testing::Scene s;
    auto volume = std::make_unique<Volume>(s.data, s.fkt);
    auto mip = std::make_unique<MIP>(s.data, s.fkt);
    Slices slices(s.data, s.fkt);
    EXPECT_EQ(slices.width(), 0);
    s.load(4, 2, 2, std::vector<std::uint16_t>(16, 2000));
    EXPECT_EQ(slices.width() * 1000 + slices.height(), 100050);  // sized on the loading thread
    testing::NotificationLog log(s.center, {kUpdateProgressBar});
    const auto first = volume->imageRef();
    EXPECT_EQ(volume->imageRef(), first);  // not stale: no render
    volume->setQuality(0);
    volume->setDoShading(true);
    EXPECT_EQ(volume->imageRef(), first);  // quality and shading alone do not re-render
    EXPECT_EQ(log.progress("calculate volume").size(), 100u);
    volume->setOrientation(MakeVector(0.1f, 0, 0));
    EXPECT_NE(volume->imageRef(), first);
    mip->imageRef();
    slices.imageRef();
    s.load(3, 3, 3, std::vector<std::uint16_t>(27, 5));
    EXPECT_TRUE(volume->needsUpdateImage() && mip->needsUpdateImage() && slices.needsUpdateImage());
    volume.reset();
    mip.reset();
    s.load(2, 2, 2, std::vector<std::uint16_t>(8, 1));  // destroyed renderers no longer observe loads
}

TEST(Renderer, ChangesDuringARenderArePendingAfterIt) {
    testing::Scene s;
    s.load(4, 4, 4, std::vector<std::uint16_t>(64, 2000));
    Volume v(s.data, s.fkt);
    v.setMaxImageResolution(10);
    const auto first = v.imageRef();
    v.setOrientation(MakeVector(0.3f, 0, 0));
    std::atomic<int> calls{0};
    Observation nested(s.center, kUpdateProgressBar, nullptr, [&](const Notification&) {
        if (calls++ == 0) {
            v.setOrientation(MakeVector(0.6f, 0, 0));
            EXPECT_EQ(v.imageRef(), first);  // no render inside a render: the previous image
        }
    });
    EXPECT_NE(v.imageRef(), first);
    EXPECT_TRUE(v.needsUpdateImage());
}

TEST(Renderer, ProgressArrivesOnTheRenderingThreadOnly) {
    testing::Scene s;
    s.load(6, 6, 6, std::vector<std::uint16_t>(216, 1500));
    setThreadCount(7);
    MIP mip(s.data, s.fkt);
    Slices slices(s.data, s.fkt);
    for (Renderer* r : std::initializer_list<Renderer*>{&mip, &slices}) {
        testing::NotificationLog log(s.center, {kUpdateProgressBar});
        r->setMaxImageResolution(64);
        ASSERT_NE(r->imageRef(), nullptr);
        EXPECT_GE(log.entries().size(), 99u);
        for (const auto& e : log.entries())
            ASSERT_EQ(e.thread, std::this_thread::get_id()) << r->className();
    }
    setThreadCount(0);
}

TEST(Renderer, HiResRendersOnItsThreadThenAnnounces) {
    testing::Scene s;
    s.load(5, 5, 5, std::vector<std::uint16_t>(125, 3000));
    Slices slices(s.data, s.fkt);
    slices.setAxis(1);
    MIP mip(s.data, s.fkt);
    mip.setOrientation(MakeVector(1, 2, 3));
    for (Renderer* preview : std::initializer_list<Renderer*>{&slices, &mip}) {
        auto hi = preview->createSameClass();  // a fresh renderer of that class
        EXPECT_STREQ(hi->className(), preview->className());
        EXPECT_EQ(hi->orientation().x + hi->maxImageResolution() + hi->quality() + hi->doShading(), 101.0f);
        EXPECT_TRUE(hi->needsUpdateImage());
        hi->setMaxImageResolution(40);
        std::thread::id announced;
        std::shared_ptr<const RgbaImage> image;
        Observation done(s.center, kNewHiResAvailable, hi.get(), [&](const Notification& n) {
            announced = std::this_thread::get_id();
            image = static_cast<Renderer*>(const_cast<void*>(n.object))->imageRef();
        });
        std::thread::id worker;
        std::thread([&] {
            worker = std::this_thread::get_id();
            hi->hiRes();
        }).join();
        EXPECT_EQ(announced, worker);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->width, 40);
        EXPECT_FALSE(hi->needsUpdateImage());
    }
    EXPECT_EQ(static_cast<Slices&>(*slices.createSameClass()).axis(), 2);
}

TEST(Renderer, BaseClassSaysItCannotRenderEachTimeItIsStale) {
    testing::Scene s;
    Renderer r(s.data, s.fkt);
    const auto lines = testing::stdoutLines([&] {
        EXPECT_EQ(r.imageRef(), nullptr);
        EXPECT_EQ(r.imageRef(), nullptr);  // no longer stale: silent
        r.setNeedsUpdateImage(true);
        EXPECT_EQ(r.imageRef(), nullptr);
    });
    EXPECT_EQ(lines,
              std::vector<std::string>(2, "Renderer.updateImageRef called, should implemented in subclass"));
}

// Top-left block (x, y < 4) of 1000; top-right block of 3000 in front (z < 4) and 2000 behind;
// the bottom half air: the smallest y is on top, the smallest x on the left, z = 0 in front.
TEST(Renderer, ImagesShowTheVolumeTheRightWayRound) {
    testing::Scene s;
    s.load(8, 8, 8, testing::samplesOf(8, 8, 8, [](int x, int y, int z) {
               return y >= 4 ? 0 : (x < 4 ? 1000 : (z < 4 ? 3000 : 2000));
           }));
    s.setOpacity({{0, 0}, {1, 255}, {4095, 255}});
    Volume v(s.data, s.fkt);
    v.setMaxImageResolution(16);
    v.setQuality(0);
    const Rgba black{0, 0, 0, 255};
    for (const auto& [angle, topLeft, topRight] :
         {std::tuple{0.0f, 1000, 3000}, {std::numbers::pi_v<float>, 2000, 1000}}) {
        v.setOrientation(MakeVector(0, angle, 0));  // half a turn about y: the back in front, x reversed
        const auto image = v.imageRef();
        EXPECT_EQ(pixel(image, 2, 2), color(s.fkt, topLeft)) << angle;
        EXPECT_EQ(pixel(image, 13, 2), color(s.fkt, topRight)) << angle;
        EXPECT_EQ(pixel(image, 2, 13), black);
    }
    // Slices: depth along z, columns along x, rows along y (the top row the smallest y).
    Slices slices(s.data, s.fkt);
    slices.setMaxImageResolution(8);
    slices.setDepth(0.9f);
    EXPECT_EQ(pixel(slices.imageRef(), 6, 1), color(s.fkt, 2000, -1));
    EXPECT_EQ(pixel(slices.imageRef(), 1, 6), color(s.fkt, 0, -1));
    slices.setAxis(0);  // depth along x, columns along z, rows along y
    slices.setDepth(1.0f);
    EXPECT_EQ(pixel(slices.imageRef(), 1, 1), color(s.fkt, 3000, -1));
    EXPECT_EQ(pixel(slices.imageRef(), 6, 1), color(s.fkt, 2000, -1));
    slices.setAxis(1);  // depth along y, columns along x, rows along z
    slices.setDepth(0.0f);
    EXPECT_EQ(pixel(slices.imageRef(), 6, 1), color(s.fkt, 3000, -1));
    EXPECT_EQ(pixel(slices.imageRef(), 6, 6), color(s.fkt, 2000, -1));
}

// Uneven spacing: images keep the physical proportions (a CT of 0.5 mm pixels 1.25 mm apart).
TEST(Renderer, ImagesKeepPhysicalProportions) {
    testing::Scene s;
    s.load(40, 36, 18, std::vector<std::uint16_t>(40 * 36 * 18, 2000), {0.5, 0.5, 1.25});
    Slices slices(s.data, s.fkt);
    slices.setMaxImageResolution(100);
    for (const auto& [axis, width, height] : {std::tuple{0, 100, 80}, {1, 88, 100}, {2, 100, 90}}) {
        slices.setAxis(axis);  // sides 22.5 mm (z) x 18 mm (y), 20 x 22.5 mm, 20 x 18 mm
        const auto image = slices.imageRef();
        EXPECT_EQ(image->width * 1000 + image->height, width * 1000 + height) << axis;
    }
}

// A ray through a column of voxels: compositing and the maximum projection by hand.
TEST(Renderer, CompositingAndMaximumProjectionOfOneRay) {
    struct Case {
        bool mip;
        std::vector<std::uint16_t> column;  // along z; one sample per voxel at resolution = its length
        std::vector<std::pair<int, int>> opacity;
        Rgba expected;  // {-d, 0, 0, 0}: the opaque colour of density d
    };
    const Case cases[] = {
        {false, {0}, {{0, 128}, {4095, 128}}, {128, 128, 128, 255}},     // one half-transparent white sample
        {false, {0, 0}, {{0, 128}, {4095, 128}}, {191, 191, 191, 255}},  // two of them
        {true, {10, 50, 30, 0}, {{0, 100}, {4095, 100}}, {50, 0, 0, 255}},  // the densest, unweighted
        {true,
         {40, 90, 90, 0},
         {{0, 0}, {40, 255}, {90, 100}, {4095, 100}},
         {-40, 0, 0, 0}},                                               // opaque ends it
        {true, {0, 0, 0, 0}, {{0, 255}, {4095, 255}}, {0, 0, 0, 255}},  // density 0 never counts
        {true,
         {10, 50, 30, 0},
         {{0, 200}, {39, 200}, {40, 0}, {4095, 0}},
         {-30, 0, 0, 0}},  // invisible: skipped
    };
    for (const Case& c : cases) {
        testing::Scene s;
        const int n = int(c.column.size());
        s.load(n == 4 ? 1 : 8, n == 4 ? 1 : 8, n,
               testing::samplesOf(n == 4 ? 1 : 8, n == 4 ? 1 : 8, n,
                                  [&](int, int, int z) { return c.column[z]; }));
        s.setOpacity(c.opacity);
        s.setColor(0, 255, 255, 255);
        for (int d : {10, 30, 50})
            s.setColor(d, std::uint8_t(d), 0, 0);
        std::unique_ptr<Volume> r =
            c.mip ? std::make_unique<MIP>(s.data, s.fkt) : std::make_unique<Volume>(s.data, s.fkt);
        r->setMaxImageResolution(c.mip ? 4 : 8);
        r->setQuality(0);
        const Rgba expected = c.expected[0] < 0 ? color(s.fkt, -c.expected[0]) : c.expected;
        EXPECT_EQ(pixel(r->imageRef(), c.mip ? 2 : 4, c.mip ? 2 : 4), expected)
            << c.column[0] << " " << c.column[1];
    }
}

TEST(Matrix, RotationsAboutXThenYThenZAndTranslations) {
    const float h = std::numbers::pi_v<float> / 2.0f;
    const struct {
        _Matrix m;
        _Point in;
        std::array<float, 4> out;
    } cases[] = {
        {MatrixRotate(MakeMatrix(), MakeVector(0, 0, h)), MakePoint(1, 0, 0, 1), {0, 1, 0, 1}},
        {MatrixRotate(MakeMatrix(), MakeVector(h, 0, 0)), MakePoint(0, 1, 0, 1), {0, 0, 1, 1}},
        {MatrixRotate(MakeMatrix(), MakeVector(0, h, 0)), MakePoint(0, 0, 1, 1), {1, 0, 0, 1}},
        {MatrixRotate(MakeMatrix(), MakeVector(h, h, 0)), MakePoint(0, 1, 0, 1), {1, 0, 0, 1}},  // x first
        {MatrixTranslate(MakeMatrix(), 1, 2, 3), MakePoint(0, 0, 0, 1), {1, 2, 3, 1}},
        {MatrixTranslate(MakeMatrix(), 1, 2, 3), MakePoint(4, 5, 6, 0), {4, 5, 6, 0}},  // directions stay
        {MakeMatrix(), MakePoint(1, 2, 3, 2), {1, 2, 3, 2}},                            // no division by w
        // The first argument applies first: rotate then move, and move then rotate.
        {MatrixMultLeft(MatrixRotate(MakeMatrix(), MakeVector(0, 0, h)),
                        MatrixTranslate(MakeMatrix(), 1, 0, 0)),
         MakePoint(1, 0, 0, 1),
         {1, 1, 0, 1}},
        {MatrixMultLeft(MatrixTranslate(MakeMatrix(), 1, 0, 0),
                        MatrixRotate(MakeMatrix(), MakeVector(0, 0, h))),
         MakePoint(1, 0, 0, 1),
         {0, 2, 0, 1}},
    };
    for (const auto& c : cases) {
        const _Point p = MatrixTransformPoint(c.m, c.in);
        EXPECT_NEAR(p.x, c.out[0], 1e-6f);
        EXPECT_NEAR(p.y, c.out[1], 1e-6f);
        EXPECT_NEAR(p.z, c.out[2], 1e-6f);
        EXPECT_EQ(p.w, c.out[3]);
    }
    const _Matrix r = MatrixRotate(MakeMatrix(), MakeVector(0, 0, 0)), id = MakeMatrix();
    EXPECT_EQ(std::memcmp(r.m, id.m, sizeof r.m), 0);  // exactly the identity
}

TEST(Phong, ShadesByGradientAndDepthAndLeavesAlpha) {
    const float c = std::sqrt(0.75f);
    const struct {
        _Vector view, gradient;
        std::uint8_t grey;
        float depth;
        int expected;
    } cases[] = {
        {MakeVector(0, 0, 1), MakeVector(0, 0, 0), 255, 0, 204},  // flat: eighty per cent
        {MakeVector(0, 0, 1), MakeVector(0, 0, 0), 100, 0, 80},
        {MakeVector(0, 0, 5), MakeVector(0, 0, 1), 0, 0, 255},     // along the light (normalised)
        {MakeVector(0, 0, 1), MakeVector(0, 0, 1), 0, 0.99f, 60},  // the deepest step
        {MakeVector(0, 0, 1), MakeVector(c, 0, 0.5f), 100, 0, 131},
        {MakeVector(0, 0, 1), MakeVector(c, 0, 0.5f), 100, 0.5f, 94},
        {MakeVector(0, 0, 1), MakeVector(0, 0, -1), 100, 0, 233},  // opposed: still specular
        {MakeVector(0, 0, 1), MakeVector(c, 0, -0.5f), 0, 0, 0},   // negative light clamps
        {MakeVector(0, 0, 1), MakeVector(c, 0, -0.5f), 100, 0, 29},
        {MakeVector(0, 0, 0), MakeVector(0, 0, 1), 100, 0, 80},  // no view vector: ambient only
    };
    for (const auto& k : cases) {
        PhongIllumination p;
        p.setViewVector(k.view);
        std::uint8_t rgba[4] = {k.grey, k.grey, k.grey, 77};
        p.updateRGBA(rgba, k.gradient, k.depth);
        EXPECT_EQ(Rgba({rgba[0], rgba[1], rgba[2], rgba[3]}), Rgba({k.expected, k.expected, k.expected, 77}))
            << k.gradient.x << " " << k.gradient.z << " " << k.depth;
    }
    testing::Scene s;
    Volume v(s.data, s.fkt);
    v.setOrientation(MakeVector(0.3f, 0, 0));  // the light follows the viewing direction
    EXPECT_NEAR(v.shading().lightVector().y, -std::sin(0.3f), 1e-6f);
    EXPECT_NEAR(v.shading().lightVector().z, std::cos(0.3f), 1e-6f);
}

}  // namespace
}  // namespace qz

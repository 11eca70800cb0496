// What the renderers do beyond their pixels (staleness, changes during a render), and the matrix and
// shading functions the renderers and the reference renderers share.
#include <atomic>
#include <cstring>
#include <numbers>

#include "render/Matrix.h"
#include "render/Slices.h"
#include "render/Volume.h"
#include "support/Scene.h"

namespace qz {
namespace {

// Renders only when stale; a change made during a render (from its progress handler) is pending
// after it; loads make every renderer stale.
TEST(Renderer, RendersWhenStaleAndKeepsChangesMadeDuringARender) {
    testing::Scene s;
    auto volume = std::make_unique<Volume>(s.data, s.fkt);
    Slices slices(s.data, s.fkt);
    EXPECT_EQ(slices.width(), 0);
    s.load(4, 2, 2, std::vector<std::uint16_t>(16, 2000));
    EXPECT_EQ(slices.width() * 1000 + slices.height(), 100050);  // sized on the loading thread
    const auto first = volume->imageRef();
    EXPECT_EQ(volume->imageRef(), first);
    volume->setQuality(0);
    volume->setDoShading(true);
    EXPECT_EQ(volume->imageRef(), first);  // quality and shading alone do not re-render
    {
        std::atomic<int> calls{0};
        Observation nested(s.center, kUpdateProgressBar, nullptr, [&](const Notification&) {
            if (calls++ == 0) {
                volume->setOrientation(MakeVector(0.6f, 0, 0));
                EXPECT_EQ(volume->imageRef(), first);  // no render inside a render: the previous image
            }
        });
        volume->setOrientation(MakeVector(0.3f, 0, 0));
        EXPECT_NE(volume->imageRef(), first);
        EXPECT_TRUE(volume->needsUpdateImage());
    }
    volume->imageRef();
    slices.imageRef();
    s.load(3, 3, 3, std::vector<std::uint16_t>(27, 5));
    EXPECT_TRUE(volume->needsUpdateImage() && slices.needsUpdateImage());
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

// Rotations about x, then y, then z, of points and directions alike, with no division by w.
TEST(Matrix, RotationsAboutXThenYThenZ) {
    const float h = std::numbers::pi_v<float> / 2.0f;
    const float cases[] = {                                  // the rotation, the point in, the point out
                           0, 0, h, 1, 0, 0, 1, 0, 1, 0, 1,  // about z
                           h, 0, 0, 0, 1, 0, 1, 0, 0, 1, 1,  // about x
                           0, h, 0, 0, 0, 1, 0, 1, 0, 0, 0,  // about y, a direction
                           h, h, 0, 0, 1, 0, 2, 1, 0, 0, 2,  // x first; w stays
                           0, 0, 0, 1, 2, 3, 2, 1, 2, 3, 2};
    for (const float* c = cases; c != std::end(cases); c += 11) {
        const _Point p = MatrixTransformPoint(MatrixRotate(MakeMatrix(), MakeVector(c[0], c[1], c[2])),
                                              MakePoint(c[3], c[4], c[5], c[6]));
        EXPECT_NEAR(std::abs(p.x - c[7]) + std::abs(p.y - c[8]) + std::abs(p.z - c[9]), 0, 1e-6f)
            << c[0] << c[1] << c[2];
        EXPECT_EQ(p.w, c[10]);
    }
    const _Matrix r = MatrixRotate(MakeMatrix(), MakeVector(0, 0, 0)), id = MakeMatrix();
    EXPECT_EQ(std::memcmp(r.m, id.m, sizeof r.m), 0);  // exactly the identity
}

// Eighty per cent ambient, diffuse and specular along the light, darker with depth; alpha stays.
TEST(Phong, ShadesByGradientAndDepthAndLeavesAlpha) {
    const float c = std::sqrt(0.75f);
    const float cases[] = {
        // view z, gradient x and z, grey, depth, then the expected grey
        1, 0, 0,     255, 0, 204, 1, 0, 0,     100, 0,     80,   // flat: eighty per cent
        5, 0, 1,     0,   0, 255, 1, 0, 1,     0,   0.99f, 60,   // along the light; the deepest step
        1, c, 0.5f,  100, 0, 131, 1, c, 0.5f,  100, 0.5f,  94,   //
        1, 0, -1,    100, 0, 233, 1, c, -0.5f, 0,   0,     0,    // opposed: still specular; clamped
        1, c, -0.5f, 100, 0, 29,  0, 0, 1,     100, 0,     80};  // no view vector: ambient only
    for (const float* k = cases; k != std::end(cases); k += 6) {
        PhongIllumination p;
        p.setViewVector(MakeVector(0, 0, k[0]));
        const std::uint8_t grey = std::uint8_t(k[3]);
        std::uint8_t rgba[4] = {grey, grey, grey, 77};
        p.updateRGBA(rgba, MakeVector(k[1], 0, k[2]), k[4]);
        const int e = int(k[5]);
        EXPECT_EQ(std::vector<int>(rgba, rgba + 4), (std::vector<int>{e, e, e, 77}))
            << k[1] << " " << k[2] << " " << k[4];
    }
}

}  // namespace
}  // namespace qz

// Absurd settings reaching the renderers: refused with one line, or rendered at the renderer's size
// (a volume rendering blank where the orientation is not finite); the volume and the transfer
// function never change.
#include <cfloat>
#include <climits>
#include <cmath>
#include <functional>

#include "render/MIP.h"
#include "render/Slices.h"
#include "render/Volume.h"
#include "support/Scene.h"

namespace qz {
namespace {

TEST(HostileRender, AbsurdSettingsAreRefusedOrRenderedAndChangeNothing) {
    testing::Scene s;
    s.load(7, 5, 4, testing::samplesOf(7, 5, 4, [](int x, int y, int z) {
               return 37 + (x + 7 * y + 35 * z) * 997 % 4000;
           }));
    const auto volume = s.data.volume();
    const ColorTable table = s.fkt.table();
    Slices slices(s.data, s.fkt);
    Volume ray(s.data, s.fkt);
    MIP mip(s.data, s.fkt);
    const float nan = NAN, inf = INFINITY;
    const float orientations[] = {nan,   0,   0,    0,       nan,      0, inf,    0,       0, 0,    -inf,  0,
                                  nan,   inf, -inf,  // not finite
                                  1e30f, 0,   0,    FLT_MAX, -FLT_MAX, 0, 1e-45f, -1e-45f, 0, 1000, -1e6f, 3};
    for (Renderer* r : std::initializer_list<Renderer*>{&slices, &ray, &mip}) {
        r->setMaxImageResolution(37);
        const int w = r->width(), h = r->height();
        for (int bad : {-1, INT_MIN, Renderer::kMaxImageSide + 1, INT_MAX}) {
            const auto lines = testing::stdoutLines([&] { r->setMaxImageResolution(bad); });
            ASSERT_EQ(lines.size(), 1u) << r->className() << " " << bad;
            EXPECT_EQ(lines[0].rfind(std::string(r->className()) + ":Error: ", 0), 0u) << lines[0];
            EXPECT_EQ(r->maxImageResolution() * 1000000 + r->width() * 1000 + r->height(),
                      37000000 + w * 1000 + h);
        }
        r->setMaxImageResolution(Renderer::kMaxImageSide);  // the largest side accepted (not rendered)
        EXPECT_EQ(std::max(r->width(), r->height()), Renderer::kMaxImageSide);
        r->setMaxImageResolution(37);
        for (int quality : {-1, 2, INT_MIN, INT_MAX})
            for (const float* o = orientations; o != std::end(orientations); o += 3) {
                r->setQuality(quality);
                r->setDoShading(quality % 2);
                r->setOrientation(MakeVector(o[0], o[1], o[2]));
                std::shared_ptr<const RgbaImage> image;
                testing::stdoutLines([&] { image = r->imageRef(); });
                ASSERT_NE(image, nullptr) << r->className();
                ASSERT_EQ(image->width * 1000 + image->height, w * 1000 + h) << r->className();
                const bool blank = o < orientations + 15 && r != &slices;
                for (std::size_t i = 0; blank && i < image->pixels.size(); i += 4)
                    ASSERT_EQ(image->pixels[i] + image->pixels[i + 1] + image->pixels[i + 2], 0)
                        << o[0] << o[1] << o[2];
            }
    }
    for (int axis : {-1, 3, INT_MIN, INT_MAX})
        for (float depth : {nan, -5.0f, 7.0f, inf, -inf, 1e30f, -0.0f, FLT_MIN}) {
            slices.setAxis(axis);
            slices.setDepth(depth);
            ASSERT_NE(slices.imageRef(), nullptr) << axis << " " << depth;
        }
    EXPECT_EQ(s.data.volume(), volume);
    EXPECT_EQ(s.fkt.table(), table);
}

// The render step alone, without imageRef's own check of the cancel flag.
template <class R>
struct RenderStep : R {
    using R::R;
    using R::updateImageRef;
};

// Cancelled: no tile is rendered, and imageRef keeps the previous image, stale; cleared: a render.
TEST(HostileRender, CancelledRendersStopAndKeepThePreviousImage) {
    testing::Scene s;
    s.load(7, 5, 4, testing::samplesOf(7, 5, 4, [](int x, int y, int z) { return 900 + 100 * (x + y + z); }));
    RenderStep<Slices> slices(s.data, s.fkt);
    RenderStep<Volume> ray(s.data, s.fkt);
    RenderStep<MIP> mip(s.data, s.fkt);
    const std::pair<Renderer*, std::function<std::shared_ptr<const RgbaImage>()>> cases[] = {
        {&slices, [&] { return slices.updateImageRef(); }},
        {&ray, [&] { return ray.updateImageRef(); }},
        {&mip, [&] { return mip.updateImageRef(); }}};
    for (const auto& [r, step] : cases) {
        r->setMaxImageResolution(40);
        const auto before = r->imageRef();
        r->setCancelled(true);
        const auto blank = step();
        EXPECT_TRUE(blank &&
                    std::all_of(blank->pixels.begin(), blank->pixels.end(), [](int v) { return !v; }));
        r->setOrientation(MakeVector(0.4f, 0.2f, 0.0f));
        EXPECT_TRUE(r->imageRef() == before && r->needsUpdateImage()) << r->className();
        r->setCancelled(false);
        const auto after = r->imageRef();
        EXPECT_TRUE(after && after != before && !r->needsUpdateImage()) << r->className();
    }
}

}  // namespace
}  // namespace qz

// Absurd settings reaching the renderers: refused with one line, or rendered at the renderer's size
// (an opaque volume rendering, blank where the orientation is not finite); the volume and the
// transfer function never change.
#include <cfloat>
#include <climits>
#include <cmath>

#include "render/MIP.h"
#include "render/Slices.h"
#include "render/Volume.h"
#include "support/Scene.h"

namespace qz {
namespace {

constexpr float kNaN = NAN, kInf = INFINITY;

class HostileRender : public ::testing::Test {
  protected:
    void SetUp() override {
        s.fkt.addOpacityReferencePointForDensity(300, 0);
        s.fkt.addOpacityReferencePointForDensity(2000, 128);
        table = s.fkt.table();
        s.load(7, 5, 4, testing::samplesOf(7, 5, 4, [](int x, int y, int z) {
                   return 37 + (x + 7 * y + 35 * z) * 997 % 4000;
               }));
        volume = s.data.volume();
        renderers.push_back(std::make_unique<Slices>(s.data, s.fkt));
        renderers.push_back(std::make_unique<Volume>(s.data, s.fkt));
        renderers.push_back(std::make_unique<MIP>(s.data, s.fkt));
    }
    void TearDown() override {
        EXPECT_EQ(s.data.volume(), volume);
        EXPECT_EQ(s.fkt.table(), table);
    }
    // Renders afresh; true when there is an image, of the renderer's size and with plausible pixels.
    bool render(Renderer& r, const std::string& what, bool blank = false) {
        r.setNeedsUpdateImage(true);
        std::shared_ptr<const RgbaImage> image;
        testing::stdoutLines([&] { image = r.imageRef(); });
        if (!image)
            return false;
        EXPECT_EQ(image->width * 100000 + image->height, r.width() * 100000 + r.height()) << what;
        EXPECT_EQ(image->pixels.size(), std::size_t(4) * image->width * image->height) << what;
        const std::string kind = r.className();
        for (std::size_t i = 0; i < image->pixels.size() && kind != "Slices"; i += 4) {
            const std::uint8_t* px = &image->pixels[i];
            if ((px[3] != 255 && kind != "MIP") || (blank && px[0] + px[1] + px[2]))
                return ADD_FAILURE() << what << ": pixel " << i / 4, false;
        }
        return true;
    }

    testing::Scene s;
    ColorTable table{};
    std::shared_ptr<const VolumeData> volume;
    std::vector<std::unique_ptr<Renderer>> renderers;
};

TEST_F(HostileRender, ImpossibleResolutionsAreRefusedWithOneLineAndChangeNothing) {
    for (auto& r : renderers) {
        r->setMaxImageResolution(37);
        ASSERT_TRUE(render(*r, r->className()));
        const int w = r->width(), h = r->height();
        for (int bad : {-1, -100, INT_MIN, Renderer::kMaxImageSide + 1, 100000, INT_MAX}) {
            const auto lines = testing::stdoutLines([&] { r->setMaxImageResolution(bad); });
            ASSERT_EQ(lines.size(), 1u) << r->className() << " " << bad;
            EXPECT_EQ(lines[0].rfind(std::string(r->className()) + ":Error: ", 0), 0u) << lines[0];
            EXPECT_EQ(r->maxImageResolution() * 1000000 + r->width() * 1000 + r->height(),
                      37000000 + w * 1000 + h);
            EXPECT_FALSE(r->needsUpdateImage());
        }
        EXPECT_TRUE(testing::stdoutLines([&] { r->setMaxImageResolution(0); }).empty());  // valid: no image
        EXPECT_FALSE(render(*r, "resolution 0")) << r->className();
        r->setMaxImageResolution(Renderer::kMaxImageSide);  // the largest side accepted (not rendered)
        EXPECT_EQ(std::max(r->width(), r->height()), Renderer::kMaxImageSide);
    }
}

TEST_F(HostileRender, NonFiniteOrientationsOddQualitiesAxesAndDepthsNeverCrash) {
    const float orientations[] = {kNaN, 0,      0,       0,     kNaN, 0,     0, 0,    kNaN,    kInf,
                                  0,    0,      0,       -kInf, 0,    1e30f, 0, 0,    FLT_MAX, -FLT_MAX,
                                  0,    1e-45f, -1e-45f, 0,     1000, -1e6f, 3, kNaN, kInf,    -kInf};
    for (auto& r : renderers) {
        r->setMaxImageResolution(24);
        for (int quality : {0, 1, -1, 2, INT_MIN, INT_MAX})
            for (bool shading : {false, true})
                for (const float* o = orientations; o != std::end(orientations); o += 3) {
                    r->setQuality(quality);
                    r->setDoShading(shading);
                    r->setOrientation(MakeVector(o[0], o[1], o[2]));
                    const bool blank = !std::isfinite(o[0]) || !std::isfinite(o[1]) || !std::isfinite(o[2]);
                    EXPECT_TRUE(render(
                        *r, std::string(r->className()) + " quality " + std::to_string(quality), blank))
                        << o[0] << " " << o[1] << " " << o[2];
                }
    }
    auto& slices = static_cast<Slices&>(*renderers[0]);
    for (int axis : {0, 1, 2, -1, 3, INT_MIN, INT_MAX})
        for (float depth : {0.0f, 1.0f, kNaN, -5.0f, 7.0f, kInf, -kInf, 1e30f, -0.0f, FLT_MIN}) {
            slices.setAxis(axis);
            slices.setDepth(depth);
            EXPECT_TRUE(render(slices, "axis " + std::to_string(axis) + " depth " + std::to_string(depth)));
        }
}

}  // namespace
}  // namespace qz

// Absurd settings and degenerate volumes reaching the renderers: refused with one line, or rendered
// at the renderer's size without reading outside the volume; the volume and the transfer function
// never change.
#include <cfloat>
#include <climits>
#include <cmath>
#include <functional>
#include <set>

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
        const std::uint8_t red[4] = {255, 0, 0, 0};
        s.fkt.addRGBReferencePointForDensity(1500, red);
        s.fkt.addOpacityReferencePointForDensity(300, 0);
        s.fkt.addOpacityReferencePointForDensity(2000, 128);
        table = s.fkt.table();
        load(7, 5, 4);
    }
    void TearDown() override {
        EXPECT_EQ(s.data.volume(), volume);
        EXPECT_EQ(s.fkt.table(), table);
    }
    void load(int x, int y, int z) {
        std::vector<std::uint16_t> samples(std::size_t(x) * y * z);
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = std::uint16_t(37 + i * 997 % 4000);
        s.load(x, y, z, samples);
        volume = s.data.volume();
    }
    std::vector<std::unique_ptr<Renderer>> renderers() {
        std::vector<std::unique_ptr<Renderer>> r;
        r.push_back(std::make_unique<Slices>(s.data, s.fkt));
        r.push_back(std::make_unique<Volume>(s.data, s.fkt));
        r.push_back(std::make_unique<MIP>(s.data, s.fkt));
        return r;
    }
    // Renders afresh; true when there is an image, which must have the renderer's size. A section
    // holds only table entries, a volume rendering is opaque, and blank when dark is set.
    bool render(Renderer& r, const std::string& what, bool dark = false) {
        r.setNeedsUpdateImage(true);
        std::shared_ptr<const RgbaImage> image;
        testing::stdoutLines([&] { image = r.imageRef(); });
        if (!image)
            return false;
        EXPECT_EQ(image->width * 100000 + image->height, r.width() * 100000 + r.height()) << what;
        EXPECT_EQ(image->pixels.size(), std::size_t(4) * image->width * image->height) << what;
        std::set<std::array<std::uint8_t, 4>> entries;
        for (int d = 0; d < kMaxDensity; ++d)
            entries.insert({table[4 * d], table[4 * d + 1], table[4 * d + 2], table[4 * d + 3]});
        const bool slices = std::string(r.className()) == "Slices";
        for (std::size_t i = 0; i < image->pixels.size(); i += 4) {
            const std::array<std::uint8_t, 4> px{image->pixels[i], image->pixels[i + 1], image->pixels[i + 2],
                                                 image->pixels[i + 3]};
            const bool ok = slices ? entries.count(px) != 0
                                   : (px[3] == 255 || r.className() == std::string("MIP")) &&
                                         (!dark || px[0] + px[1] + px[2] == 0);
            if (!ok) {
                ADD_FAILURE() << what << ": pixel " << i / 4;
                break;
            }
        }
        return true;
    }

    testing::Scene s;
    ColorTable table{};
    std::shared_ptr<const VolumeData> volume;
};

TEST_F(HostileRender, ImpossibleResolutionsAreRefusedWithOneLineAndChangeNothing) {
    for (auto& r : renderers()) {
        r->setMaxImageResolution(37);
        ASSERT_TRUE(render(*r, r->className()));
        const int w = r->width(), h = r->height();
        for (int bad : {-1, -100, INT_MIN, Renderer::kMaxImageSide + 1, 100000, INT_MAX}) {
            const auto lines = testing::stdoutLines([&] { r->setMaxImageResolution(bad); });
            ASSERT_EQ(lines.size(), 1u) << r->className() << " " << bad;
            EXPECT_EQ(lines[0].rfind(std::string(r->className()) + ":Error: ", 0), 0u) << lines[0];
            EXPECT_EQ(r->maxImageResolution() * 1000000 + w * 1000 + h,
                      37000000 + r->width() * 1000 + r->height());
            EXPECT_FALSE(r->needsUpdateImage());
        }
        EXPECT_TRUE(testing::stdoutLines([&] { r->setMaxImageResolution(0); }).empty());  // valid: no image
        EXPECT_FALSE(render(*r, "resolution 0")) << r->className();
        r->setMaxImageResolution(Renderer::kMaxImageSide);  // the largest side accepted (not rendered)
        EXPECT_EQ(std::max(r->width(), r->height()), Renderer::kMaxImageSide);
        r->setMaxImageResolution(20);
        EXPECT_TRUE(render(*r, "resolution 20")) << r->className();
    }
}

TEST_F(HostileRender, NonFiniteOrientationsOddQualitiesAndDepthsNeverCrash) {
    const _Vector orientations[] = {
        {kNaN, 0, 0},  {0, kNaN, 0},           {0, 0, kNaN},         {kInf, 0, 0},     {0, -kInf, 0},
        {1e30f, 0, 0}, {FLT_MAX, -FLT_MAX, 0}, {1e-45f, -1e-45f, 0}, {1000, -1e6f, 3}, {kNaN, kInf, -kInf}};
    for (auto& r : renderers()) {
        r->setMaxImageResolution(24);
        for (int quality : {0, 1, -1, 2, INT_MIN, INT_MAX})
            for (bool shading : {false, true})
                for (const _Vector& o : orientations) {
                    r->setQuality(quality);
                    r->setDoShading(shading);
                    r->setOrientation(o);
                    const bool dark = !std::isfinite(o.x) || !std::isfinite(o.y) || !std::isfinite(o.z);
                    EXPECT_TRUE(render(*r,
                                       std::string(r->className()) + " quality " + std::to_string(quality) +
                                           " " + std::to_string(o.x) + "," + std::to_string(o.y) + "," +
                                           std::to_string(o.z),
                                       dark));
                }
    }
    Slices slices(s.data, s.fkt);
    slices.setMaxImageResolution(30);
    for (int axis : {0, 1, 2, -1, 3, INT_MIN, INT_MAX})
        for (float depth : {0.0f, 1.0f, kNaN, -5.0f, 7.0f, kInf, -kInf, 1e30f, -0.0f, FLT_MIN}) {
            slices.setAxis(axis);
            slices.setDepth(depth);
            EXPECT_TRUE(render(slices, "axis " + std::to_string(axis) + " depth " + std::to_string(depth)));
        }
}

TEST_F(HostileRender, OneSampleAxesAndEmptyVolumes) {
    auto rs = renderers();
    for (const auto& [x, y, z] : std::vector<std::array<int, 3>>{{1, 1, 1},
                                                                 {1, 6, 5},
                                                                 {6, 1, 5},
                                                                 {6, 5, 1},
                                                                 {1, 1, 7},
                                                                 {7, 1, 1},
                                                                 {300, 1, 1},
                                                                 {0, 0, 0},
                                                                 {0, 4, 4},
                                                                 {4, 4, 0}}) {
        load(x, y, z);
        const std::string name = std::to_string(x) + "x" + std::to_string(y) + "x" + std::to_string(z);
        for (auto& r : rs) {
            r->setMaxImageResolution(21);
            for (int setting = 0; setting < 6; ++setting) {  // slices: axes 0..2 at depths 0, 0.5, 1
                r->setQuality(setting % 2);
                r->setDoShading(setting / 3);
                r->setOrientation(setting % 3 ? MakeVector(0.3f, 0.7f, 1.1f) : MakeVector(0, 0, 0));
                if (auto* slices = dynamic_cast<Slices*>(r.get())) {
                    slices->setAxis(setting % 3);
                    slices->setDepth(float(setting % 3) / 2.0f);
                }
                // A section may be too thin for a pixel; an empty volume keeps the slice renderer's
                // size, but nothing may read it.
                const bool rendered = render(*r, name + " " + r->className(), volume->sampleCount() == 0);
                EXPECT_TRUE(rendered || std::string(r->className()) == "Slices")
                    << name << " " << r->className();
            }
        }
    }
}

// The render step alone, without imageRef's own check of the cancel flag.
template <class R>
struct RenderStep : R {
    using R::R;
    using R::updateImageRef;
};

// Cancelled: no tile is rendered, and imageRef keeps the previous image, stale; cleared: a render.
TEST_F(HostileRender, CancelledRendersStopAndKeepThePreviousImage) {
    RenderStep<Slices> slices(s.data, s.fkt);
    RenderStep<Volume> volume(s.data, s.fkt);
    RenderStep<MIP> mip(s.data, s.fkt);
    const std::pair<Renderer*, std::function<std::shared_ptr<const RgbaImage>()>> cases[] = {
        {&slices, [&] { return slices.updateImageRef(); }},
        {&volume, [&] { return volume.updateImageRef(); }},
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
        EXPECT_TRUE(render(*r, r->className()) && r->imageRef() != before);
    }
}

TEST_F(HostileRender, HighResolutionRequestsWithAbsurdSettings) {
    for (auto& preview : renderers()) {
        std::unique_ptr<Renderer> hi = preview->createSameClass();
        testing::stdoutLines([&] { hi->setMaxImageResolution(-5); });
        hi->setMaxImageResolution(40);
        hi->setOrientation(MakeVector(kNaN, 1e30f, -kInf));
        hi->setDoShading(true);
        std::atomic<int> posted{0};
        Observation done(s.center, kNewHiResAvailable, hi.get(), [&](const Notification&) { ++posted; });
        std::thread([&] { hi->hiRes(); }).join();
        EXPECT_EQ(posted.load(), 1);
        ASSERT_NE(hi->imageRef(), nullptr) << preview->className();
        EXPECT_EQ(std::max(hi->imageRef()->width, hi->imageRef()->height), 40);
    }
}

}  // namespace
}  // namespace qz

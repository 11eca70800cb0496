// Absurd settings and degenerate volumes reaching the renderers: each is refused with one line or
// rendered without reading outside the volume, and neither the volume nor the transfer function
// changes.
#include <cfloat>
#include <climits>
#include <cmath>
#include <limits>
#include <set>

#include "hostile/HostileSupport.h"
#include "render/MIP.h"
#include "render/Slices.h"
#include "render/Volume.h"

namespace qz::hostile {
namespace {

using namespace std::chrono_literals;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

class HostileRender : public ::testing::Test {
  protected:
    void SetUp() override {
        // A transfer function with some colour and some transparency, so every path runs.
        const std::uint8_t red[4] = {255, 0, 0, 0};
        fkt.addRGBReferencePointForDensity(1500, red);
        fkt.addOpacityReferencePointForDensity(300, 0);
        fkt.addOpacityReferencePointForDensity(2000, 128);
        table = fkt.table();
        for (int d = 0; d < kMaxDensity; ++d)
            entries.insert(entryAt(table, d));
        load(7, 5, 4);
    }

    static std::uint32_t entryAt(const ColorTable& t, int d) {
        return std::uint32_t(t[4 * d]) | std::uint32_t(t[4 * d + 1]) << 8 |
               std::uint32_t(t[4 * d + 2]) << 16 | std::uint32_t(t[4 * d + 3]) << 24;
    }

    void load(int x, int y, int z) {
        std::vector<int> samples(std::size_t(x) * y * z);
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = int(37 + i * 997 % 4000);
        const std::string path = dir.write("v.dat", volumeFile(x, y, z, samples));
        stdoutLines([&] { data.loadFromFileName(path); });
        volume = data.volume();
        ASSERT_EQ(volume->xDim(), x);
    }

    std::vector<std::unique_ptr<Renderer>> renderers() {
        std::vector<std::unique_ptr<Renderer>> r;
        r.push_back(std::make_unique<Slices>(data, fkt));
        r.push_back(std::make_unique<Volume>(data, fkt));
        r.push_back(std::make_unique<MIP>(data, fkt));
        return r;
    }

    // Renders and checks the image against the renderer's size; true when there is an image.
    bool render(Renderer& r, const std::string& what) {
        r.setNeedsUpdateImage(true);
        std::shared_ptr<const RgbaImage> image;
        stdoutLines([&] { image = r.imageRef(); });
        if (!image)
            return false;
        EXPECT_EQ(image->width, r.width()) << what;
        EXPECT_EQ(image->height, r.height()) << what;
        EXPECT_EQ(image->pixels.size(), std::size_t(4) * image->width * image->height) << what;
        if (std::string(r.className()) == "Slices") {
            // Every pixel of a section is the transfer function's entry for some density.
            for (std::size_t i = 0; i < image->pixels.size(); i += 4) {
                const std::uint32_t px =
                    std::uint32_t(image->pixels[i]) | std::uint32_t(image->pixels[i + 1]) << 8 |
                    std::uint32_t(image->pixels[i + 2]) << 16 | std::uint32_t(image->pixels[i + 3]) << 24;
                if (!entries.count(px)) {
                    ADD_FAILURE() << what << ": pixel " << i / 4 << " is no table entry";
                    break;
                }
            }
        } else if (std::string(r.className()) == "Volume") {
            for (std::size_t i = 3; i < image->pixels.size(); i += 4) {
                if (image->pixels[i] != 255) {
                    ADD_FAILURE() << what << ": pixel " << i / 4 << " is not opaque";
                    break;
                }
            }
        }
        return true;
    }

    void TearDown() override {
        // Nothing a renderer was asked to do may touch the volume or the transfer function.
        EXPECT_EQ(data.volume(), volume);
        EXPECT_EQ(fkt.table(), table);
        EXPECT_TRUE(fkt.isRGBReferencePoint(1500));
        EXPECT_FALSE(fkt.isRGBReferencePoint(1501));
    }

    ScratchDir dir;
    NotificationCenter center;
    Data data{center};
    TransferFkt fkt{center};
    ColorTable table{};
    std::set<std::uint32_t> entries;
    std::shared_ptr<const VolumeData> volume;
};

TEST_F(HostileRender, ResolutionsItCannotMakeAreRefusedWithOneLine) {
    for (auto& r : renderers()) {
        r->setMaxImageResolution(37);
        ASSERT_TRUE(render(*r, r->className()));
        const int w = r->width(), h = r->height();
        for (int bad : {-1, -100, INT_MIN, Renderer::kMaxImageSide + 1, 100000, INT_MAX}) {
            const auto lines = stdoutLines([&] { r->setMaxImageResolution(bad); });
            ASSERT_EQ(lines.size(), 1u) << r->className() << " " << bad;
            EXPECT_EQ(lines[0].rfind(std::string(r->className()) + ":Error: ", 0), 0u) << lines[0];
            EXPECT_EQ(r->maxImageResolution(), 37);
            EXPECT_EQ(r->width(), w);
            EXPECT_EQ(r->height(), h);
            EXPECT_TRUE(render(*r, std::string(r->className()) + " after " + std::to_string(bad)));
        }
        // 0 is a valid request for no image; the renderer comes back from it.
        EXPECT_TRUE(stdoutLines([&] { r->setMaxImageResolution(0); }).empty());
        EXPECT_FALSE(render(*r, "resolution 0")) << r->className();
        r->setMaxImageResolution(1);
        render(*r, "resolution 1");
        r->setMaxImageResolution(20);
        EXPECT_TRUE(render(*r, "resolution 20")) << r->className();
    }
}

TEST_F(HostileRender, NonFiniteAndHugeOrientationsAndOddQualitiesNeverCrash) {
    const std::vector<_Vector> orientations = {
        {kNaN, 0, 0},           {0, kNaN, 0},         {0, 0, kNaN},           {kInf, 0, 0},
        {0, -kInf, 0},          {0, 0, kInf},         {1e30f, 0, 0},          {0, -1e30f, 1e30f},
        {FLT_MAX, -FLT_MAX, 0}, {1e-45f, -1e-45f, 0}, {1000.0f, -1e6f, 3.0f}, {kNaN, kInf, -kInf}};
    for (auto& r : renderers()) {
        r->setMaxImageResolution(24);
        // Qualities other than 0 and 1 come along too.
        for (int quality : {0, 1, -1, 2, INT_MIN, INT_MAX}) {
            for (bool shading : {false, true}) {
                r->setQuality(quality);
                r->setDoShading(shading);
                for (const _Vector& o : orientations) {
                    r->setOrientation(o);
                    const std::string what = std::string(r->className()) + " quality " +
                                             std::to_string(quality) + " orientation " + std::to_string(o.x) +
                                             "," + std::to_string(o.y) + "," + std::to_string(o.z);
                    EXPECT_TRUE(render(*r, what)) << what;
                }
            }
        }
        // A finite orientation afterwards renders as before: nothing sticky was left behind.
        r->setOrientation(MakeVector(0, 0, 0));
        EXPECT_TRUE(render(*r, "back to 0"));
    }
}

TEST_F(HostileRender, NonFiniteOrientationShowsNothingButStaysOpaque) {
    Volume v(data, fkt);
    v.setMaxImageResolution(16);
    v.setOrientation(MakeVector(kNaN, 0, 0));
    ASSERT_TRUE(render(v, "NaN"));
    const auto image = v.imageRef();
    for (std::size_t i = 0; i < image->pixels.size(); i += 4) {
        EXPECT_EQ(image->pixels[i] | image->pixels[i + 1] | image->pixels[i + 2], 0) << i / 4;
    }
}

TEST_F(HostileRender, SliceDepthsAndAxesOutsideTheirRange) {
    Slices s(data, fkt);
    s.setMaxImageResolution(30);
    for (int axis : {0, 1, 2, -1, 3, INT_MIN, INT_MAX}) {
        s.setAxis(axis);
        for (float depth : {0.0f, 1.0f, kNaN, -5.0f, 7.0f, kInf, -kInf, 1e30f, -0.0f, FLT_MIN}) {
            s.setDepth(depth);
            EXPECT_TRUE(render(s, "axis " + std::to_string(axis) + " depth " + std::to_string(depth)));
        }
    }
}

TEST_F(HostileRender, OneSampleAxesRenderInEveryRenderer) {
    const std::vector<std::array<int, 3>> shapes = {{1, 1, 1}, {1, 6, 5}, {6, 1, 5}, {6, 5, 1},
                                                    {1, 1, 7}, {7, 1, 1}, {1, 7, 1}, {300, 1, 1}};
    for (const auto& shape : shapes) {
        load(shape[0], shape[1], shape[2]);
        const std::string name =
            std::to_string(shape[0]) + "x" + std::to_string(shape[1]) + "x" + std::to_string(shape[2]);
        Slices s(data, fkt);
        s.setMaxImageResolution(21);
        for (int axis : {0, 1, 2}) {
            s.setAxis(axis);
            for (float depth : {0.0f, 0.5f, 1.0f}) {
                s.setDepth(depth);
                render(s, name + " slices axis " + std::to_string(axis));
            }
        }
        for (auto& r : renderers()) {
            if (std::string(r->className()) == "Slices")
                continue;
            r->setMaxImageResolution(21);
            for (int quality : {0, 1}) {
                for (bool shading : {false, true}) {
                    r->setQuality(quality);
                    r->setDoShading(shading);
                    for (const _Vector& o : {MakeVector(0, 0, 0), MakeVector(0.3f, 0.7f, 1.1f)}) {
                        r->setOrientation(o);
                        EXPECT_TRUE(render(*r, name + " " + r->className())) << name;
                    }
                }
            }
        }
    }
    volume = data.volume();
}

TEST_F(HostileRender, EmptyVolumesRenderNothingOrBlack) {
    auto rs = renderers();
    for (auto& r : rs) {
        r->setMaxImageResolution(18);
        ASSERT_TRUE(render(*r, "before"));
    }
    // A load of an empty volume keeps the slice renderer's size, but nothing may read the volume.
    for (const auto& dims : {std::array{0, 0, 0}, std::array{0, 4, 4}, std::array{4, 4, 0}}) {
        const std::string path = dir.write("empty.dat", volumeFile(dims[0], dims[1], dims[2], {}));
        stdoutLines([&] { data.loadFromFileName(path); });
        ASSERT_FALSE(data.hasData());
        for (auto& r : rs) {
            if (render(*r, std::string("empty ") + r->className()) &&
                std::string(r->className()) != "Slices") {
                const auto image = r->imageRef();
                for (std::size_t i = 0; i < image->pixels.size(); i += 4)
                    EXPECT_EQ(image->pixels[i] | image->pixels[i + 1] | image->pixels[i + 2], 0);
            }
        }
    }
    volume = data.volume();
}

TEST_F(HostileRender, HighResolutionRequestsWithAbsurdSettings) {
    for (auto& preview : renderers()) {
        std::unique_ptr<Renderer> hi = preview->createSameClass();
        stdoutLines([&] { hi->setMaxImageResolution(-5); });
        hi->setMaxImageResolution(40);
        hi->setOrientation(MakeVector(kNaN, 1e30f, -kInf));
        hi->setDoShading(true);
        std::atomic<int> posted{0};
        Observation done(center, kNewHiResAvailable, hi.get(), [&](const Notification&) { ++posted; });
        Renderer* raw = hi.get();
        ASSERT_TRUE(finishesWithin(60s, [&] {
            std::thread worker([raw] { raw->hiRes(); });
            worker.join();
        })) << preview->className();
        EXPECT_EQ(posted.load(), 1);
        const auto image = hi->imageRef();
        ASSERT_NE(image, nullptr) << preview->className();
        EXPECT_EQ(std::max(image->width, image->height), 40);
    }
}

}  // namespace
}  // namespace qz::hostile

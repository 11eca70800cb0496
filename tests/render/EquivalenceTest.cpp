// The production renderers against the reference renderers in tests/reference/, byte for byte and
// progress value for progress value, for thread counts 1, 2 and 7.
#include <cmath>
#include <numbers>
#include <random>

#include "platform/Threads.h"
#include "reference/ReferenceRenderers.h"
#include "render/MIP.h"
#include "render/Slices.h"
#include "render/Volume.h"
#include "support/Notifications.h"
#include "support/Scene.h"
#include "tools/phantom.h"

namespace qz {
namespace {

struct Grid {
    const char* name;
    int x, y, z;
    std::vector<std::uint16_t> samples;
};

Grid phantomGrid(const char* name, int x, int y, int z) {
    Grid g{name, x, y, z, std::vector<std::uint16_t>(std::size_t(x) * y * z)};
    phantom::generateSlices(x, y, z, 1, 0, z, g.samples.data());
    return g;
}

Grid noiseGrid(const char* name, int x, int y, int z, unsigned seed) {
    std::mt19937 random(seed);
    return {name, x, y, z,
            testing::samplesOf(x, y, z, [&](int, int, int) { return int(random() % kMaxDensity); })};
}

std::vector<Grid> volumes() {
    auto distance = [](float x, float y, float z) { return std::sqrt(x * x + y * y + z * z); };
    return {
        phantomGrid("phantom 40^3", 40, 40, 40),
        phantomGrid("phantom 37x29x23", 37, 29, 23),
        phantomGrid("phantom 48x44x40", 48, 44, 40),
        noiseGrid("noise 9x7x5", 9, 7, 5, 7),
        noiseGrid("one layer 16x16x1", 16, 16, 1, 3),
        noiseGrid("two rows 16x2x16", 16, 2, 16, 4),
        {"single voxel", 1, 1, 1, {3000}},
        {"empty 0x4x4", 0, 4, 4, {}},
        // A one-voxel shell of 2600 with a soft core of 1200.
        {"shell 24^3", 24, 24, 24,
         testing::samplesOf(24, 24, 24,
                            [&](int x, int y, int z) {
                                const float r = distance(x - 11.5f, y - 11.5f, z - 11.5f);
                                return std::fabs(r - 9.6f) < 0.6f ? 2600 : (r < 4.8f ? 1200 : 0);
                            })},
        // A dense wall round a faint core: long rays saturate and skip the samples left as inert.
        {"walled core 40x36x44", 40, 36, 44,
         testing::samplesOf(40, 36, 44,
                            [&](int x, int y, int z) {
                                const float r = distance(x - 20.0f, y - 18.0f, z - 22.0f);
                                return r > 17 ? 0
                                              : (r > 12 ? 3000 + 40 * ((x + 2 * y + 3 * z) % 5)
                                                        : 1100 + 30 * ((x * 7 + y * 3 + z) % 7));
                            })},
    };
}

struct Transfer {
    const char* name;
    std::vector<std::pair<int, int>> opacity;
};

const Transfer kTransfers[] = {
    {"opaque ramp", {{0, 255}, {4095, 255}}},
    {"semi-transparent", {{0, 0}, {999, 0}, {2500, 40}, {4095, 255}}},
    {"transparent", {{0, 0}, {4095, 0}}},
    {"steep", {{0, 0}, {1999, 0}, {2000, 255}, {4095, 255}}},
    {"thin band", {{0, 0}, {2599, 0}, {2600, 180}, {2601, 0}, {4095, 0}}},
    {"faint and dense", {{0, 0}, {999, 0}, {1000, 6}, {2999, 6}, {3000, 200}, {4095, 200}}},
    {"core only", {{0, 0}, {1099, 0}, {1100, 255}, {1300, 255}, {1301, 0}, {4095, 0}}},
};

const _Vector kOrientations[] = {
    MakeVector(0.0f, 0.0f, 0.0f),
    MakeVector(0.5f, 0.7f, 0.2f),
    MakeVector(0.0f, std::numbers::pi_v<float> / 2.0f, 0.0f),  // grazing the box faces
    MakeVector(0.001f, -0.0007f, 0.0f),                        // almost along an axis
    MakeVector(7.0f, -9.5f, 13.1f),                            // beyond a full turn
};

::testing::AssertionResult sameImage(const reference::Result& expected,
                                     const std::shared_ptr<const RgbaImage>& actual) {
    if (!expected.hasImage || !actual)
        return expected.hasImage == bool(actual)
                   ? ::testing::AssertionSuccess()
                   : ::testing::AssertionFailure() << "image present: " << bool(actual);
    if (actual->width != expected.image.width || actual->height != expected.image.height)
        return ::testing::AssertionFailure() << "size " << actual->width << "x" << actual->height;
    for (std::size_t i = 0; i < actual->pixels.size(); ++i)
        if (actual->pixels[i] != expected.image.pixels[i])
            return ::testing::AssertionFailure()
                   << "pixel " << i / 4 % actual->width << ", " << i / 4 / actual->width << " byte " << i % 4
                   << ": " << int(actual->pixels[i]) << " instead of " << int(expected.image.pixels[i]);
    return ::testing::AssertionSuccess();
}

// Every volume with every transfer function; for the ray casters every orientation, quality and
// shading, for the slices every axis and some depths; resolutions and thread counts rotate through
// the combinations.
TEST(Equivalence, RenderersMatchTheReferenceRenderers) {
    const int resolutions[] = {24, 17, 1, 0, 31, 8, 64}, threadCounts[] = {1, 2, 7};
    int variant = 0;
    for (const Grid& volume : volumes()) {
        testing::Scene s;
        s.load(volume.x, volume.y, volume.z, volume.samples);
        for (const Transfer& tf : kTransfers) {
            s.setOpacity(tf.opacity);
            s.setColor(1000, 200, 60, 40);
            s.setColor(2600, 240, 230, 140);
            auto check = [&](Renderer& r, const reference::Result& expected, const char* info,
                             const std::string& what) {
                const int threads = threadCounts[variant % 3];
                setThreadCount(threads);
                testing::NotificationLog log(s.center, {kUpdateProgressBar});
                ASSERT_TRUE(sameImage(expected, r.imageRef())) << what << ", " << threads << " threads";
                ASSERT_EQ(log.progress(info), expected.progress) << what << ", " << threads << " threads";
            };
            const std::string where = std::string(volume.name) + ", " + tf.name;
            for (const _Vector& o : kOrientations)
                for (int quality : {0, 1})
                    for (bool shading : {false, true})
                        // Opacity correction on for the MIP too, which ignores it.
                        for (const auto& [kind, mip, corrected] : {std::tuple("volume", false, false),
                                                                   {"volume corrected", false, true},
                                                                   {"MIP", true, true}}) {
                            const int res = resolutions[++variant % 7];
                            std::unique_ptr<Volume> r = mip ? std::make_unique<MIP>(s.data, s.fkt)
                                                            : std::make_unique<Volume>(s.data, s.fkt);
                            r->setMaxImageResolution(res);
                            r->setQuality(quality);
                            r->setDoShading(shading);
                            r->setOrientation(o);
                            r->setOpacityCorrection(corrected);
                            check(*r,
                                  reference::renderVolume(*s.data.volume(), s.fkt, res, quality, shading, o,
                                                          mip, corrected),
                                  "calculate volume",
                                  where + ", " + kind + " orientation " + std::to_string(o.x) + " " +
                                      std::to_string(o.y) + " " + std::to_string(o.z) + " resolution " +
                                      std::to_string(res) + " quality " + std::to_string(quality) +
                                      " shading " + std::to_string(shading));
                        }
            for (int axis : {0, 1, 2})
                for (float depth : {0.0f, 0.37f, 0.999f, 1.0f})
                    for (int res : {1, 7, 64, 0}) {
                        ++variant;
                        Slices r(s.data, s.fkt);
                        r.setMaxImageResolution(res);
                        r.setAxis(axis);
                        r.setDepth(depth);
                        check(r, reference::renderSlices(*s.data.volume(), s.fkt, res, axis, depth),
                              "calculate slice",
                              where + ", slices axis " + std::to_string(axis) + " depth " +
                                  std::to_string(depth) + " resolution " + std::to_string(res));
                    }
        }
    }
    setThreadCount(0);
}

}  // namespace
}  // namespace qz

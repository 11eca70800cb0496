// The production renderers against the reference renderers in tests/reference/, byte for byte and
// progress value for progress value, for thread counts 1, 2 and 7 and every instruction set the
// ray caster's kernel is compiled for that this processor has.
#include <hwy/targets.h>

#include <cmath>
#include <numbers>
#include <random>
#include <sstream>

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
    std::string name;
    int x, y, z;
    std::vector<std::uint16_t> samples;
    std::array<double, 3> spacing{1.0, 1.0, 1.0};
};

std::vector<Grid> volumes() {
    std::vector<Grid> grids;
    const int phantoms[] = {40, 40, 40, 37, 29, 23, 48, 44, 40};
    // Noise, also in one layer, two rows, one column, one sample across x, a single voxel, none.
    const int noise[] = {9, 7, 5, 16, 16, 1, 16, 2, 16, 1, 1, 7, 1, 6, 5, 1, 1, 1, 0, 4, 4};
    std::mt19937 random(7);
    for (const int* d = phantoms; d != std::end(phantoms); d += 3) {
        grids.push_back(
            {"phantom", d[0], d[1], d[2], std::vector<std::uint16_t>(std::size_t(d[0]) * d[1] * d[2])});
        phantom::generateSlices(d[0], d[1], d[2], 1, 0, d[2], grids.back().samples.data());
    }
    for (const int* d = noise; d != std::end(noise); d += 3)
        grids.push_back({"noise", d[0], d[1], d[2], testing::samplesOf(d[0], d[1], d[2], [&](int, int, int) {
                             return int(random() % kMaxDensity);
                         })});
    // Uneven spacing: the renderers scale physical extents and the gradients follow.
    grids.push_back({"phantom, 0.5 x 0.5 x 1.25 mm",
                     40,
                     36,
                     18,
                     std::vector<std::uint16_t>(40 * 36 * 18),
                     {0.5, 0.5, 1.25}});
    phantom::generateSlices(40, 36, 18, 1, 0, 18, grids.back().samples.data());
    grids.push_back(grids[3]);  // the 9 x 7 x 5 noise
    grids.back().spacing = {3.0, 1.0, 0.7};
    auto distance = [](float x, float y, float z) { return std::sqrt(x * x + y * y + z * z); };
    // A one-voxel shell of 2600 with a soft core of 1200.
    grids.push_back({"shell", 24, 24, 24, testing::samplesOf(24, 24, 24, [&](int x, int y, int z) {
                         const float r = distance(x - 11.5f, y - 11.5f, z - 11.5f);
                         return std::fabs(r - 9.6f) < 0.6f ? 2600 : (r < 4.8f ? 1200 : 0);
                     })});
    // Like a real scan: faint noisy tissue everywhere, denser inside and in a noisy shell.
    grids.push_back({"noisy tissue", 36, 33, 30, testing::samplesOf(36, 33, 30, [&](int x, int y, int z) {
                         const float r = distance((x - 17.5f) / 17, (y - 16.0f) / 15, (z - 14.5f) / 13);
                         const int noise = int(random() % 400);
                         return r > 1.0f ? 700 + noise : (r > 0.8f ? 2400 + 2 * noise : 1300 + 3 * noise);
                     })});
    // A dense wall round a faint core: long rays saturate and skip the samples left as inert.
    grids.push_back({"walled core", 40, 36, 44, testing::samplesOf(40, 36, 44, [&](int x, int y, int z) {
                         const float r = distance(x - 20.0f, y - 18.0f, z - 22.0f);
                         return r > 17 ? 0
                                       : (r > 12 ? 3000 + 40 * ((x + 2 * y + 3 * z) % 5)
                                                 : 1100 + 30 * ((x * 7 + y * 3 + z) % 7));
                     })});
    return grids;
}

const std::pair<const char*, std::vector<std::pair<int, int>>> kTransfers[] = {
    {"opaque ramp", {{0, 255}, {4095, 255}}},
    {"semi-transparent", {{0, 0}, {999, 0}, {2500, 40}, {4095, 255}}},
    {"transparent", {{0, 0}, {4095, 0}}},
    {"steep", {{0, 0}, {1999, 0}, {2000, 255}, {4095, 255}}},
    {"thin band", {{0, 0}, {2599, 0}, {2600, 180}, {2601, 0}, {4095, 0}}},
    {"faint and dense", {{0, 0}, {999, 0}, {1000, 6}, {2999, 6}, {3000, 200}, {4095, 200}}},
    {"core only", {{0, 0}, {1099, 0}, {1100, 255}, {1300, 255}, {1301, 0}, {4095, 0}}},
};

// Front, oblique, grazing the box faces, almost along an axis, beyond a full turn.
const float kOrientations[] = {0, 0,      0,        0.5f, 0.7f, 0.2f,  0,    std::numbers::pi_v<float> / 2,
                               0, 0.001f, -0.0007f, 0,    7.0f, -9.5f, 13.1f};

template <class... Parts>
std::string describe(const Parts&... parts) {
    std::ostringstream out;
    ((out << parts << " "), ...);
    return out.str();
}

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
    std::vector<std::int64_t> targets;
    for (std::int64_t target : {HWY_AVX3, HWY_AVX2, HWY_SSE4, HWY_SCALAR})
        if (hwy::SupportedTargets() & target)
            targets.push_back(target);
    int variant = 0;
    for (const Grid& volume : volumes()) {
        testing::Scene s;
        s.load(volume.x, volume.y, volume.z, volume.samples, volume.spacing);
        for (const auto& [tf, opacity] : kTransfers) {
            s.setOpacity(opacity);
            s.setColor(1000, 200, 60, 40);
            s.setColor(2600, 240, 230, 140);
            auto check = [&](Renderer& r, const reference::Result& expected, const char* info,
                             const std::string& what) {
                const int threads = threadCounts[variant % 3];
                const std::int64_t target = targets[variant % targets.size()];
                setThreadCount(threads);
                hwy::SetSupportedTargetsForTest(target);
                testing::NotificationLog log(s.center, {kUpdateProgressBar});
                const std::string where =
                    describe(volume.name, volume.x, volume.y, volume.z, tf, what, threads) + " threads, " +
                    hwy::TargetName(target);
                ASSERT_TRUE(sameImage(expected, r.imageRef())) << where;
                ASSERT_EQ(log.progress(info), expected.progress) << where;
            };
            for (const float* v = kOrientations; v != std::end(kOrientations); v += 3)
                for (int quality : {0, 1})
                    for (bool shading : {false, true})
                        // Opacity correction on for the MIP too, which ignores it.
                        for (const auto& [kind, mip, corrected] : {std::tuple("volume", false, false),
                                                                   {"volume corrected", false, true},
                                                                   {"MIP", true, true}}) {
                            const int res = resolutions[++variant % 7];
                            const _Vector o = MakeVector(v[0], v[1], v[2]);
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
                                  describe(kind, "orientation", o.x, o.y, o.z, "quality", quality, "shading",
                                           shading, "resolution", res));
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
                              describe("slices axis", axis, "depth", depth, "resolution", res));
                    }
        }
    }
    setThreadCount(0);
    hwy::SetSupportedTargetsForTest(0);
}

}  // namespace
}  // namespace qz

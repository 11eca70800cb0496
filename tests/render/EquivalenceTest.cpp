// The production renderers against the plain reference renderers, byte for byte and progress
// value for progress value, over volumes, transfer functions, orientations, resolutions, both
// qualities, shading on and off, and several thread counts.

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

#include "platform/Threads.h"
#include "reference/ReferenceRenderers.h"
#include "render/MIP.h"
#include "render/Slices.h"
#include "render/Volume.h"
#include "tests/render/RenderTestSupport.h"
#include "tools/phantom.h"

namespace qz {
namespace {

using test::Grid;
using test::ProgressLog;
using test::World;

Grid phantomGrid(int x, int y, int z) {
    Grid g(x, y, z);
    phantom::generateSlices(x, y, z, 1, 0, z, g.v.data());
    return g;
}

Grid noiseGrid(int x, int y, int z, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> density(0, kMaxDensity - 1);
    return Grid::from(x, y, z, [&](int, int, int) { return density(random); });
}

// A one-voxel spherical shell of density 2600 in air, with a soft core of 1200.
Grid shellGrid(int n) {
    return Grid::from(n, n, n, [n](int x, int y, int z) {
        const float c = 0.5f * float(n - 1);
        const float r = std::sqrt((x - c) * (x - c) + (y - c) * (y - c) + (z - c) * (z - c));
        const float radius = 0.4f * float(n);
        if (std::fabs(r - radius) < 0.6f)
            return 2600;
        return r < 0.5f * radius ? 1200 : 0;
    });
}

struct NamedGrid {
    const char* name;
    Grid grid;
};

std::vector<NamedGrid> volumes() {
    return {
        {"phantom 40^3", phantomGrid(40, 40, 40)},      {"phantom 37x29x23", phantomGrid(37, 29, 23)},
        {"noise 9x7x5", noiseGrid(9, 7, 5, 7)},         {"shell 24^3", shellGrid(24)},
        {"one layer 16x16x1", noiseGrid(16, 16, 1, 3)}, {"two rows 16x2x16", noiseGrid(16, 2, 16, 4)},
        {"single voxel", Grid(1, 1, 1, 3000)},
    };
}

struct TransferCase {
    const char* name;
    std::vector<std::pair<int, int>> opacity;
};

const std::vector<TransferCase>& transferFunctions() {
    static const std::vector<TransferCase> cases = {
        {"opaque ramp", {{0, 255}, {kMaxDensity - 1, 255}}},
        {"semi-transparent", {{0, 0}, {999, 0}, {2500, 40}, {kMaxDensity - 1, 255}}},
        {"transparent", {{0, 0}, {kMaxDensity - 1, 0}}},
        {"steep", {{0, 0}, {1999, 0}, {2000, 255}, {kMaxDensity - 1, 255}}},
        {"thin band", {{0, 0}, {2599, 0}, {2600, 180}, {2601, 0}, {kMaxDensity - 1, 0}}},
    };
    return cases;
}

void applyTransfer(World& w, const TransferCase& tf) {
    w.setOpacity(tf.opacity);
    w.setColor(1000, 200, 60, 40);
    w.setColor(2600, 240, 230, 140);
}

const std::vector<_Vector>& orientations() {
    static const std::vector<_Vector> cases = {
        MakeVector(0.0f, 0.0f, 0.0f),
        MakeVector(0.5f, 0.7f, 0.2f),
        MakeVector(0.0f, std::numbers::pi_v<float> / 2.0f, 0.0f),  // grazing the box faces
        MakeVector(0.001f, -0.0007f, 0.0f),                        // almost along an axis
        MakeVector(7.0f, -9.5f, 13.1f),                            // beyond a full turn
    };
    return cases;
}

std::string describe(const char* volume, const char* tf, _Vector o, int res, int quality, bool shading,
                     int threads) {
    return std::string(volume) + ", " + tf + ", orientation (" + std::to_string(o.x) + ", " +
           std::to_string(o.y) + ", " + std::to_string(o.z) + "), resolution " + std::to_string(res) +
           ", quality " + std::to_string(quality) + (shading ? ", shaded" : ", unshaded") + ", " +
           std::to_string(threads) + " threads";
}

// Compares the production image with the reference; stops at the first differing byte.
::testing::AssertionResult sameImage(const reference::Result& expected,
                                     const std::shared_ptr<const RgbaImage>& actual) {
    if (!expected.hasImage) {
        if (actual)
            return ::testing::AssertionFailure() << "an image where none was expected";
        return ::testing::AssertionSuccess();
    }
    if (!actual)
        return ::testing::AssertionFailure() << "no image";
    if (actual->width != expected.image.width || actual->height != expected.image.height) {
        return ::testing::AssertionFailure()
               << "size " << actual->width << "x" << actual->height << " instead of " << expected.image.width
               << "x" << expected.image.height;
    }
    for (std::size_t i = 0; i < actual->pixels.size(); ++i) {
        if (actual->pixels[i] != expected.image.pixels[i]) {
            const std::size_t p = i / 4;
            return ::testing::AssertionFailure()
                   << "pixel (" << p % actual->width << ", " << p / actual->width << ") byte " << i % 4
                   << ": " << int(actual->pixels[i]) << " instead of " << int(expected.image.pixels[i]);
        }
    }
    return ::testing::AssertionSuccess();
}

class Equivalence : public ::testing::Test {
  protected:
    void TearDown() override { setThreadCount(0); }
};

TEST_F(Equivalence, RayCastersMatchTheReference) {
    const int resolutions[] = {24, 17, 1, 0, 31, 8};
    const int threadCounts[] = {1, 2, 7};
    int variant = 0;
    for (const NamedGrid& volume : volumes()) {
        World w;
        w.load(volume.grid);
        for (const TransferCase& tf : transferFunctions()) {
            applyTransfer(w, tf);
            for (const _Vector& o : orientations()) {
                for (int quality = 0; quality < 2; ++quality) {
                    for (int shading = 0; shading < 2; ++shading) {
                        ++variant;
                        const int res = resolutions[variant % 6];
                        const int threads = threadCounts[variant % 3];
                        setThreadCount(threads);
                        for (bool mip : {false, true}) {
                            const auto expected = reference::renderVolume(*w.data.volume(), w.fkt, res,
                                                                          quality, shading, o, mip);
                            std::unique_ptr<Volume> r = mip ? std::make_unique<MIP>(w.data, w.fkt)
                                                            : std::make_unique<Volume>(w.data, w.fkt);
                            r->setMaxImageResolution(res);
                            r->setQuality(quality);
                            r->setDoShading(shading);
                            r->setOrientation(o);
                            ProgressLog log(w.center, "calculate volume");
                            const auto image = r->imageRef();
                            const std::string what =
                                std::string(mip ? "MIP: " : "Volume: ") +
                                describe(volume.name, tf.name, o, res, quality, shading, threads);
                            ASSERT_TRUE(sameImage(expected, image)) << what;
                            ASSERT_EQ(log.values(), expected.progress) << what;
                        }
                    }
                }
            }
        }
    }
}

TEST_F(Equivalence, LargerRendersMatchOnEveryThreadCount) {
    World w;
    w.load(phantomGrid(48, 44, 40));
    applyTransfer(w, transferFunctions()[1]);
    for (const _Vector& o : {orientations()[0], orientations()[1]}) {
        const auto expected = reference::renderVolume(*w.data.volume(), w.fkt, 64, 1, true, o, false);
        for (int threads : {1, 2, 7}) {
            setThreadCount(threads);
            Volume v(w.data, w.fkt);
            v.setMaxImageResolution(64);
            v.setDoShading(true);
            v.setOrientation(o);
            ASSERT_TRUE(sameImage(expected, v.imageRef())) << threads << " threads";
        }
    }
}

// Long rays through a dense wall and a faint interior: the accumulators saturate, so most later
// samples are left out as inert; MIP windows its maximum.
TEST_F(Equivalence, SaturatedRaysMatchTheReference) {
    World w;
    w.load(Grid::from(40, 36, 44, [](int x, int y, int z) {
        const int r2 = (x - 20) * (x - 20) + (y - 18) * (y - 18) + (z - 22) * (z - 22);
        if (r2 > 17 * 17)
            return 0;
        if (r2 > 12 * 12)
            return 3000 + 40 * ((x + 2 * y + 3 * z) % 5);  // wall
        return 1100 + 30 * ((x * 7 + y * 3 + z) % 7);      // faint core
    }));
    const std::vector<std::vector<std::pair<int, int>>> opacities = {
        {{0, 0}, {999, 0}, {2500, 40}, {kMaxDensity - 1, 255}},  // wall alpha about 100
        {{0, 0}, {999, 0}, {1000, 6}, {2999, 6}, {3000, 200}, {kMaxDensity - 1, 200}},
        {{0, 0}, {1099, 0}, {1100, 255}, {1300, 255}, {1301, 0}, {kMaxDensity - 1, 0}},  // core only
    };
    int variant = 0;
    for (const auto& opacity : opacities) {
        w.setOpacity(opacity);
        w.setColor(1100, 90, 200, 120);
        for (const _Vector& o : {orientations()[0], orientations()[1], orientations()[3]}) {
            const int threads = 1 + 3 * (variant++ % 3);
            setThreadCount(threads);
            for (bool mip : {false, true}) {
                for (int quality : {0, 1}) {
                    const auto expected =
                        reference::renderVolume(*w.data.volume(), w.fkt, 64, quality, true, o, mip);
                    std::unique_ptr<Volume> r =
                        mip ? std::make_unique<MIP>(w.data, w.fkt) : std::make_unique<Volume>(w.data, w.fkt);
                    r->setMaxImageResolution(64);
                    r->setQuality(quality);
                    r->setDoShading(true);
                    r->setOrientation(o);
                    ASSERT_TRUE(sameImage(expected, r->imageRef()))
                        << (mip ? "MIP " : "Volume ")
                        << describe("saturating shell", "case", o, 64, quality, true, threads) << " opacity "
                        << variant;
                }
            }
        }
    }
}

TEST_F(Equivalence, SlicesMatchTheReference) {
    const int threadCounts[] = {1, 2, 7};
    int variant = 0;
    for (const NamedGrid& volume : volumes()) {
        World w;
        w.load(volume.grid);
        for (const TransferCase& tf : {transferFunctions()[0], transferFunctions()[1]}) {
            applyTransfer(w, tf);
            for (int axis : {0, 1, 2}) {
                for (float depth : {0.0f, 0.37f, 0.999f, 1.0f}) {
                    for (int res : {1, 7, 64, 0}) {
                        const int threads = threadCounts[++variant % 3];
                        setThreadCount(threads);
                        const auto expected =
                            reference::renderSlices(*w.data.volume(), w.fkt, res, axis, depth);
                        Slices s(w.data, w.fkt);
                        s.setMaxImageResolution(res);
                        s.setAxis(axis);
                        s.setDepth(depth);
                        ProgressLog log(w.center, "calculate slice");
                        const auto image = s.imageRef();
                        const std::string what = std::string(volume.name) + ", " + tf.name + ", axis " +
                                                 std::to_string(axis) + ", depth " + std::to_string(depth) +
                                                 ", resolution " + std::to_string(res) + ", " +
                                                 std::to_string(threads) + " threads";
                        ASSERT_TRUE(sameImage(expected, image)) << what;
                        ASSERT_EQ(log.values(), expected.progress) << what;
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace qz

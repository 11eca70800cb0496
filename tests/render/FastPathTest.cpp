// The building blocks of the fast renderers against the operations they stand in for: the
// inline lookups against the volume's own, the specular power against pow, the accumulators
// against the reference hooks.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <thread>

#include "reference/ReferenceRenderers.h"
#include "render/RayCaster.h"
#include "render/Sampling.h"
#include "render/Shading.h"
#include "render/Stepping.h"
#include "tests/render/RenderTestSupport.h"
#include "tools/phantom.h"

namespace qz {
namespace {

using test::Grid;
using test::World;

// Relative coordinates worth trying: inside, on the ends, just beyond, far off and broken.
float oddCoordinate(std::mt19937& random) {
    static const float special[] = {0.0f,
                                    1.0f,
                                    -0.0f,
                                    0.5f,
                                    1.0f - 0x1p-24f,
                                    0x1p-149f,
                                    -1e-7f,
                                    1.0000001f,
                                    -3.0f,
                                    7.5f,
                                    std::numeric_limits<float>::infinity(),
                                    -std::numeric_limits<float>::infinity(),
                                    std::numeric_limits<float>::quiet_NaN()};
    if (random() % 4 == 0)
        return special[random() % std::size(special)];
    return std::uniform_real_distribution<float>(0.0f, 1.0f)(random);
}

TEST(FastPath, InlineLookupsMatchTheVolumesOwn) {
    std::mt19937 random(11);
    for (const auto& [x, y, z] :
         std::vector<std::array<int, 3>>{{5, 4, 3}, {1, 6, 2}, {7, 1, 1}, {2, 2, 2}}) {
        World w;
        std::uniform_int_distribution<int> density(0, kMaxDensity - 1);
        w.load(Grid::from(x, y, z, [&](int, int, int) { return density(random); }));
        const VolumeData& v = *w.data.volume();
        const sampling::CellReader reader(v);
        for (int i = 0; i < 20000; ++i) {
            const float rx = oddCoordinate(random), ry = oddCoordinate(random), rz = oddCoordinate(random);
            const auto cx = sampling::axisCell(rx, x), cy = sampling::axisCell(ry, y),
                       cz = sampling::axisCell(rz, z);
            const auto corners = reader.corners(cx, cy, cz);
            ASSERT_EQ(reader.density(corners, cx.fraction, cy.fraction, cz.fraction),
                      v.getDensityForRelative(rx, ry, rz))
                << rx << " " << ry << " " << rz;
            const _Vector a = reader.gradient(corners, cx.fraction, cy.fraction, cz.fraction);
            const _Vector b = v.getGradientForRelative(rx, ry, rz);
            // Bit patterns, so that NaN and signed zeros count too.
            ASSERT_EQ(std::bit_cast<std::uint32_t>(a.x), std::bit_cast<std::uint32_t>(b.x));
            ASSERT_EQ(std::bit_cast<std::uint32_t>(a.y), std::bit_cast<std::uint32_t>(b.y));
            ASSERT_EQ(std::bit_cast<std::uint32_t>(a.z), std::bit_cast<std::uint32_t>(b.z));
        }
    }
}

TEST(FastPath, CellCacheMatchesTheVolumesLookupsAlongRays) {
    std::mt19937 random(17);
    World w;
    std::uniform_int_distribution<int> density(0, kMaxDensity - 1);
    w.load(Grid::from(6, 5, 7, [&](int, int, int) { return density(random); }));
    const VolumeData& v = *w.data.volume();
    const sampling::CellReader reader(v);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f), slope(-0.05f, 0.05f);
    for (int ray = 0; ray < 3000; ++ray) {
        // Short rays with small steps, some parallel to z: cells and x, y fractions repeat.
        sampling::CellCache cache(reader);
        float r[3] = {unit(random), unit(random), unit(random)};
        const bool alongZ = ray % 2 == 0;
        const float step[3] = {alongZ ? 0.0f : slope(random), alongZ ? 0.0f : slope(random), slope(random)};
        for (int k = 0; k < 40; ++k) {
            const auto cx = sampling::axisCell(r[0], 6), cy = sampling::axisCell(r[1], 5),
                       cz = sampling::axisCell(r[2], 7);
            cache.moveTo(reader.corners(cx, cy, cz));
            const int d = cache.density(cx.fraction, cy.fraction, cz.fraction);
            ASSERT_EQ(d, v.getDensityForRelative(r[0], r[1], r[2]));
            ASSERT_GE(d, cache.lowest());
            ASSERT_LE(d, cache.highest());
            const _Vector a = cache.gradient(cx.fraction, cy.fraction, cz.fraction);
            const _Vector b = v.getGradientForRelative(r[0], r[1], r[2]);
            ASSERT_EQ(std::bit_cast<std::uint32_t>(a.x), std::bit_cast<std::uint32_t>(b.x));
            ASSERT_EQ(std::bit_cast<std::uint32_t>(a.y), std::bit_cast<std::uint32_t>(b.y));
            ASSERT_EQ(std::bit_cast<std::uint32_t>(a.z), std::bit_cast<std::uint32_t>(b.z));
            for (int i = 0; i < 3; ++i)
                r[i] = std::clamp(r[i] + step[i], 0.0f, 1.0f);
        }
    }
}

// A float of random sign and mantissa with a binary exponent in lo .. hi.
float randomFloat(std::mt19937_64& random, int lo, int hi) {
    const int e = lo + int(random() % unsigned(hi - lo + 1));
    const float v = std::ldexp(1.0f + float(random() % (1u << 23)) / float(1u << 23), e);
    return random() % 2 ? -v : v;
}

TEST(FastPath, StepAheadEqualsRepeatedAdditions) {
    std::mt19937_64 random(23);
    std::uint64_t cases = 0;
    for (int i = 0; i < 100000; ++i) {
        float p, d;
        switch (i % 5) {
            case 0:  // positions and steps of a ray caster
                p = float(int(random() % 4096) - 2048) + randomFloat(random, -3, -1);
                d = randomFloat(random, -8, 0);
                break;
            case 1: {  // steps of exactly half a unit of p's binade: ties to even
                p = randomFloat(random, 0, 10);
                const float unit = std::ldexp(1.0f, std::ilogb(p) - 23);
                d = (float(random() % 64) + 0.5f) * unit * (random() % 2 ? 1.0f : -1.0f);
                break;
            }
            case 2:  // crossing zero
                p = randomFloat(random, -2, 4);
                d = -p / float(1 + random() % 40);
                break;
            case 3:  // steps too small to move p, and huge ones
                p = randomFloat(random, -20, 20);
                d = randomFloat(random, -60, 30);
                break;
            default:  // zero, signed zero, non-finite
                p = (random() % 2) ? 0.0f : -0.0f;
                d = random() % 3 == 0 ? std::numeric_limits<float>::infinity() : randomFloat(random, -6, 2);
                break;
        }
        const std::int64_t n = 1 + std::int64_t(random() % 3000);
        float literal = p;
        for (std::int64_t k = 0; k < n; ++k)
            literal += d;
        const float fast = stepAhead(p, d, n);
        ASSERT_TRUE(std::bit_cast<std::uint32_t>(literal) == std::bit_cast<std::uint32_t>(fast) ||
                    (std::isnan(literal) && std::isnan(fast)))
            << std::hexfloat << "p " << p << " d " << d << " n " << n << ": " << literal << " vs " << fast;
        ++cases;
    }
    EXPECT_EQ(cases, 100000u);
}

TEST(FastPath, InlineTrilinearMatchesTheVolumes) {
    std::mt19937 random(5);
    std::uniform_real_distribution<float> fraction(-0.25f, 1.25f), value(-2.0f, 4095.0f);
    for (int i = 0; i < 200000; ++i) {
        float s[8];
        for (float& v : s)
            v = value(random);
        const float x = fraction(random), y = fraction(random), z = fraction(random);
        ASSERT_EQ(std::bit_cast<std::uint32_t>(
                      sampling::trilinear(x, y, z, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7])),
                  std::bit_cast<std::uint32_t>(
                      VolumeData::trilinear(x, y, z, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7])));
    }
}

bool samePower(float x) {
    const float fast = powerOf128(x);
    const float slow = static_cast<float>(std::pow(static_cast<double>(x), 128.0));
    return std::bit_cast<std::uint32_t>(fast) == std::bit_cast<std::uint32_t>(slow) ||
           (std::isnan(fast) && std::isnan(slow));
}

// Every float from lo to hi (bit patterns, inclusive), split over the hardware threads.
std::uint64_t mismatchesBetween(std::uint32_t lo, std::uint32_t hi, std::uint32_t stride) {
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::uint64_t> counts(threads, 0);
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (std::uint64_t bits = std::uint64_t(lo) + std::uint64_t(t) * stride; bits <= hi;
                 bits += std::uint64_t(threads) * stride) {
                if (!samePower(std::bit_cast<float>(std::uint32_t(bits))))
                    ++counts[t];
            }
        });
    }
    for (auto& w : workers)
        w.join();
    std::uint64_t total = 0;
    for (auto c : counts)
        total += c;
    return total;
}

TEST(PowerOf128, AgreesWithPowAroundItsBranches) {
    // The whole neighbourhood of the thresholds 0.44, 1 and 1.9, both signs, and a sparse sweep of
    // everything else. The exhaustive run over all 2^32 floats is PowerOf128.DISABLED_AllFloats.
    for (float centre : {0.44f, 0.5f, 1.0f, 1.9f}) {
        for (float sign : {1.0f, -1.0f}) {
            const std::uint32_t bits = std::bit_cast<std::uint32_t>(sign * centre);
            EXPECT_EQ(mismatchesBetween(bits - 20000, bits + 20000, 1), 0u) << sign * centre;
        }
    }
    EXPECT_EQ(mismatchesBetween(0, 0xffffffffu, 9973), 0u);
    EXPECT_TRUE(samePower(std::numeric_limits<float>::quiet_NaN()));
    EXPECT_TRUE(samePower(std::numeric_limits<float>::infinity()));
}

TEST(PowerOf128, DISABLED_AllFloats) {
    EXPECT_EQ(mismatchesBetween(0, 0xffffffffu, 1), 0u);
}

TEST(FastPath, AccumulatorsFollowTheReferenceHooks) {
    std::mt19937 random(3);
    std::uniform_int_distribution<int> byte(0, 255), density(0, kMaxDensity - 1);
    for (int ray = 0; ray < 2000; ++ray) {
        CompositeRay composite;
        MaximumRay maximum;
        composite.resetRay();
        maximum.resetRay();
        reference::RayState literal{}, literalMip{};
        reference::resetRay(literal, false);
        reference::resetRay(literalMip, true);
        const int bright = byte(random);
        for (int sample = 0; sample < 300; ++sample) {
            std::uint8_t rgba[4] = {std::uint8_t(byte(random)), std::uint8_t(byte(random)),
                                    std::uint8_t(byte(random) % (bright + 1)),
                                    std::uint8_t(byte(random) % 140)};
            const int d = density(random);
            const float a = float(rgba[3] / 255.0);
            // A sample the accumulator calls inert must leave the reference unchanged too.
            const bool inert = composite.leavesUnchanged(a);
            const reference::RayState before = literal;
            composite.updateRayWithRGBA(rgba, a, d);
            maximum.updateRayWithRGBA(rgba, a, d);
            reference::updateRayWithRGBA(literal, rgba, d, false);
            reference::updateRayWithRGBA(literalMip, rgba, d, true);
            for (int c = 0; c < 4; ++c) {
                ASSERT_EQ(composite.color[c], literal.color[c]);
                ASSERT_EQ(maximum.color[c], literalMip.color[c]);
                if (inert) {
                    ASSERT_EQ(before.color[c], literal.color[c]);
                }
            }
            ASSERT_EQ(maximum.maxDensity, literalMip.maxDensity);
        }
    }
}

TEST(FastPath, BlockWalkCoversEverySampleTheLoopTakes) {
    // Every inside sample of the literal float stepping must fall in a block (with its apron)
    // that the walk reports for that step: the walk may only skip what it has vouched for.
    std::mt19937 random(31);
    std::uniform_real_distribution<float> angle(-7.0f, 7.0f);
    for (const auto& [x, y, z, res] : std::vector<std::array<int, 4>>{
             {40, 33, 21, 64}, {17, 50, 9, 31}, {64, 64, 64, 24}, {9, 9, 70, 100}, {30, 2, 30, 47}}) {
        World w;
        w.load(Grid(x, y, z, 1));
        const auto volume = w.data.volume();
        const ColorTable table = w.fkt.table();
        for (int shift = 2; shift <= 5; ++shift) {
            emptyspace::OpacityCache cache;
            cache.update(volume, shift, table);
            RayCastSettings settings;
            settings.maxImageResolution = res;
            settings.areaRadius = int(float(res) * 0.5f + 0.5f);
            for (int trial = 0; trial < 3; ++trial) {
                settings.orientation = trial == 0 ? MakeVector(0, 0, 0)
                                                  : MakeVector(angle(random), angle(random), angle(random));
                const raycast::Frame f(*volume, table.data(), settings, *cache.grid, cache.blockAlpha.data(),
                                       *cache.index);
                ASSERT_TRUE(f.skipping);
                const int size = 1 << shift;
                for (int py = -f.areaRadius; py < f.areaRadius; py += 3) {
                    for (int px = -f.areaRadius; px < f.areaRadius; px += 3) {
                        float p[3], d[3];
                        f.startRay(px, py, p, d);
                        // Blocks the walk assigns to each step.
                        std::vector<std::array<int, 3>> blockAt(f.size, {-1, -1, -1});
                        raycast::BlockWalk walk;
                        if (walk.start(f, p, d)) {
                            do {
                                for (std::int64_t k = std::max<std::int64_t>(0, walk.first());
                                     k <= std::min<std::int64_t>(f.size - 1, walk.last()); ++k) {
                                    blockAt[k] = {walk.block(0), walk.block(1), walk.block(2)};
                                }
                            } while (walk.next());
                        }
                        for (int k = 0; k < f.size; ++k) {
                            if (f.inside(p)) {
                                ASSERT_GE(blockAt[k][0], 0) << "step " << k << " inside but not walked";
                                for (int a = 0; a < 3; ++a) {
                                    const float q = p[a] / f.extF[a];
                                    const auto cell = sampling::axisCell(q, f.dim[a]);
                                    const int nearest = int(q * f.dimM1[a]);
                                    const int lo = blockAt[k][a] * size - 1,
                                              hi = blockAt[k][a] * size + size + 1;
                                    ASSERT_GE(std::min(cell.lower, nearest), lo)
                                        << "axis " << a << " step " << k;
                                    ASSERT_LE(std::max(cell.upper, nearest), hi)
                                        << "axis " << a << " step " << k;
                                }
                            }
                            for (int a = 0; a < 3; ++a)
                                p[a] += d[a];
                        }
                    }
                }
            }
        }
    }
}

TEST(FastPath, BlockWalkAndPlainLoopGiveTheSamePixels) {
    // Very large images fall back to the plain loop; both paths must agree everywhere.
    World w;
    Grid g(30, 26, 34);
    phantom::generateSlices(30, 26, 34, 5, 0, 34, g.v.data());
    w.load(g);
    w.setOpacity({{0, 0}, {999, 0}, {2500, 40}, {kMaxDensity - 1, 255}});
    const auto volume = w.data.volume();
    const ColorTable table = w.fkt.table();
    emptyspace::OpacityCache cache;
    cache.update(volume, 2, table);
    for (const _Vector& o :
         {MakeVector(0, 0, 0), MakeVector(0.5f, 0.7f, 0.2f), MakeVector(-2.0f, 0.1f, 4.0f)}) {
        RayCastSettings settings;
        settings.maxImageResolution = 40;
        settings.areaRadius = 20;
        settings.doShading = true;
        settings.orientation = o;
        settings.shading = reference::shadingFor(o);
        raycast::Frame walking(*volume, table.data(), settings, *cache.grid, cache.blockAlpha.data(),
                               *cache.index);
        raycast::Frame plain(*volume, table.data(), settings, *cache.grid, cache.blockAlpha.data(),
                             *cache.index);
        plain.skipping = false;
        for (int y = -20; y < 20; ++y) {
            for (int x = -20; x < 20; ++x) {
                std::uint8_t a[4], b[4], c[4], d[4];
                raycast::castPixel<false, true, CompositeRay>(walking, x, y, a);
                raycast::castPixel<false, true, CompositeRay>(plain, x, y, b);
                raycast::castPixel<true, false, MaximumRay>(walking, x, y, c);
                raycast::castPixel<true, false, MaximumRay>(plain, x, y, d);
                ASSERT_EQ(std::memcmp(a, b, 4), 0) << x << " " << y;
                ASSERT_EQ(std::memcmp(c, d, 4), 0) << x << " " << y;
            }
        }
    }
}

TEST(FastPath, InertSamplesLeaveTheAccumulatorAlone) {
    // Saturate accumulators with random samples; at every stage, any sample with an alpha up to
    // the inert threshold, in any colour, must leave all four accumulators bit for bit as they are.
    std::mt19937 random(29);
    std::uniform_int_distribution<int> byte(0, 255);
    float opacityOf[256];
    for (int a = 0; a < 256; ++a)
        opacityOf[a] = float(a / 255.0);
    int saturated = 0;
    for (int ray = 0; ray < 300; ++ray) {
        CompositeRay acc;
        acc.resetRay();
        const int heavy = 20 + byte(random) % 200;
        for (int sample = 0; sample < 400 && !acc.finished(); ++sample) {
            const std::uint8_t rgba[4] = {std::uint8_t(byte(random)), std::uint8_t(byte(random)),
                                          std::uint8_t(byte(random)), std::uint8_t(byte(random) % heavy)};
            acc.updateRayWithRGBA(rgba, opacityOf[rgba[3]], 0);
            acc.updateInertAlpha(opacityOf);
            if (acc.inertAlpha == 0)
                continue;
            ++saturated;
            for (int probe = 0; probe < 20; ++probe) {
                CompositeRay copy = acc;
                const std::uint8_t faint[4] = {std::uint8_t(byte(random)), std::uint8_t(byte(random)), 255,
                                               std::uint8_t(byte(random) % (acc.inertAlpha + 1))};
                copy.updateRayWithRGBA(faint, opacityOf[faint[3]], 0);
                for (int c = 0; c < 4; ++c)
                    ASSERT_EQ(copy.color[c], acc.color[c]) << int(faint[3]);
            }
            // And the threshold is the largest such alpha for a white sample.
            if (acc.inertAlpha < 255) {
                CompositeRay copy = acc;
                const std::uint8_t white[4] = {255, 255, 255, std::uint8_t(acc.inertAlpha + 1)};
                copy.updateRayWithRGBA(white, opacityOf[white[3]], 0);
                bool changed = false;
                for (int c = 0; c < 4; ++c)
                    changed = changed || copy.color[c] != acc.color[c];
                ASSERT_TRUE(changed);
            }
        }
    }
    EXPECT_GT(saturated, 1000);
}

}  // namespace
}  // namespace qz

// The fast renderers' building blocks against what they stand in for: inline lookups against the
// volume's own, stepAhead against repeated addition, the specular power against pow, the
// accumulators against the reference renderer's, the block walk against stepping every sample.
#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <thread>

#include "reference/ReferenceRenderers.h"
#include "render/RayCaster.h"
#include "support/Scene.h"
#include "tools/phantom.h"

namespace qz {
namespace {

bool sameBits(float a, float b) {
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b) ||
           (std::isnan(a) && std::isnan(b));
}

bool sameBits(_Vector a, _Vector b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Relative coordinates inside, on the ends, just beyond, far off and broken; rays of small steps.
TEST(FastPath, InlineLookupsMatchTheVolumesOwn) {
    const float special[] = {0.0f,
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
    std::mt19937 random(11);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f), slope(-0.05f, 0.05f);
    auto odd = [&] { return random() % 4 == 0 ? special[random() % std::size(special)] : unit(random); };
    for (const auto& [x, y, z] :
         std::vector<std::array<int, 3>>{{5, 4, 3}, {1, 6, 2}, {7, 1, 1}, {6, 5, 7}}) {
        testing::Scene s;
        s.load(x, y, z,
               testing::samplesOf(x, y, z, [&](int, int, int) { return int(random() % kMaxDensity); }));
        const VolumeData& v = *s.data.volume();
        const sampling::CellReader reader(v);
        for (int ray = 0; ray < 1000; ++ray) {
            // Every other ray parallel to z, so that cells and x, y fractions repeat in the cache.
            sampling::CellCache cache(reader);
            float r[3] = {odd(), odd(), odd()};
            const float step[3] = {ray % 2 ? slope(random) : 0.0f, ray % 2 ? slope(random) : 0.0f,
                                   slope(random)};
            for (int k = 0; k < 20; ++k) {
                const auto cx = sampling::axisCell(r[0], x), cy = sampling::axisCell(r[1], y),
                           cz = sampling::axisCell(r[2], z);
                const auto corners = reader.corners(cx, cy, cz);
                cache.moveTo(corners);
                const int d = v.getDensityForRelative(r[0], r[1], r[2]);
                const _Vector g = v.getGradientForRelative(r[0], r[1], r[2]);
                ASSERT_EQ(reader.density(corners, cx.fraction, cy.fraction, cz.fraction), d)
                    << r[0] << " " << r[1];
                ASSERT_TRUE(sameBits(reader.gradient(corners, cx.fraction, cy.fraction, cz.fraction), g));
                ASSERT_EQ(cache.density(cx.fraction, cy.fraction, cz.fraction), d);
                const bool inCell = std::all_of(r, r + 3, [](float c) { return c >= 0.0f && c <= 1.0f; });
                ASSERT_TRUE(!inCell || (d >= cache.lowest() && d <= cache.highest()));  // no extrapolation
                ASSERT_TRUE(sameBits(cache.gradient(cx.fraction, cy.fraction, cz.fraction), g));
                for (int i = 0; i < 3; ++i)
                    r[i] = std::isfinite(r[i]) ? std::clamp(r[i] + step[i], 0.0f, 1.0f) : r[i];
            }
        }
    }
    std::uniform_real_distribution<float> fraction(-0.25f, 1.25f), value(-2.0f, 4095.0f);
    for (int i = 0; i < 100000; ++i) {
        float c[8];
        for (float& v : c)
            v = value(random);
        const float fx = fraction(random), fy = fraction(random), fz = fraction(random);
        ASSERT_TRUE(
            sameBits(sampling::trilinear(fx, fy, fz, c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7]),
                     VolumeData::trilinear(fx, fy, fz, c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7])));
    }
}

// A float of random sign and mantissa with a binary exponent in lo .. hi.
float randomFloat(std::mt19937_64& random, int lo, int hi) {
    const float v =
        std::ldexp(1.0f + float(random() % (1u << 23)) / float(1u << 23), lo + int(random() % (hi - lo + 1)));
    return random() % 2 ? -v : v;
}

TEST(FastPath, StepAheadEqualsRepeatedAddition) {
    std::mt19937_64 random(23);
    for (int i = 0; i < 100000; ++i) {
        float p, d;
        if (i % 5 == 0) {  // positions and steps of a ray caster
            p = float(int(random() % 4096) - 2048) + randomFloat(random, -3, -1);
            d = randomFloat(random, -8, 0);
        } else if (i % 5 == 1) {  // steps of exactly half a unit of p's binade: ties to even
            p = randomFloat(random, 0, 10);
            d = (float(random() % 64) + 0.5f) * std::ldexp(1.0f, std::ilogb(p) - 23) *
                (random() % 2 ? 1.0f : -1.0f);
        } else if (i % 5 == 2) {  // crossing zero
            p = randomFloat(random, -2, 4);
            d = -p / float(1 + random() % 40);
        } else if (i % 5 == 3) {  // steps too small to move p, and huge ones
            p = randomFloat(random, -20, 20);
            d = randomFloat(random, -60, 30);
        } else {  // signed zeros and infinity
            p = random() % 2 ? 0.0f : -0.0f;
            d = random() % 3 == 0 ? std::numeric_limits<float>::infinity() : randomFloat(random, -6, 2);
        }
        const std::int64_t n = 1 + std::int64_t(random() % 3000);
        float added = p;
        for (std::int64_t k = 0; k < n; ++k)
            added += d;
        ASSERT_TRUE(sameBits(stepAhead(p, d, n), added)) << std::hexfloat << p << " + " << n << " * " << d;
    }
}

// Floats from lo to hi (bit patterns, inclusive, every stride-th) where powerOf128 differs from pow.
std::uint64_t powerMismatches(std::uint32_t lo, std::uint32_t hi, std::uint32_t stride) {
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<std::uint64_t> counts(threads, 0);
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (std::uint64_t b = lo + std::uint64_t(t) * stride; b <= hi;
                 b += std::uint64_t(threads) * stride) {
                const float x = std::bit_cast<float>(std::uint32_t(b));
                counts[t] += !sameBits(powerOf128(x), float(std::pow(double(x), 128.0)));
            }
        });
    for (auto& w : workers)
        w.join();
    return std::accumulate(counts.begin(), counts.end(), std::uint64_t(0));
}

// Around its branch points 0.44, 0.5, 1 and 1.9, both signs, and a sparse sweep of all floats.
TEST(FastPath, PowerOf128AgreesWithPow) {
    for (float centre : {0.44f, 0.5f, 1.0f, 1.9f, -0.44f, -0.5f, -1.0f, -1.9f}) {
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(centre);
        EXPECT_EQ(powerMismatches(bits - 20000, bits + 20000, 1), 0u) << centre;
    }
    EXPECT_EQ(powerMismatches(0, 0xffffffffu, 9973), 0u);
}

TEST(FastPath, DISABLED_PowerOf128AgreesWithPowForAllFloats) {
    EXPECT_EQ(powerMismatches(0, 0xffffffffu, 1), 0u);
}

// Random samples through both accumulators and the reference renderer's ray state; a sample the
// compositing accumulator calls inert leaves the reference unchanged, and its inert threshold is
// the largest alpha that leaves it unchanged in any colour.
TEST(FastPath, AccumulatorsFollowTheReferenceRenderer) {
    std::mt19937 random(3);
    std::uniform_int_distribution<int> byte(0, 255), density(0, kMaxDensity - 1);
    float opacityOf[256];
    int saturated = 0;
    // Plain opacities, and opacities corrected for steps of 0.3 and 2.6 voxel lengths.
    const double steps[] = {0.0, 0.3, 2.6};
    for (int ray = 0; ray < 3000; ++ray) {
        opacity::opacityPerAlphaByte(steps[ray % 3] > 0.0, steps[ray % 3], opacityOf);
        CompositeRay composite;
        MaximumRay maximum;
        composite.resetRay();
        maximum.resetRay();
        reference::RayState expected{}, expectedMip{};
        reference::resetRay(expected, false);
        reference::resetRay(expectedMip, true);
        const int bright = byte(random), heavy = 20 + byte(random) % 200;
        for (int sample = 0; sample < 300 && !composite.finished(); ++sample) {
            const std::uint8_t rgba[4] = {std::uint8_t(byte(random)), std::uint8_t(byte(random)),
                                          std::uint8_t(byte(random) % (bright + 1)),
                                          std::uint8_t(byte(random) % heavy)};
            const int d = density(random);
            const bool inert = composite.leavesUnchanged(opacityOf[rgba[3]]);
            const reference::RayState before = expected;
            composite.updateRayWithRGBA(rgba, opacityOf[rgba[3]], d);
            maximum.updateRayWithRGBA(rgba, opacityOf[rgba[3]], d);
            reference::updateRayWithRGBA(expected, rgba, opacityOf[rgba[3]], d, false);
            reference::updateRayWithRGBA(expectedMip, rgba, opacityOf[rgba[3]], d, true);
            for (int c = 0; c < 4; ++c) {
                ASSERT_EQ(composite.color[c], expected.color[c]);
                ASSERT_EQ(maximum.color[c], expectedMip.color[c]);
                ASSERT_TRUE(!inert || before.color[c] == expected.color[c]);
            }
            ASSERT_EQ(maximum.maxDensity, expectedMip.maxDensity);
            composite.updateInertAlpha(opacityOf);
            if (composite.inertAlpha == 0 || ray % 4 != 0)
                continue;
            ++saturated;
            for (int probe = 0; probe < 21; ++probe) {
                CompositeRay copy = composite;
                const int a =
                    probe < 20 ? byte(random) % (composite.inertAlpha + 1) : composite.inertAlpha + 1;
                if (a > 255)
                    break;
                const std::uint8_t faint[4] = {std::uint8_t(probe < 20 ? byte(random) : 255), 255, 255,
                                               std::uint8_t(a)};
                copy.updateRayWithRGBA(faint, opacityOf[a], 0);
                ASSERT_EQ(std::memcmp(copy.color, composite.color, sizeof copy.color) == 0, probe < 20) << a;
            }
        }
    }
    EXPECT_GT(saturated, 1500);
}

// Every inside sample of stepping a ray one sample at a time falls in a block (with its apron) that
// the walk reports for that step: the walk only skips what it has vouched for.
TEST(FastPath, BlockWalkCoversEverySampleOfTheRay) {
    std::mt19937 random(31);
    std::uniform_real_distribution<float> angle(-7.0f, 7.0f);
    for (const auto& [x, y, z, res] : std::vector<std::array<int, 4>>{
             {40, 33, 21, 64}, {17, 50, 9, 31}, {64, 64, 64, 24}, {9, 9, 70, 100}, {30, 2, 30, 47}}) {
        testing::Scene s;
        s.load(x, y, z, std::vector<std::uint16_t>(std::size_t(x) * y * z, 1));
        const auto volume = s.data.volume();
        const ColorTable table = s.fkt.table();
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
                for (int py = -f.areaRadius; py < f.areaRadius; py += 3)
                    for (int px = -f.areaRadius; px < f.areaRadius; px += 3) {
                        float p[3], d[3];
                        f.startRay(px, py, p, d);
                        std::vector<std::array<int, 3>> blockAt(f.size, {-1, -1, -1});
                        raycast::BlockWalk walk;
                        if (walk.start(f, p, d))
                            do {
                                for (std::int64_t k = std::max<std::int64_t>(0, walk.first());
                                     k <= std::min<std::int64_t>(f.size - 1, walk.last()); ++k)
                                    blockAt[k] = {walk.block(0), walk.block(1), walk.block(2)};
                            } while (walk.next());
                        for (int k = 0; k < f.size; ++k) {
                            for (int a = 0; f.inside(p) && a < 3; ++a) {
                                const float q = p[a] / f.extF[a];
                                const auto cell = sampling::axisCell(q, f.dim[a]);
                                const int nearest = int(q * f.dimM1[a]), first = blockAt[k][a] << shift;
                                ASSERT_GE(blockAt[k][a], 0) << "step " << k << " inside but not walked";
                                ASSERT_GE(std::min(cell.lower, nearest), first - 1)
                                    << "axis " << a << " step " << k;
                                ASSERT_LE(std::max(cell.upper, nearest), first + (1 << shift) + 1)
                                    << "axis " << a;
                            }
                            for (int a = 0; a < 3; ++a)
                                p[a] += d[a];
                        }
                    }
            }
        }
    }
}

// Very large images step every sample instead of walking blocks; both give the same pixels.
TEST(FastPath, BlockWalkAndSteppingEverySampleGiveTheSamePixels) {
    testing::Scene s;
    std::vector<std::uint16_t> samples(30 * 26 * 34);
    phantom::generateSlices(30, 26, 34, 5, 0, 34, samples.data());
    s.load(30, 26, 34, samples);
    s.setOpacity({{0, 0}, {999, 0}, {2500, 40}, {kMaxDensity - 1, 255}});
    const ColorTable table = s.fkt.table();
    emptyspace::OpacityCache cache;
    cache.update(s.data.volume(), 2, table);
    for (const _Vector& o :
         {MakeVector(0, 0, 0), MakeVector(0.5f, 0.7f, 0.2f), MakeVector(-2.0f, 0.1f, 4.0f)}) {
        RayCastSettings settings;
        settings.maxImageResolution = 40;
        settings.areaRadius = 20;
        settings.doShading = true;
        settings.orientation = o;
        settings.shading = reference::shadingFor(o);
        raycast::Frame walking(*s.data.volume(), table.data(), settings, *cache.grid, cache.blockAlpha.data(),
                               *cache.index);
        raycast::Frame stepping = walking;
        stepping.skipping = false;
        for (int y = -20; y < 20; ++y)
            for (int x = -20; x < 20; ++x) {
                std::uint8_t a[4], b[4], c[4], d[4];
                raycast::castPixel<false, true, CompositeRay>(walking, x, y, a);
                raycast::castPixel<false, true, CompositeRay>(stepping, x, y, b);
                raycast::castPixel<true, false, MaximumRay>(walking, x, y, c);
                raycast::castPixel<true, false, MaximumRay>(stepping, x, y, d);
                ASSERT_EQ(std::memcmp(a, b, 4), 0) << x << " " << y;
                ASSERT_EQ(std::memcmp(c, d, 4), 0) << x << " " << y;
            }
    }
}

}  // namespace
}  // namespace qz

// The fast renderers' building blocks that the equivalence matrix cannot reach everywhere: stepAhead
// (and the kernel's, on every instruction set) against repeated addition, the specular power against
// pow for every float class, the block walk against stepping every sample, also up to the largest
// images, and the kernel's skipping, restarts and jumps against stepping every sample.
#include <hwy/targets.h>

#include <algorithm>
#include <bit>
#include <limits>
#include <random>

#include "reference/ReferenceRenderers.h"
#include "render/BlockWalk.h"
#include "render/RayCaster.h"
#include "render/Sampling.h"
#include "render/Stepping.h"
#include "support/Scene.h"
#include "tools/phantom.h"

namespace qz {
namespace {

// The instruction sets the ray caster's kernel is compiled for that this processor has.
std::vector<std::int64_t> kernelTargets() {
    std::vector<std::int64_t> targets;
    for (std::int64_t target : {HWY_AVX3, HWY_AVX2, HWY_SSE4, HWY_SCALAR})
        if (hwy::SupportedTargets() & target)
            targets.push_back(target);
    return targets;
}

bool sameBits(float a, float b) {
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b) ||
           (std::isnan(a) && std::isnan(b));
}

// A float of random sign and mantissa with a binary exponent in lo .. hi.
float randomFloat(std::mt19937_64& random, int lo, int hi) {
    const float v =
        std::ldexp(1.0f + float(random() % (1u << 23)) / float(1u << 23), lo + int(random() % (hi - lo + 1)));
    return random() % 2 ? -v : v;
}

// stepAhead, and the kernel's version of it in every instruction set, against the additions.
TEST(FastPath, StepAheadEqualsRepeatedAddition) {
    std::mt19937_64 random(23);
    for (int batch = 0; batch < 400; ++batch) {
        const std::int64_t n = 1 + std::int64_t(random() % 3000);
        std::vector<float> p(100), d(100), added(100);
        for (int i = 0; i < 100; ++i) {
            if (i % 5 == 0) {  // positions and steps of a ray caster
                p[i] = float(int(random() % 4096) - 2048) + randomFloat(random, -3, -1);
                d[i] = randomFloat(random, -8, 0);
            } else if (i % 5 == 1) {  // steps of exactly half a unit of p's binade: ties to even
                p[i] = randomFloat(random, 0, 10);
                d[i] = (float(random() % 64) + 0.5f) * std::ldexp(1.0f, std::ilogb(p[i]) - 23) *
                       (random() % 2 ? 1.0f : -1.0f);
            } else if (i % 5 == 2) {  // crossing zero
                p[i] = randomFloat(random, -2, 4);
                d[i] = -p[i] / float(1 + random() % 40);
            } else if (i % 5 == 3) {  // steps too small to move p, and huge ones
                p[i] = randomFloat(random, -20, 20);
                d[i] = randomFloat(random, -60, 30);
            } else {  // signed zeros and infinity
                p[i] = random() % 2 ? 0.0f : -0.0f;
                d[i] =
                    random() % 3 == 0 ? std::numeric_limits<float>::infinity() : randomFloat(random, -6, 2);
            }
            added[i] = p[i];
            for (std::int64_t k = 0; k < n; ++k)
                added[i] += d[i];
            ASSERT_TRUE(sameBits(stepAhead(p[i], d[i], n), added[i]))
                << std::hexfloat << p[i] << " + " << n << " * " << d[i];
        }
        for (std::int64_t target : kernelTargets()) {
            hwy::SetSupportedTargetsForTest(target);
            std::vector<float> jumped = p;
            raycast::stepAheadAll(jumped.data(), d.data(), jumped.size(), n);
            for (int i = 0; i < 100; ++i)
                ASSERT_TRUE(sameBits(jumped[i], added[i]))
                    << hwy::TargetName(target) << std::hexfloat << " " << p[i] << " + " << n << " * " << d[i];
        }
        hwy::SetSupportedTargetsForTest(0);
    }
}

// Floats from lo to hi (bit patterns, inclusive, every stride-th) where powerOf128 differs from pow.
std::uint64_t powerMismatches(std::uint32_t lo, std::uint32_t hi, std::uint32_t stride) {
    std::uint64_t count = 0;
    for (std::uint64_t b = lo; b <= hi; b += stride) {
        const float x = std::bit_cast<float>(std::uint32_t(b));
        count += !sameBits(powerOf128(x), float(std::pow(double(x), 128.0)));
    }
    return count;
}

// Around its branch points 0.44, 0.5, 1 and 1.9, both signs, and a sparse sweep of all floats
// (powerMismatches(0, 0xffffffff, 1) checks every float, in minutes).
TEST(FastPath, PowerOf128AgreesWithPow) {
    for (float centre : {0.44f, 0.5f, 1.0f, 1.9f, -0.44f, -0.5f, -1.0f, -1.9f}) {
        const std::uint32_t bits = std::bit_cast<std::uint32_t>(centre);
        EXPECT_EQ(powerMismatches(bits - 20000, bits + 20000, 1), 0u) << centre;
    }
    EXPECT_EQ(powerMismatches(0, 0xffffffffu, 9973), 0u);
}

// Every inside sample of stepping a ray one sample at a time falls in a block (with its apron) that
// the walk reports for that step: the walk only skips what it has vouched for. Up to the largest
// images, where the walk restarts from exact positions along the ray, and with restarts forced
// every few steps.
TEST(FastPath, BlockWalkCoversEverySampleOfTheRay) {
    std::mt19937 random(31);
    std::uniform_real_distribution<float> angle(-7.0f, 7.0f);
    // x, y, z, resolution, and steps between restarts where they are forced
    const int cases[] = {40, 33, 21, 64, 0, 17, 50, 9,  31, 0, 64,  64,  64,  24,   0, 9,  9,   70, 100,   3,
                         30, 2,  30, 47, 0, 40, 33, 21, 64, 5, 256, 256, 108, 8192, 0, 60, 200, 90, 16384, 0};
    for (const int* c = cases; c != std::end(cases); c += 5) {
        const int x = c[0], y = c[1], z = c[2], res = c[3], run = c[4];
        testing::Scene s;
        s.load(x, y, z, std::vector<std::uint16_t>(std::size_t(x) * y * z, 1));
        const auto volume = s.data.volume();
        const ColorTable table = s.fkt.table();
        const int rays = 300;  // spread over the image
        for (int shift = 2; shift <= (res > 1000 ? 2 : 5); ++shift) {
            emptyspace::OpacityCache cache;
            cache.update(volume, shift, table);
            RayCastSettings settings;
            settings.maxImageResolution = res;
            settings.areaRadius = int(float(res) * 0.5f + 0.5f);
            for (int trial = 0; trial < 3; ++trial) {
                settings.orientation = trial == 0 ? MakeVector(0, 0, 0)
                                                  : MakeVector(angle(random), angle(random), angle(random));
                raycast::Frame f(*volume, table.data(), settings, *cache.grid, cache.blockAlpha.data(),
                                 *cache.index);
                ASSERT_TRUE(f.skipping);
                ASSERT_EQ(f.walkRun<f.size, res> 6000);
                if (run > 0)
                    f.walkRun = run;
                for (int ray = 0; ray < rays; ++ray) {
                    const int px = int(random() % f.size) - f.areaRadius,
                              py = int(random() % f.size) - f.areaRadius;
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
                            ASSERT_TRUE(std::min(cell.lower, nearest) >= first - 1 &&
                                        std::max(cell.upper, nearest) <= first + (1 << shift) + 1)
                                << "axis " << a << " step " << k;
                        }
                        for (int a = 0; a < 3; ++a)
                            p[a] += d[a];
                    }
                }
            }
        }
    }
}

// Skipping blocks, restarting the walk every few steps, jumping by stepAhead alone and stepping
// every sample give the same pixels.
TEST(FastPath, SkippingAndSteppingEverySampleGiveTheSamePixels) {
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
        raycast::Frame restarting = walking, jumping = walking, stepping = walking;
        restarting.walkRun = 3;
        jumping.addedSteps = 1;
        stepping.skipping = false;
        for (const raycast::KernelMode mode :
             {raycast::KernelMode{false, true, raycast::Accumulation::Composite},
              raycast::KernelMode{true, false, raycast::Accumulation::Maximum}}) {
            std::vector<std::uint8_t> images[4];
            const raycast::Frame* frames[4] = {&stepping, &walking, &restarting, &jumping};
            for (int i = 0; i < 4; ++i) {
                images[i].resize(4 * 40 * 40);
                raycast::castTile(*frames[i], mode, 0, 40, 0, 40, images[i].data());
                EXPECT_EQ(images[i], images[0]) << i;
            }
        }
    }
}

}  // namespace
}  // namespace qz

// The fast renderers' building blocks that the equivalence matrix cannot reach everywhere: stepAhead
// against repeated addition, the specular power against pow for every float class, the block walk
// against stepping every sample.
#include <algorithm>
#include <bit>
#include <limits>
#include <random>

#include "render/RayCaster.h"
#include "support/Scene.h"

namespace qz {
namespace {

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
// the walk reports for that step: the walk only skips what it has vouched for.
TEST(FastPath, BlockWalkCoversEverySampleOfTheRay) {
    std::mt19937 random(31);
    std::uniform_real_distribution<float> angle(-7.0f, 7.0f);
    const int cases[] = {40, 33, 21, 64, 17, 50, 9, 31, 64, 64, 64, 24, 9, 9, 70, 100, 30, 2, 30, 47};
    for (const int* c = cases; c != std::end(cases); c += 4) {
        const int x = c[0], y = c[1], z = c[2], res = c[3];
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

}  // namespace
}  // namespace qz

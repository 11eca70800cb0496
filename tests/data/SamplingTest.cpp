// Gradients, voxel and interpolated lookups, and the vector functions.
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "data/DataTestSupport.h"

namespace qz::test {
namespace {

class Sampling : public ::testing::Test {
  protected:
    std::shared_ptr<const VolumeData> volume(int x, int y, int z, const std::vector<int>& samples) {
        data.loadFromFileName(dir.writeVolume("v.dat", x, y, z, samples));
        return data.volume();
    }
    // Samples f(x, y, z) in file order.
    template <class F>
    std::shared_ptr<const VolumeData> volumeOf(int xDim, int yDim, int zDim, F f) {
        std::vector<int> s;
        for (int z = 0; z < zDim; ++z) {
            for (int y = 0; y < yDim; ++y) {
                for (int x = 0; x < xDim; ++x)
                    s.push_back(f(x, y, z));
            }
        }
        return volume(xDim, yDim, zDim, s);
    }

    TempDir dir;
    NotificationCenter center;
    Data data{center};
};

void expectVector(_Vector v, float x, float y, float z, const std::string& where = {}) {
    EXPECT_EQ(v.x, x) << where;
    EXPECT_EQ(v.y, y) << where;
    EXPECT_EQ(v.z, z) << where;
}

// The gradient field equals the plain per-voxel central-difference formula bit for bit, borders and
// single-sample axes included, on noisy volumes of awkward sizes.
TEST_F(Sampling, GradientsEqualThePlainFormulaBitForBit) {
    std::mt19937 random(7);
    const int sizes[][3] = {{1, 1, 1}, {2, 1, 1}, {3, 2, 1}, {5, 1, 7}, {6, 3, 2}, {37, 23, 19}, {64, 9, 2}};
    for (const auto& s : sizes) {
        auto v = volumeOf(s[0], s[1], s[2], [&](int, int, int) { return int(random() % 4096); });
        auto d = [&](int x, int y, int z) { return v->getDensity(x, y, z); };
        for (int z = 0; z < s[2]; ++z) {
            for (int y = 0; y < s[1]; ++y) {
                for (int x = 0; x < s[0]; ++x) {
                    const int xp = x < s[0] - 1 ? x + 1 : x, xm = x > 0 ? x - 1 : x;
                    const int yp = y < s[1] - 1 ? y + 1 : y, ym = y > 0 ? y - 1 : y;
                    const int zp = z < s[2] - 1 ? z + 1 : z, zm = z > 0 ? z - 1 : z;
                    const _Vector expected = NormalizeVector(MakeVector(
                        0.5f * float(d(xp, y, z) - d(xm, y, z)), 0.5f * float(d(x, yp, z) - d(x, ym, z)),
                        0.5f * float(d(x, y, zp) - d(x, y, zm))));
                    const _Vector got = v->getGradient(x, y, z);
                    ASSERT_EQ(std::memcmp(&got, &expected, sizeof got), 0)
                        << s[0] << "x" << s[1] << "x" << s[2] << " at " << x << "," << y << "," << z;
                }
            }
        }
    }
}

TEST_F(Sampling, VoxelLookupsOutsideTheGridReadTheBorder) {
    auto v = volumeOf(3, 2, 2, [](int x, int y, int z) { return 100 * z + 10 * y + x + 20; });
    EXPECT_EQ(v->getDensity(-5, 0, 0), 20);
    EXPECT_EQ(v->getDensity(9, 1, 1), 132);
    EXPECT_EQ(v->getDensity(1, -1, 7), 121);
    EXPECT_EQ(v->getDensity(std::numeric_limits<int>::max(), std::numeric_limits<int>::min(), 0), 22);
    const _Vector g = v->getGradient(-1, 100, 3);
    const _Vector border = v->getGradient(0, 1, 1);
    EXPECT_EQ(std::memcmp(&g, &border, sizeof g), 0);
    const VolumeData empty;
    EXPECT_EQ(empty.getDensity(0, 0, 0), 0);
    expectVector(empty.getGradient(1, 2, 3), 0.0f, 0.0f, 0.0f);
    EXPECT_EQ(empty.getDensityForRelative(0.5f, 0.5f, 0.5f), 0);
    expectVector(empty.getGradientForRelative(0.5f, 0.5f, 0.5f), 0.0f, 0.0f, 0.0f);
}

TEST_F(Sampling, InterpolationAndCellChoice) {
    // 2 x 2 x 2: the centre is the mean truncated, the corners are the first and the last sample.
    auto cube = volume(2, 2, 2, {100, 203, 301, 404, 500, 611, 707, 812});
    EXPECT_EQ(cube->getDensityForRelative(0.5f, 0.5f, 0.5f),
              (100 + 203 + 301 + 404 + 500 + 611 + 707 + 812) / 8);
    EXPECT_EQ(cube->getDensityForRelative(0.0f, 0.0f, 0.0f), 100);
    EXPECT_EQ(cube->getDensityForRelative(1.0f, 1.0f, 1.0f), 812);
    EXPECT_EQ(cube->getDensityForRelative(1.0f, 0.0f, 0.0f), 203);
    EXPECT_EQ(data.getDensityForRelative(0.0f, 1.0f, 1.0f), 707);

    // 10 at x = 0 and 11 at x = 1 interpolate to 10.5, which truncates to 10.
    auto halves = volumeOf(2, 2, 2, [](int x, int, int) { return 10 + x; });
    EXPECT_EQ(halves->getDensityForRelative(0.5f, 0.5f, 0.5f), 10);

    // Three samples along x: relative 0.75 lies in the second cell at fraction 0.5.
    auto three = volumeOf(3, 2, 2, [](int x, int, int) { return x == 0 ? 0 : (x == 1 ? 100 : 300); });
    EXPECT_EQ(three->getDensityForRelative(0.75f, 0.0f, 1.0f), 200);
    EXPECT_EQ(three->getDensityForRelative(0.25f, 1.0f, 0.0f), 50);

    // A constant 2047 returns 2047 wherever it is sampled (double products, no 2046.9998).
    auto constant = volume(3, 3, 3, std::vector<int>(27, 2047));
    std::mt19937 random(3);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int i = 0; i < 2000; ++i) {
        const float rx = unit(random), ry = unit(random), rz = unit(random);
        ASSERT_EQ(constant->getDensityForRelative(rx, ry, rz), 2047) << rx << " " << ry << " " << rz;
    }
}

TEST_F(Sampling, TrilinearCornersAndConstants) {
    const float s[8] = {1.5f, 2.25f, 3.0f, 4.75f, 5.0f, 6.5f, 7.125f, 8.0f};
    auto t = [&](float x, float y, float z) {
        return VolumeData::trilinear(x, y, z, s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7]);
    };
    for (int corner = 0; corner < 8; ++corner)
        EXPECT_EQ(t(float(corner & 1), float(corner >> 1 & 1), float(corner >> 2)), s[corner]) << corner;
    EXPECT_EQ(Data::trilinear(0.5f, 0.5f, 0.5f, 7, 7, 7, 7, 7, 7, 7, 7), 7.0f);
    EXPECT_EQ(VolumeData::trilinear(0.3f, 0.7f, 0.1f, 2047, 2047, 2047, 2047, 2047, 2047, 2047, 2047),
              2047.0f);
    // Fractions outside 0..1 extrapolate linearly.
    EXPECT_EQ(VolumeData::trilinear(2, 0, 0, 10, 20, 0, 0, 0, 0, 0, 0), 30.0f);
}

TEST_F(Sampling, SingleSampleAxesReadTheirOneLayer) {
    auto point = volume(1, 1, 1, {123});
    for (float r : {0.0f, 0.5f, 1.0f, -3.0f, 7.0f})
        EXPECT_EQ(point->getDensityForRelative(r, r, r), 123) << r;
    expectVector(point->getGradientForRelative(0.5f, 0.5f, 0.5f), 0.0f, 0.0f, 0.0f);

    // A 3 x 1 x 1 line: y and z read the one layer, x interpolates.
    auto line = volumeOf(3, 1, 1, [](int x, int, int) { return 100 + 100 * x; });
    EXPECT_EQ(line->getDensityForRelative(0.75f, 0.5f, 0.5f), 250);
    EXPECT_EQ(line->getDensityForRelative(1.0f, 1.0f, 0.0f), 300);
    expectVector(line->getGradientForRelative(0.25f, 0.9f, 0.1f), 1.0f, 0.0f, 0.0f);

    // A 1 x 2 x 2 sheet.
    auto sheet = volumeOf(1, 2, 2, [](int, int y, int z) { return 1000 + 100 * y + 10 * z; });
    EXPECT_EQ(sheet->getDensityForRelative(0.7f, 0.5f, 0.5f), 1055);
}

TEST_F(Sampling, CoordinatesOutsideZeroToOneStayInTheGridAndInRange) {
    auto ramp = volumeOf(3, 2, 2, [](int x, int, int) { return 1000 + 10 * x; });
    // Above 1 the last cell extrapolates, below 0 the first one does.
    EXPECT_EQ(ramp->getDensityForRelative(1.5f, 0.0f, 0.0f), 1030);
    EXPECT_EQ(ramp->getDensityForRelative(-0.5f, 0.0f, 0.0f), 990);
    // Extrapolation never leaves the density range; NaN reads as 0.
    auto steep = volumeOf(2, 2, 2, [](int x, int, int) { return x == 0 ? 100 : 4000; });
    EXPECT_EQ(steep->getDensityForRelative(3.0f, 0.5f, 0.5f), 4095);
    EXPECT_EQ(steep->getDensityForRelative(-3.0f, 0.5f, 0.5f), 0);
    EXPECT_EQ(steep->getDensityForRelative(std::nanf(""), 0.5f, 0.5f), 100);
    const float hostile[] = {-1e30f,
                             -2.0f,
                             -0.0f,
                             1.0000001f,
                             2.5f,
                             1e30f,
                             std::numeric_limits<float>::infinity(),
                             -std::numeric_limits<float>::infinity(),
                             std::nanf("")};
    for (float rx : hostile) {
        for (float ry : hostile) {
            for (float rz : {0.5f, -7.0f, 9.0f, std::nanf("")}) {
                const int d = steep->getDensityForRelative(rx, ry, rz);
                ASSERT_GE(d, 0);
                ASSERT_LT(d, kMaxDensity);
                steep->getGradientForRelative(rx, ry, rz);  // must not read outside the arrays
            }
        }
    }
}

TEST_F(Sampling, InterpolatedGradients) {
    // 0, 10, 10, 0 along x: gradients (1,0,0), (1,0,0), (-1,0,0), (-1,0,0).
    auto hill = volumeOf(4, 2, 2, [](int x, int, int) { return x == 1 || x == 2 ? 110 : 100; });
    expectVector(hill->getGradientForRelative(0.0f, 0.0f, 0.0f), 1.0f, 0.0f, 0.0f);
    expectVector(hill->getGradientForRelative(1.0f, 1.0f, 1.0f), -1.0f, 0.0f, 0.0f);
    // Halfway between opposite gradients the blend cancels and stays (0, 0, 0).
    expectVector(hill->getGradientForRelative(0.5f, 0.5f, 0.5f), 0.0f, 0.0f, 0.0f);

    // Component by component, then normalised: compare with the corners blended by hand.
    std::mt19937 random(11);
    auto noisy = volumeOf(4, 3, 5, [&](int, int, int) { return int(random() % 4096); });
    const float rx = 0.4f, ry = 0.8f, rz = 0.3f;
    const float fx = rx * 3.0f, fy = ry * 2.0f, fz = rz * 4.0f;
    const int ix = int(fx), iy = int(fy), iz = int(fz);
    float c[3];
    for (int k = 0; k < 3; ++k) {
        auto g = [&](int dx, int dy, int dz) {
            const _Vector v = noisy->getGradient(ix + dx, iy + dy, iz + dz);
            return k == 0 ? v.x : (k == 1 ? v.y : v.z);
        };
        c[k] = VolumeData::trilinear(fx - float(ix), fy - float(iy), fz - float(iz), g(0, 0, 0), g(1, 0, 0),
                                     g(0, 1, 0), g(1, 1, 0), g(0, 0, 1), g(1, 0, 1), g(0, 1, 1), g(1, 1, 1));
    }
    const _Vector expected = NormalizeVector(MakeVector(c[0], c[1], c[2]));
    const _Vector got = noisy->getGradientForRelative(rx, ry, rz);
    EXPECT_EQ(std::memcmp(&got, &expected, sizeof got), 0);
    const _Vector forwarded = data.getGradientForRelative(rx, ry, rz);
    EXPECT_EQ(std::memcmp(&forwarded, &expected, sizeof got), 0);
}

TEST(Vector, TheListedCases) {
    expectVector(NormalizeVector(MakeVector(0, 0, 0)), 0, 0, 0);
    expectVector(NormalizeVector(MakeVector(3, 0, 4)), 0.6f, 0, 0.8f);
    expectVector(NormalizeVector(MakeVector(0, -2, 0)), 0, -1, 0);
    expectVector(SumVectors(MakeVector(1, 2, 3), MakeVector(-1, -2, -3)), 0, 0, 0);
    EXPECT_EQ(VectorDotProduct(MakeVector(1, 0, 0), MakeVector(0, 1, 0)), 0.0f);
    const _Vector u = NormalizeVector(MakeVector(1, 2, 3));
    EXPECT_NEAR(VectorDotProduct(u, u), 1.0f, 1e-6f);
    // Squares that underflow to zero: returned unchanged, not scaled up.
    expectVector(NormalizeVector(MakeVector(1e-30f, 0, 0)), 1e-30f, 0, 0);
}

}  // namespace
}  // namespace qz::test

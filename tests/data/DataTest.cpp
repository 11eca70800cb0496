// The .dat loader (messages, refusals, histogram, gradients, progress) and the volume's lookups.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <future>
#include <limits>
#include <map>
#include <random>

#include "data/Data.h"
#include "support/Notifications.h"
#include "support/TestFiles.h"

namespace qz {
namespace {

using testing::samplesOf;

const std::string kWarning = "Data:Warning: density > maxDensity";
const std::string kShortFile = "Data:Error: file < 6 Bytes";

std::string invalidLength(std::size_t length) {
    return "Data:Error: file has invalid length '" + std::to_string(length) + "'";
}

bool sameBits(_Vector a, _Vector b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

class Loader : public ::testing::Test {
  protected:
    // Lines printed while loading path; the log holds only this load's notifications.
    std::vector<std::string> load(const std::string& path) {
        log.clear();
        return testing::stdoutLines([&] { data.loadFromFileName(path); });
    }
    std::shared_ptr<const VolumeData> volume(int x, int y, int z, const std::vector<std::uint16_t>& samples) {
        EXPECT_EQ(load(dir.write("v.dat", testing::volumeBytes(x, y, z, samples))),
                  std::vector<std::string>{});
        return data.volume();
    }
    std::shared_ptr<const VolumeData> volumeOf(int x, int y, int z,
                                               const std::function<int(int, int, int)>& f) {
        return volume(x, y, z, samplesOf(x, y, z, f));
    }
    // Refused: the last printed line went out as the one failure notification, nothing else was
    // posted, and the previous volume is still in place.
    void expectRefused(const std::vector<std::string>& lines, const std::string& what) {
        ASSERT_FALSE(lines.empty()) << what;
        EXPECT_EQ(log.infos(kDataLoadFailed), std::vector<std::string>{lines.back()}) << what;
        EXPECT_TRUE(log.infos(kNewDataAvailable).empty()) << what;
        EXPECT_EQ(data.volume(), previous) << what;
        EXPECT_EQ(data.filename(), previousPath) << what;
    }

    testing::TempDir dir;
    NotificationCenter center;
    Data data{center};
    testing::NotificationLog log{center};
    std::string previousPath = dir.write("previous.dat", testing::volumeBytes(2, 1, 1, {100, 200}));
    std::shared_ptr<const VolumeData> previous;
};

TEST_F(Loader, GoodFileLoadsSilentlyWithItsProgressAndLayout) {
    const std::string path =
        dir.write("cube.dat", testing::volumeBytes(2, 2, 2, {101, 102, 103, 104, 105, 106, 107, 108}));
    EXPECT_EQ(load(path), std::vector<std::string>{});
    EXPECT_EQ(data.filename(), path);
    EXPECT_EQ(data.xDim() * 100 + data.yDim() * 10 + data.zDim(), 222);
    EXPECT_EQ(data.getDensity(1, 0, 0), 102);
    EXPECT_EQ(data.getDensity(0, 1, 0), 103);
    EXPECT_EQ(data.getDensity(1, 1, 1), 108);
    for (int d = 101; d <= 108; ++d)
        EXPECT_EQ(data.getNormalizedOccurrenceForDensity(d), 1.0f) << d;
    EXPECT_EQ(log.progress("read cube.dat"), (std::vector<int>{12, 25, 37, 50, 62, 75, 87}));
    EXPECT_EQ(log.progress("calculate gradients"), (std::vector<int>{25, 50, 75, 100}));
    ASSERT_EQ(log.entries().size(), 12u);
    EXPECT_EQ(log.entries().back().name, kNewDataAvailable);  // after every progress record
}

// The read phase posts trunc(i / n * 100) for sample i whenever it rises; the gradient phase, at
// voxel k (x outermost, z innermost), posts trunc((k + 1) / n * 100) once trunc(k / n * 100) exceeds
// the last value posted.
TEST_F(Loader, ProgressMatchesCountingLoopsForAnySize) {
    auto percent = [](std::int64_t i, std::int64_t n) { return int(float(i) / float(n) * 100.0f); };
    for (const auto& s : std::vector<std::array<int, 3>>{{1, 1, 3},
                                                         {3, 1, 1},
                                                         {7, 5, 3},
                                                         {50, 7, 3},
                                                         {1, 1, 97},
                                                         {101, 1, 1},
                                                         {64, 64, 64},
                                                         {33, 65, 17}}) {
        const std::int64_t n = std::int64_t(s[0]) * s[1] * s[2];
        std::vector<int> read, gradients;
        for (std::int64_t i = 0, last = 0; i < n; ++i)
            if (percent(i, n) > last)
                read.push_back(int(last = percent(i, n)));
        for (std::int64_t k = 0, last = 0; k < n; ++k)
            if (percent(k, n) > last)
                gradients.push_back(int(last = percent(k + 1, n)));
        volume(s[0], s[1], s[2], std::vector<std::uint16_t>(std::size_t(n), 500));
        EXPECT_EQ(log.progress("read v.dat"), read) << n;
        EXPECT_EQ(log.progress("calculate gradients"), gradients) << n;
    }
}

TEST_F(Loader, LargeSamplesAreClampedWithBoundedWarnings) {
    const auto bright = testing::volumeBytes(2, 2, 2, {4096, 4095, 5000, 8191, 32768, 40000, 65534, 65535});
    EXPECT_EQ(load(dir.write("bright.dat", bright)), std::vector<std::string>(7, kWarning));
    EXPECT_EQ(data.getDensity(0, 0, 0), 4095);
    EXPECT_EQ(data.getDensityForRelative(0.3f, 0.6f, 0.9f), 4095);
    EXPECT_EQ(data.getNormalizedOccurrenceForDensity(4095), 1.0f);
    // Hundreds of clamped samples: the first hundred warnings, then one summary line.
    auto expected = std::vector<std::string>(100, kWarning);
    expected.push_back(kWarning + " (300 samples clamped)");
    EXPECT_EQ(
        load(dir.write("many.dat", testing::volumeBytes(10, 10, 3, std::vector<std::uint16_t>(300, 4096)))),
        expected);
}

TEST_F(Loader, HistogramIsNormalisedByTheLargestCountAbove10) {
    for (int d = 0; d < kMaxDensity; ++d)
        ASSERT_EQ(data.getNormalizedOccurrenceForDensity(d), 0.0f) << d;  // before any load
    const struct {
        std::vector<std::uint16_t> samples;
        std::map<int, float> nonZero;
    } cases[] = {{{11, 11, 12}, {{11, 1.0f}, {12, 0.5f}}},
                 {{0, 0, 0, 10, 13}, {{13, 1.0f}}},  // 0..10 never count, however frequent
                 {{0, 10, 5, 10}, {}}};
    for (const auto& c : cases) {
        volume(int(c.samples.size()), 1, 1, c.samples);
        for (int d = 0; d < kMaxDensity; ++d)
            ASSERT_EQ(data.getNormalizedOccurrenceForDensity(d), c.nonZero.count(d) ? c.nonZero.at(d) : 0.0f)
                << d;
    }
}

// Whatever gives no header, a wrong length or more than memory holds is refused with its message.
TEST_F(Loader, RefusedInputsLeaveThePreviousVolume) {
    load(previousPath);
    previous = data.volume();
    ASSERT_EQ(previous->xDim(), 2);
    std::vector<std::pair<std::string, std::vector<std::string>>> cases;
    const std::string full =
        testing::volumeBytes(3, 2, 2, samplesOf(3, 2, 2, [](int x, int, int) { return 500 + x; }));
    for (std::size_t size = 0; size < full.size(); ++size) {
        const std::string path = dir.write("cut" + std::to_string(size) + ".dat", full.substr(0, size));
        if (size < 6)
            cases.push_back({path, {kShortFile}});
        else
            cases.push_back({path,
                             {invalidLength(size), "Data:Error: file is shorter than its header promises (" +
                                                       std::to_string(size) + " of 30 bytes)"}});
    }
    std::filesystem::create_directory(dir.file("folder.dat"));
    const std::string fifo = dir.file("pipe.dat");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path :
         {dir.file("missing.dat"), dir.file("folder.dat"), std::string("/dev/zero"), std::string("/dev/null"),
          std::string("/proc/self/status"), std::string(), fifo})
        cases.push_back({path, {kShortFile}});
    const std::string promise = testing::volumeBytes(65535, 65535, 65535, {1, 2, 3, 4});
    cases.push_back({dir.write("promise.dat", promise),
                     {invalidLength(promise.size()),
                      "Data:Error: file is shorter than its header promises (14 of 562924184010756 bytes)"}});
    // An honest header over a sparse file: 8192^3 samples need terabytes.
    const std::string huge = dir.write("huge.dat", testing::volumeBytes(8192, 8192, 8192, {}));
    if (::truncate(huge.c_str(), off_t(6 + 2 * std::int64_t(8192) * 8192 * 8192)) == 0)
        cases.push_back(
            {huge,
             {"Data:Error: volume of 8192 x 8192 x 8192 samples is too large to load (7340032 MiB needed)"}});
    for (const auto& [path, expected] : cases) {
        // Under a watchdog: a loader waiting for the FIFO's writer would hang the test.
        auto loading = std::async(std::launch::async, [&, p = path] { return load(p); });
        if (loading.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
            ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // wakes a loader blocked in open
            FAIL() << path << " kept the loader waiting";
        }
        const auto lines = loading.get();
        EXPECT_EQ(lines, expected) << path;
        EXPECT_EQ(log.entries().size(), 1u) << path;  // no progress either
        expectRefused(lines, path);
    }
}

TEST_F(Loader, ZeroDimensionsAndTrailingBytes) {
    for (const auto& [x, y, z] :
         std::vector<std::array<int, 3>>{{0, 0, 0}, {0, 5, 5}, {5, 0, 5}, {5, 5, 0}, {2, 2, 2}}) {
        for (std::size_t trailing : {0, 1, 1001}) {
            const std::string bytes =
                testing::volumeBytes(x, y, z, std::vector<std::uint16_t>(std::size_t(x) * y * z, 900)) +
                std::string(trailing, '\xee');
            const auto lines = load(dir.write("v.dat", bytes));
            EXPECT_EQ(lines, trailing ? std::vector<std::string>{invalidLength(bytes.size())}
                                      : std::vector<std::string>{});
            EXPECT_EQ(log.infos(kNewDataAvailable).size(), 1u);
            EXPECT_EQ(data.xDim() * 10000 + data.yDim() * 100 + data.zDim(), x * 10000 + y * 100 + z);
            EXPECT_EQ(data.getDensityForRelative(0.5f, 0.5f, 0.5f), x * y * z != 0 ? 900 : 0);
            EXPECT_TRUE(sameBits(data.getGradientForRelative(1.0f, 0.0f, 0.5f), MakeVector(0, 0, 0)));
        }
    }
}

// On request, a volume without samples and a cancelled load are refused; the volume stays.
TEST_F(Loader, EmptyVolumesAndCancelledLoadsRefusedOnRequest) {
    load(previousPath);
    previous = data.volume();
    data.setRefusesEmptyVolumes(true);
    const std::string empty = dir.write("e.dat", testing::volumeBytes(0, 4, 4, {}));
    expectRefused(load(empty), "empty");
    EXPECT_EQ(
        log.infos(kDataLoadFailed),
        std::vector<std::string>{"Data:Error: the volume holds no samples (its dimensions are 0 x 4 x 4)"});
    const std::atomic<bool> cancel{true};
    const std::string good = dir.write("c.dat", testing::volumeBytes(1, 1, 2, {5, 6}));
    log.clear();
    const auto lines = testing::stdoutLines([&] { data.loadFromFileName(good, &cancel); });
    EXPECT_EQ(lines, std::vector<std::string>{"Data:Error: loading cancelled"});
    expectRefused(lines, "cancelled");
}

// A file that changes under the loader gives the file as it was when the load started or a
// refusal: never a volume mixing old, new or missing bytes.
TEST_F(Loader, FileChangedWhileLoading) {
    load(previousPath);
    previous = data.volume();
    constexpr int kX = 1024, kY = 1024, kZ = 3;  // several read chunks
    const auto samples =
        samplesOf(kX, kY, kZ, [](int x, int y, int z) { return (x * 7 + y * 13 + z) % 4096; });
    const std::function<void(const std::string&)> changes[] = {
        [](const std::string& p) { ASSERT_EQ(::truncate(p.c_str(), 6), 0); },
        [](const std::string& p) { std::filesystem::remove(p); },
        [this](const std::string& p) {
            std::filesystem::rename(dir.write("other.dat", testing::volumeBytes(1, 1, 1, {9})), p);
        },
    };
    for (const auto& change : changes) {
        const std::string path = dir.write("changing.dat", testing::volumeBytes(kX, kY, kZ, samples));
        std::atomic<bool> changed{false};
        Observation during(center, kUpdateProgressBar, nullptr, [&](const Notification& n) {
            if (n.stringValue("info").rfind("read ", 0) == 0 && !changed.exchange(true))
                change(path);
        });
        const auto lines = load(path);
        ASSERT_TRUE(changed.load());
        if (!log.infos(kDataLoadFailed).empty()) {
            expectRefused(lines, path);
            continue;
        }
        const auto v = data.volume();
        ASSERT_EQ(v->sampleCount(), std::int64_t(samples.size()));
        EXPECT_TRUE(std::equal(samples.begin(), samples.end(), v->densities()));
        previous = v;
        previousPath = path;
    }
}

// The gradient field is the per-voxel central difference (one-sided at borders), normalised: the
// loader's vectorised pass against that loop, bit for bit, on noise of awkward sizes.
TEST_F(Loader, GradientsEqualCentralDifferencesBitForBit) {
    std::mt19937 random(7);
    for (const auto& s : std::vector<std::array<int, 3>>{
             {1, 1, 1}, {2, 1, 1}, {3, 2, 1}, {5, 1, 7}, {37, 23, 19}, {64, 9, 2}}) {
        const auto v = volumeOf(s[0], s[1], s[2], [&](int, int, int) { return int(random() % 4096); });
        auto d = [&](int x, int y, int z) {
            return float(v->getDensity(std::clamp(x, 0, s[0] - 1), std::clamp(y, 0, s[1] - 1),
                                       std::clamp(z, 0, s[2] - 1)));
        };
        for (int z = 0; z < s[2]; ++z)
            for (int y = 0; y < s[1]; ++y)
                for (int x = 0; x < s[0]; ++x) {
                    const _Vector expected = NormalizeVector(MakeVector(
                        0.5f * (d(x + 1, y, z) - d(x - 1, y, z)), 0.5f * (d(x, y + 1, z) - d(x, y - 1, z)),
                        0.5f * (d(x, y, z + 1) - d(x, y, z - 1))));
                    ASSERT_TRUE(sameBits(v->getGradient(x, y, z), expected)) << x << "," << y << "," << z;
                }
    }
}

TEST_F(Loader, LookupsInsideOnAndOutsideTheGrid) {
    const auto v = volumeOf(3, 2, 2, [](int x, int y, int z) { return 100 * z + 10 * y + x + 20; });
    EXPECT_EQ(v->getDensity(-5, 0, 0), 20);  // outside the grid: the border voxel
    EXPECT_EQ(v->getDensity(9, 1, 1), 132);
    EXPECT_EQ(v->getDensity(std::numeric_limits<int>::max(), std::numeric_limits<int>::min(), 0), 22);
    EXPECT_TRUE(sameBits(v->getGradient(-1, 100, 3), v->getGradient(0, 1, 1)));
    const VolumeData empty;
    EXPECT_EQ(empty.getDensity(0, 0, 0) + empty.getDensityForRelative(0.5f, 0.5f, 0.5f), 0);
    EXPECT_TRUE(sameBits(empty.getGradientForRelative(0.5f, 0.5f, 0.5f), MakeVector(0, 0, 0)));

    const float nan = std::nanf(""), inf = std::numeric_limits<float>::infinity();
    struct Case {
        std::array<int, 3> size;
        std::function<int(int, int, int)> density;
        float rx, ry, rz;
        int expected;
    };
    auto cube = [](int x, int y, int z) {
        return std::array{100, 203, 301, 404, 500, 611, 707, 812}[x + 2 * y + 4 * z];
    };
    auto three = [](int x, int, int) { return std::array{0, 100, 300}[x]; };
    auto steep = [](int x, int, int) { return x ? 4000 : 100; };
    const Case cases[] = {
        {{2, 2, 2}, cube, 0.5f, 0.5f, 0.5f, 3638 / 8},  // the mean, truncated
        {{2, 2, 2}, cube, 0, 0, 0, 100},
        {{2, 2, 2}, cube, 1, 1, 1, 812},
        {{2, 2, 2}, cube, 1, 0, 0, 203},
        {{2, 2, 2}, [](int x, int, int) { return 10 + x; }, 0.5f, 0.5f, 0.5f, 10},  // 10.5 truncates
        {{3, 2, 2}, three, 0.75f, 0, 1, 200},  // the second cell at fraction 0.5
        {{3, 2, 2}, three, 0.25f, 1, 0, 50},
        {{3, 2, 2}, three, 1.5f, 0, 0, 500},  // the last cell extrapolates
        {{3, 2, 2}, [](int x, int, int) { return 1000 + 10 * x; }, -0.5f, 0, 0, 990},  // ... and the first
        {{2, 2, 2}, steep, 3, 0.5f, 0.5f, 4095},
        {{2, 2, 2}, steep, nan, 0.5f, 0.5f, 100},
        {{1, 1, 1}, [](int, int, int) { return 123; }, -3, 7, 0.5f, 123},  // one sample: its layer
        {{3, 1, 1}, [](int x, int, int) { return 100 + 100 * x; }, 0.75f, 0.5f, 0.5f, 250},
        {{1, 2, 2}, [](int, int y, int z) { return 1000 + 100 * y + 10 * z; }, 0.7f, 0.5f, 0.5f, 1055},
    };
    for (const Case& c : cases) {
        const auto volume = volumeOf(c.size[0], c.size[1], c.size[2], c.density);
        EXPECT_EQ(volume->getDensityForRelative(c.rx, c.ry, c.rz), c.expected)
            << c.rx << " " << c.ry << " " << c.rz;
        for (float r : {-1e30f, -0.0f, 1.0000001f, 1e30f, inf, -inf, nan}) {  // in range, inside the arrays
            const int d = volume->getDensityForRelative(r, c.ry, r);
            ASSERT_TRUE(d >= 0 && d < kMaxDensity) << r;
            volume->getGradientForRelative(c.rx, r, r);
        }
    }
    // A constant cell returns its own value everywhere (products carried in double precision).
    const auto constant = volume(3, 3, 3, std::vector<std::uint16_t>(27, 2047));
    std::mt19937 random(3);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int i = 0; i < 2000; ++i)
        ASSERT_EQ(constant->getDensityForRelative(unit(random), unit(random), unit(random)), 2047);
    EXPECT_EQ(VolumeData::trilinear(2, 0, 0, 10, 20, 0, 0, 0, 0, 0, 0),
              30.0f);  // fractions beyond 1 extrapolate
}

TEST_F(Loader, InterpolatedGradientsBlendComponentsThenNormalise) {
    // 100, 110, 110, 100 along x: gradients +x, +x, -x, -x; halfway between opposites they cancel.
    const auto hill = volumeOf(4, 2, 2, [](int x, int, int) { return x == 1 || x == 2 ? 110 : 100; });
    EXPECT_TRUE(sameBits(hill->getGradientForRelative(0, 0, 0), MakeVector(1, 0, 0)));
    EXPECT_TRUE(sameBits(hill->getGradientForRelative(1, 1, 1), MakeVector(-1, 0, 0)));
    EXPECT_TRUE(sameBits(hill->getGradientForRelative(0.5f, 0.5f, 0.5f), MakeVector(0, 0, 0)));
    EXPECT_TRUE(sameBits(volumeOf(3, 1, 1, [](int x, int, int) { return 100 + 100 * x; })
                             ->getGradientForRelative(0.25f, 0.9f, 0.1f),
                         MakeVector(1, 0, 0)));
    std::mt19937 random(11);
    const auto noisy = volumeOf(4, 3, 5, [&](int, int, int) { return int(random() % 4096); });
    const float fx = 0.4f * 3.0f, fy = 0.8f * 2.0f, fz = 0.3f * 4.0f;  // relative (0.4, 0.8, 0.3)
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
    EXPECT_TRUE(sameBits(data.getGradientForRelative(0.4f, 0.8f, 0.3f),
                         NormalizeVector(MakeVector(c[0], c[1], c[2]))));
}

TEST(Vector, NormaliseSumAndDotProduct) {
    EXPECT_TRUE(sameBits(NormalizeVector(MakeVector(0, 0, 0)), MakeVector(0, 0, 0)));
    EXPECT_TRUE(sameBits(NormalizeVector(MakeVector(3, 0, 4)), MakeVector(0.6f, 0, 0.8f)));
    EXPECT_TRUE(sameBits(NormalizeVector(MakeVector(0, -2, 0)), MakeVector(0, -1, 0)));
    EXPECT_TRUE(sameBits(SumVectors(MakeVector(1, 2, 3), MakeVector(-1, -2, -3)), MakeVector(0, 0, 0)));
    EXPECT_EQ(VectorDotProduct(MakeVector(1, 0, 0), MakeVector(0, 1, 0)), 0.0f);
    const _Vector u = NormalizeVector(MakeVector(1, 2, 3));
    EXPECT_NEAR(VectorDotProduct(u, u), 1.0f, 1e-6f);
    // Squares that underflow to zero: returned unchanged, not scaled up.
    EXPECT_TRUE(sameBits(NormalizeVector(MakeVector(1e-30f, 0, 0)), MakeVector(1e-30f, 0, 0)));
}

}  // namespace
}  // namespace qz

// The .dat loader (messages, refusals, histogram, gradients, progress) and the volume's lookups.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <future>
#include <map>
#include <random>

#include "data/Data.h"
#include "platform/Progress.h"
#include "support/Notifications.h"
#include "support/TestFiles.h"

namespace qz {
namespace {

using testing::samplesOf;
using Lines = std::vector<std::string>;
const std::string kWarning = "Data:Warning: density > maxDensity", kShortFile = "Data:Error: file < 6 Bytes";

std::string invalidLength(std::size_t length) {
    return "Data:Error: file has invalid length '" + std::to_string(length) + "'";
}

bool sameBits(_Vector a, _Vector b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

class Loader : public ::testing::Test {
  protected:
    // Lines printed while loading path; the log holds only this load's notifications.
    Lines load(const std::string& path) {
        log.clear();
        return testing::stdoutLines([&] { data.loadFromFileName(path); });
    }
    Lines loadBytes(const std::string& bytes) { return load(dir.write("v.dat", bytes)); }
    std::shared_ptr<const VolumeData> volumeOf(int x, int y, int z,
                                               const std::function<int(int, int, int)>& f) {
        EXPECT_EQ(loadBytes(testing::volumeBytes(x, y, z, samplesOf(x, y, z, f))), Lines{});
        return data.volume();
    }
    testing::TempDir dir;
    NotificationCenter center;
    Data data{center};
    testing::NotificationLog log{center};
};

// Samples x fastest. The read and gradient phases post their schedules' values (see PlatformTest);
// new data follows the last progress record.
TEST_F(Loader, GoodFilesLoadSilentlyWithTheirLayoutAndProgress) {
    const auto v = volumeOf(3, 2, 2, [](int x, int y, int z) { return 100 * z + 10 * y + x + 20; });
    EXPECT_EQ(data.filename(), dir.file("v.dat"));
    EXPECT_EQ(v->xDim() * 100 + v->yDim() * 10 + v->zDim(), 322);
    EXPECT_EQ(v->getDensity(1, 0, 0) * 1000000 + v->getDensity(0, 1, 0) * 1000 + v->getDensity(2, 1, 1),
              21030132);
    auto values = [](const std::vector<ProgressStep>& steps) {
        std::vector<int> v;
        for (const ProgressStep& s : steps)
            v.push_back(s.value);
        return v;
    };
    const int sizes[] = {2, 2, 2, 1, 1, 3, 3, 1, 1, 7, 5, 3, 1, 1, 97, 101, 1, 1, 64, 64, 64, 33, 65, 17};
    for (const int* s = sizes; s != std::end(sizes); s += 3) {
        const std::int64_t n = std::int64_t(s[0]) * s[1] * s[2];
        const std::vector<int> read = values(startingPercentSchedule(n)),
                               gradients = values(lookBehindPercentSchedule(n));
        volumeOf(s[0], s[1], s[2], [](int, int, int) { return 500; });
        EXPECT_EQ(log.progress("read v.dat"), read) << n;
        EXPECT_EQ(log.progress("calculate gradients"), gradients) << n;
        EXPECT_EQ(log.entries().size(), read.size() + gradients.size() + 1);
        EXPECT_EQ(log.entries().back().name, kNewDataAvailable);
    }
    // A zero dimension gives an empty volume; trailing bytes are reported, then the volume loads.
    for (int empty : {0, 1, 2}) {
        const int d[3] = {empty != 0 ? 5 : 0, empty != 1 ? 5 : 0, empty != 2 ? 5 : 0};
        EXPECT_EQ(loadBytes(testing::volumeBytes(d[0], d[1], d[2], {}) + "x"), Lines{invalidLength(7)});
        EXPECT_EQ(data.xDim() * 10000 + data.yDim() * 100 + data.zDim(), d[0] * 10000 + d[1] * 100 + d[2]);
        EXPECT_EQ(data.getDensityForRelative(0.5f, 0.5f, 0.5f), 0);
        EXPECT_TRUE(sameBits(data.getGradientForRelative(1.0f, 0.0f, 0.5f), MakeVector(0, 0, 0)));
    }
}

// Clamped to 4095 with a warning each, up to a hundred, then one summary line; the histogram counts
// densities above 10 only, normalised by the largest such count.
TEST_F(Loader, ClampingWarningsAndHistogram) {
    for (int d = 0; d < kMaxDensity; ++d)
        ASSERT_EQ(data.getNormalizedOccurrenceForDensity(d), 0.0f) << d;  // before any load
    const auto bright = testing::volumeBytes(2, 2, 2, {4096, 4095, 5000, 8191, 32768, 40000, 65534, 65535});
    EXPECT_EQ(loadBytes(bright), Lines(7, kWarning));
    EXPECT_EQ(data.getDensity(0, 0, 0) + data.getDensityForRelative(0.3f, 0.6f, 0.9f), 2 * 4095);
    Lines expected(100, kWarning);
    expected.push_back(kWarning + " (300 samples clamped)");
    EXPECT_EQ(loadBytes(testing::volumeBytes(10, 10, 3, std::vector<std::uint16_t>(300, 4096))), expected);
    const std::pair<std::vector<int>, std::map<int, float>> cases[] = {
        {{11, 11, 12}, {{11, 1.0f}, {12, 0.5f}}}, {{0, 0, 0, 10, 13}, {{13, 1.0f}}}, {{0, 10, 5, 10}, {}}};
    for (const auto& [samples, nonZero] : cases) {
        volumeOf(int(samples.size()), 1, 1, [&](int x, int, int) { return samples[x]; });
        for (int d = 0; d < kMaxDensity; ++d)
            ASSERT_EQ(data.getNormalizedOccurrenceForDensity(d), nonZero.count(d) ? nonZero.at(d) : 0.0f)
                << d;
    }
}

// Whatever gives no header, a wrong length or more than memory holds is refused with its message:
// the last line printed goes out as the one notification, and the previous volume stays.
TEST_F(Loader, RefusedInputsLeaveThePreviousVolume) {
    const auto previous = volumeOf(2, 1, 1, [](int x, int, int) { return 100 + x; });
    std::vector<std::pair<std::string, Lines>> cases;
    const std::string full = testing::volumeBytes(3, 2, 2, std::vector<std::uint16_t>(12, 500));
    for (std::size_t size : {0, 1, 5, 6, 7, 18, 29})
        cases.push_back(
            {dir.write("cut" + std::to_string(size) + ".dat", full.substr(0, size)),
             size < 6 ? Lines{kShortFile}
                      : Lines{invalidLength(size), "Data:Error: file is shorter than its header promises (" +
                                                       std::to_string(size) + " of 30 bytes)"}});
    std::filesystem::create_directory(dir.file("folder.dat"));
    const std::string fifo = dir.file("pipe.dat");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {dir.file("missing.dat"), dir.file("folder.dat"), std::string("/dev/zero"),
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
        EXPECT_EQ(loading.get(), expected) << path;
        ASSERT_EQ(log.entries().size(), 1u) << path;
        EXPECT_EQ(log.entries()[0].name + log.entries()[0].info, kDataLoadFailed + expected.back());
        EXPECT_EQ(data.volume(), previous) << path;
        EXPECT_EQ(data.filename(), dir.file("v.dat")) << path;
    }
}

// On request, a volume without samples and a cancelled load are refused; the volume stays.
TEST_F(Loader, EmptyVolumesAndCancelledLoadsRefusedOnRequest) {
    dir.write("c.dat", testing::volumeBytes(1, 1, 1, {5}));
    const auto previous = volumeOf(2, 1, 1, [](int x, int, int) { return 100 + x; });
    data.setRefusesEmptyVolumes(true);
    EXPECT_EQ(loadBytes(testing::volumeBytes(0, 4, 4, {})),
              Lines{"Data:Error: the volume holds no samples (its dimensions are 0 x 4 x 4)"});
    EXPECT_EQ(data.volume(), previous);
    const std::atomic<bool> cancel{true};
    ReadOptions cancelled;
    cancelled.cancel = &cancel;
    EXPECT_EQ(testing::stdoutLines([&] { data.loadFromFileName(dir.file("c.dat"), cancelled); }),
              Lines{"Data:Error: loading cancelled"});
    EXPECT_EQ(data.volume(), previous);
}

// The vectorised gradient pass against the normalised central difference (one-sided at borders), bit
// for bit, on noise of awkward sizes. Interpolation blends the components, then normalises.
TEST_F(Loader, GradientsEqualCentralDifferencesBitForBit) {
    std::mt19937 random(7);
    const int sizes[] = {1, 1, 1, 2, 1, 1, 3, 2, 1, 5, 1, 7, 37, 23, 19, 64, 9, 2};
    for (const int* s = sizes; s != std::end(sizes); s += 3) {
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
    // 100, 110, 110, 100 along x: gradients +x, +x, -x, -x; halfway between opposites they cancel.
    const auto hill = volumeOf(4, 2, 2, [](int x, int, int) { return x == 1 || x == 2 ? 110 : 100; });
    EXPECT_TRUE(sameBits(hill->getGradientForRelative(0.5f, 0.5f, 0.5f), MakeVector(0, 0, 0)));
}

// Uneven spacing: each difference is divided by its axis's spacing (here z samples lie 2 mm
// apart), through the SSE rows and the scalar ends alike.
TEST_F(Loader, GradientsFollowUnevenSpacing) {
    testing::writeSpacedVolume(dir.file("v.spaced"), 9, 3, 3,
                               samplesOf(9, 3, 3, [](int x, int, int z) { return 100 * x + 100 * z; }),
                               {1.0, 1.0, 2.0});
    EXPECT_EQ(load(dir.file("v.spaced")), std::vector<std::string>{});
    EXPECT_EQ(data.volume()->spacing(), (std::array<double, 3>{1.0, 1.0, 2.0}));
    for (int x = 1; x < 8; ++x) {
        const _Vector g = data.getGradient(x, 1, 1);
        EXPECT_NEAR(g.x, 2.0 / std::sqrt(5.0), 1e-6) << x;
        EXPECT_NEAR(g.z, 1.0 / std::sqrt(5.0), 1e-6) << x;
        EXPECT_EQ(g.y, 0.0f) << x;
    }
}

// Grid lookups clamp to the border voxel; relative lookups interpolate (the last and first cells
// extrapolate), truncate, and stay in the density range wherever they are asked.
TEST_F(Loader, LookupsInsideOnAndOutsideTheGrid) {
    const auto v = volumeOf(3, 2, 2, [](int x, int y, int z) { return 100 * z + 10 * y + x + 20; });
    EXPECT_EQ(v->getDensity(-5, 0, 0) * 1000 + v->getDensity(9, 1, 1), 20132);
    EXPECT_EQ(v->getDensity(std::numeric_limits<int>::max(), std::numeric_limits<int>::min(), 0), 22);
    EXPECT_TRUE(sameBits(v->getGradient(-1, 100, 3), v->getGradient(0, 1, 1)));
    const float nan = std::nanf(""), inf = std::numeric_limits<float>::infinity();
    const std::vector<float> cases[] = {
        // x, y, z, the samples, then queries: relative x, y, z and the density expected
        {2,   2, 2, 100, 203, 301, 404, 500, 611, 707, 812, 0.5f, 0.5f, 0.5f,
         454, 0, 0, 0,   100, 1,   1,   1,   812, 1,   0,   0,    203},
        {2, 1, 1, 10, 11, 0.5f, 0.5f, 0.5f, 10},  // truncated
        {3, 1, 1, 0, 100, 300, 0.75f, 0, 1, 200, 0.25f, 1, 0, 50, 1.5f, 0, 0,
         500},                                          // the last cell extrapolates
        {3, 1, 1, 1000, 1010, 1020, -0.5f, 0, 0, 990},  // ... and the first
        {2, 1, 1, 100, 4000, 3, 0.5f, 0.5f, 4095, nan, 0.5f, 0.5f, 100},
        {1, 1, 1, 123, -3, 7, 0.5f, 123},  // one sample: its layer
        {1, 2, 2, 1000, 1100, 1010, 1110, 0.7f, 0.5f, 0.5f, 1055}};
    for (const std::vector<float>& c : cases) {
        const int x = int(c[0]), y = int(c[1]), z = int(c[2]);
        const auto volume =
            volumeOf(x, y, z, [&](int i, int j, int k) { return int(c[3 + i + x * (j + y * k)]); });
        for (std::size_t i = 3 + x * y * z; i < c.size(); i += 4) {
            const float* q = &c[i];
            EXPECT_EQ(volume->getDensityForRelative(q[0], q[1], q[2]), int(q[3])) << c[3] << " " << q[0];
            for (float r :
                 {-1e30f, -0.0f, 1.0000001f, 1e30f, inf, -inf, nan}) {  // in range, inside the arrays
                ASSERT_LT(unsigned(volume->getDensityForRelative(r, q[1], r)), unsigned(kMaxDensity)) << r;
                volume->getGradientForRelative(q[0], r, r);
            }
        }
    }
    // A constant cell returns its own value everywhere (products carried in double precision).
    const auto constant = volumeOf(3, 3, 3, [](int, int, int) { return 2047; });
    std::mt19937 random(3);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int i = 0; i < 2000; ++i)
        ASSERT_EQ(constant->getDensityForRelative(unit(random), unit(random), unit(random)), 2047);
}

}  // namespace
}  // namespace qz

// The .dat loader: messages, histogram, progress and the memory limit; short, cut, padded and empty
// files are in the hostile-input suite.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <numeric>
#include <thread>

#include "data/DataTestSupport.h"

namespace qz::test {
namespace {

constexpr const char* kWarning = "Data:Warning: density > maxDensity\n";

// The percentages of the sequential sample loop.
std::vector<int> sampleLoopPercents(std::int64_t n) {
    std::vector<int> out;
    int last = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        const int p = int(float(i) / float(n) * 100.0f);
        if (p > last)
            out.push_back(last = p);
    }
    return out;
}

// The percentages of the sequential gradient loop (x outermost, z innermost).
std::vector<int> gradientLoopPercents(int xDim, int yDim, int zDim) {
    std::vector<int> out;
    const std::int64_t n = std::int64_t(xDim) * yDim * zDim;
    int last = 0;
    for (int x = 0; x < xDim; ++x) {
        for (int y = 0; y < yDim; ++y) {
            for (int z = 0; z < zDim; ++z) {
                const std::int64_t k = (std::int64_t(x) * yDim + y) * zDim + z;
                if (int(float(k) / float(n) * 100.0f) > last) {
                    out.push_back(last = int(float(k + 1) / float(n) * 100.0f));
                }
            }
        }
    }
    return out;
}

class Loader : public ::testing::Test {
  protected:
    // Loads a first volume whose survival the failure tests check.
    void loadPrevious() {
        previousPath = dir.writeVolume("previous.dat", 2, 1, 1, {100, 200});
        EXPECT_EQ(loadCapturing(data, previousPath), "");
        previous = data.volume();
        ASSERT_EQ(previous->xDim(), 2);
        rec.clear();
    }

    void expectPreviousKept(const std::string& what) {
        EXPECT_EQ(data.volume(), previous) << what;
        EXPECT_EQ(data.filename(), previousPath) << what;
        EXPECT_EQ(data.getDensity(1, 0, 0), 200) << what;
        EXPECT_EQ(rec.newData, 0) << what;
        ASSERT_EQ(rec.failures.size(), 1u) << what;
        EXPECT_EQ(rec.failures[0].rfind("Data:Error: ", 0), 0u) << rec.failures[0];
        rec.clear();
    }

    TempDir dir;
    NotificationCenter center;
    Data data{center};
    Recorder rec{center};
    std::shared_ptr<const VolumeData> previous;
    std::string previousPath;
};

TEST_F(Loader, GoodFileLoadsSilentlyWithItsProgressAndLayout) {
    // 2 x 2 x 2, all samples above 10: data[1] is x = 1 (offset 8), data[2] is y = 1 (offset 10).
    const std::string path = dir.writeVolume("cube.dat", 2, 2, 2, {101, 102, 103, 104, 105, 106, 107, 108});
    EXPECT_EQ(loadCapturing(data, path), "");
    EXPECT_TRUE(data.hasData());
    EXPECT_EQ(data.filename(), path);
    EXPECT_EQ(data.xDim(), 2);
    EXPECT_EQ(data.maxDensity(), 4096);
    EXPECT_EQ(data.getDensity(1, 0, 0), 102);
    EXPECT_EQ(data.getDensity(0, 1, 0), 103);
    EXPECT_EQ(data.getDensity(1, 1, 1), 108);
    EXPECT_EQ(data.volume()->densities()[1], 102);
    EXPECT_EQ(data.volume()->densities()[2], 103);
    for (int d = 101; d <= 108; ++d)
        EXPECT_EQ(data.getNormalizedOccurrenceForDensity(d), 1.0f) << d;
    EXPECT_EQ(rec.percents("read cube.dat"), (std::vector<int>{12, 25, 37, 50, 62, 75, 87}));
    EXPECT_EQ(rec.percents("calculate gradients"), (std::vector<int>{25, 50, 75, 100}));
    EXPECT_EQ(rec.newData, 1);
    EXPECT_TRUE(rec.failures.empty());
    // "newDataAvailable" comes last, after every progress record.
    EXPECT_EQ(rec.progress.size(), 11u);
}

TEST_F(Loader, ProgressMatchesTheSequentialLoopsForAnySize) {
    const int sizes[][3] = {{1, 1, 3},  {3, 1, 1},   {7, 5, 3},    {50, 7, 3},
                            {1, 1, 97}, {101, 1, 1}, {64, 64, 64}, {33, 65, 17}};
    for (const auto& s : sizes) {
        const std::int64_t n = std::int64_t(s[0]) * s[1] * s[2];
        const std::string path =
            dir.writeVolume("p.dat", s[0], s[1], s[2], std::vector<int>(std::size_t(n), 500));
        rec.clear();
        EXPECT_EQ(loadCapturing(data, path), "");
        EXPECT_EQ(rec.percents("read p.dat"), sampleLoopPercents(n)) << s[0] << "x" << s[1] << "x" << s[2];
        EXPECT_EQ(rec.percents("calculate gradients"), gradientLoopPercents(s[0], s[1], s[2]))
            << s[0] << "x" << s[1] << "x" << s[2];
        // Read records come before gradient records.
        ASSERT_FALSE(rec.progress.empty());
        EXPECT_EQ(rec.progress.back().info, "calculate gradients");
    }
}

TEST_F(Loader, LargeSamplesAreClampedWithBoundedWarnings) {
    const std::string path = dir.writeVolume("bright.dat", 3, 1, 1, {5000, 4095, 65535});
    EXPECT_EQ(loadCapturing(data, path), std::string(kWarning) + kWarning);
    EXPECT_EQ(data.getDensity(0, 0, 0), 4095);
    EXPECT_EQ(data.getDensity(2, 0, 0), 4095);
    EXPECT_EQ(data.getNormalizedOccurrenceForDensity(4095), 1.0f);

    // Hundreds of clamped samples: the first hundred warnings, then one summary line.
    const std::string many = dir.writeVolume("many.dat", 10, 10, 3, std::vector<int>(300, 4096));
    std::string expected;
    for (int i = 0; i < 100; ++i)
        expected += kWarning;
    expected += "Data:Warning: density > maxDensity (300 samples clamped)\n";
    EXPECT_EQ(loadCapturing(data, many), expected);
    EXPECT_EQ(data.getDensity(9, 9, 2), 4095);
}

TEST_F(Loader, HistogramIsNormalisedByTheLargestCountAbove10) {
    // Before the first load: all zeros.
    for (int d = 0; d < kMaxDensity; ++d)
        ASSERT_EQ(data.getNormalizedOccurrenceForDensity(d), 0.0f) << d;

    EXPECT_EQ(loadCapturing(data, dir.writeVolume("a.dat", 3, 1, 1, {11, 11, 12})), "");
    for (int d = 0; d < kMaxDensity; ++d) {
        const float expected = d == 11 ? 1.0f : (d == 12 ? 0.5f : 0.0f);
        ASSERT_EQ(data.getNormalizedOccurrenceForDensity(d), expected) << d;
    }
    // Densities 0..10 are never counted, however frequent; none above 10 gives all zeros.
    EXPECT_EQ(loadCapturing(data, dir.writeVolume("b.dat", 5, 1, 1, {0, 0, 0, 10, 13})), "");
    EXPECT_EQ(data.getNormalizedOccurrenceForDensity(0), 0.0f);
    EXPECT_EQ(data.getNormalizedOccurrenceForDensity(13), 1.0f);
    EXPECT_EQ(loadCapturing(data, dir.writeVolume("c.dat", 4, 1, 1, {0, 10, 5, 10})), "");
    EXPECT_EQ(data.hasData(), true);
    for (int d = 0; d < kMaxDensity; ++d)
        ASSERT_EQ(data.getNormalizedOccurrenceForDensity(d), 0.0f) << d;
}

TEST_F(Loader, VolumesTooLargeForMemoryAreRefused) {
    loadPrevious();
    // An honest header over a sparse file: 8192^3 samples need terabytes.
    const std::string path = dir.writeVolume("huge.dat", 8192, 8192, 8192, {});
    if (::truncate(path.c_str(), off_t(6 + 2 * std::int64_t(8192) * 8192 * 8192)) != 0) {
        GTEST_SKIP() << "no sparse files here";
    }
    const std::string out = loadCapturing(data, path);
    EXPECT_EQ(out.rfind("Data:Error: volume of 8192 x 8192 x 8192 samples is too large", 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
    EXPECT_TRUE(rec.progress.empty());
    expectPreviousKept(path);
}

TEST_F(Loader, SharedInstanceIsOneObjectFromEveryThread) {
    Data* seen[4] = {};
    std::vector<std::thread> threads;
    for (auto& s : seen)
        threads.emplace_back([&s] { s = &Data::sharedInstance(); });
    for (auto& t : threads)
        t.join();
    for (Data* s : seen)
        EXPECT_EQ(s, &Data::sharedInstance());
}

// Readers hold snapshots while a loader keeps replacing the volume: every snapshot is whole.
TEST_F(Loader, ReadersRacingALoadSeeWholeVolumes) {
    const std::string a = dir.writeVolume("a.dat", 4, 4, 4, std::vector<int>(64, 100));
    const std::string b = dir.writeVolume("b.dat", 9, 5, 3, std::vector<int>(135, 200));
    data.loadFromFileName(a);
    std::atomic<bool> stop{false};
    std::atomic<int> problems{0};
    std::thread loader([&] {
        for (int i = 0; i < 40; ++i)
            data.loadFromFileName(i % 2 ? a : b);
        stop = true;
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) {
        readers.emplace_back([&] {
            while (!stop) {
                const auto v = data.volume();
                if (!v->hasData())
                    continue;
                const int expected = v->xDim() == 4 ? 100 : 200;
                const bool shapeOk = (v->xDim() == 4 && v->yDim() == 4 && v->zDim() == 4) ||
                                     (v->xDim() == 9 && v->yDim() == 5 && v->zDim() == 3);
                if (!shapeOk)
                    ++problems;
                for (std::int64_t i = 0; i < v->sampleCount(); ++i) {
                    if (v->densities()[i] != expected || v->gradients()[i].x != 0.0f)
                        ++problems;
                }
                if (v->getDensityForRelative(0.3f, 0.9f, 0.5f) != expected)
                    ++problems;
                if (v->getNormalizedOccurrenceForDensity(expected) != 1.0f)
                    ++problems;
                const int d = data.getDensity(8, 4, 2);  // whichever volume is current: clamped, whole
                if (d != 100 && d != 200)
                    ++problems;
            }
        });
    }
    loader.join();
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(problems.load(), 0);
}

}  // namespace
}  // namespace qz::test

// Hostile volume files: every one either loads soundly or is refused with a one-line message,
// the failure notification and the previous volume left exactly as it was.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <numeric>

#include "hostile/HostileSupport.h"

namespace qz::hostile {
namespace {

using namespace std::chrono_literals;

constexpr const char* kShortFile = "Data:Error: file < 6 Bytes";

std::string invalidLength(std::size_t length) {
    return "Data:Error: file has invalid length '" + std::to_string(length) + "'";
}

class HostileLoad : public ::testing::Test {
  protected:
    void SetUp() override {
        previousPath = dir.write("previous.dat", volumeFile(2, 1, 1, {100, 200}));
        data.loadFromFileName(previousPath);
        previous = data.volume();
        ASSERT_EQ(previous->xDim(), 2);
        rec.reset();
    }

    std::vector<std::string> load(const std::string& path) {
        rec.reset();
        return stdoutLines([&] { data.loadFromFileName(path); });
    }

    // Refused: one notification of failure, nothing else, the previous volume still in place.
    void expectRefused(const std::string& what) {
        EXPECT_EQ(rec.failed, 1) << what;
        EXPECT_EQ(rec.newData, 0) << what;
        EXPECT_FALSE(rec.failReason.empty()) << what;
        EXPECT_EQ(data.volume(), previous) << what;
        EXPECT_EQ(data.filename(), previousPath) << what;
        EXPECT_EQ(data.getDensity(1, 0, 0), 200) << what;
        EXPECT_TRUE(rec.problem().empty()) << rec.problem();
    }

    void expectLoaded(const std::vector<std::uint8_t>& bytes, const std::string& path) {
        EXPECT_EQ(rec.newData, 1);
        EXPECT_EQ(rec.failed, 0);
        ASSERT_NE(data.volume(), previous);
        EXPECT_EQ(data.filename(), path);
        EXPECT_EQ(fuzz::checkVolumeMatches(*data.volume(), bytes.data(), bytes.size()), "");
        EXPECT_TRUE(rec.problem().empty()) << rec.problem();
    }

    ScratchDir dir;
    NotificationCenter center;
    Data data{center};
    fuzz::LoadRecorder rec{center};
    std::shared_ptr<const VolumeData> previous;
    std::string previousPath;
};

// Files under six bytes, missing files, directories, devices and a FIFO without a writer: all
// refused with the short-file message, and none may keep the loader reading or waiting.
TEST_F(HostileLoad, WhatGivesNoHeaderIsRefusedWithTheShortFileMessage) {
    const auto full = volumeFile(2, 2, 2, {1, 2, 3, 4, 5, 6, 7, 8});
    std::vector<std::string> paths;
    for (std::size_t size = 0; size < 6; ++size)
        paths.push_back(
            dir.write("short" + std::to_string(size) + ".dat", {full.begin(), full.begin() + size}));
    const std::string removed = dir.write("removed.dat", volumeFile(1, 1, 1, {7}));
    std::filesystem::remove(removed);
    std::filesystem::create_directory(dir.file("folder.dat"));
    const std::string fifo = dir.file("pipe.dat");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    paths.insert(paths.end(), {removed, dir.file("folder.dat"), "/dev/zero", "/dev/null", "/proc/self/status",
                               std::string(), fifo});
    for (const std::string& path : paths) {
        std::vector<std::string> lines;
        // If the loader waits for a FIFO's writer, open one so that it wakes up, then fail.
        const bool returned = finishesWithin(
            20s, [&] { lines = load(path); },
            [&] {
                const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0)
                    ::close(fd);
            });
        ASSERT_TRUE(returned) << path << " kept the loader busy";
        EXPECT_EQ(lines, std::vector<std::string>{kShortFile}) << path;
        expectRefused(path);
    }
}

TEST_F(HostileLoad, EveryTruncationIsRefusedWithItsLength) {
    // 3 x 2 x 2: 30 bytes; cut inside the header, at the first sample, mid-sample, one byte short.
    std::vector<int> samples(12);
    std::iota(samples.begin(), samples.end(), 500);
    const auto full = volumeFile(3, 2, 2, samples);
    for (std::size_t size = 6; size < full.size(); ++size) {
        const std::string path =
            dir.write("cut" + std::to_string(size) + ".dat", {full.begin(), full.begin() + size});
        const auto lines = load(path);
        ASSERT_FALSE(lines.empty()) << size;
        EXPECT_EQ(lines.front(), invalidLength(size));
        for (const auto& line : lines)
            EXPECT_EQ(line.rfind("Data:Error: ", 0), 0u) << line;
        expectRefused(std::to_string(size) + " bytes");
    }
}

TEST_F(HostileLoad, HeadersPromisingFarMoreThanTheFileAreRefused) {
    struct Case {
        int x, y, z;
        std::size_t extra;  // sample bytes actually present
    };
    for (const Case c : {Case{65535, 65535, 65535, 0}, Case{65535, 65535, 65535, 8}, Case{65535, 65535, 1, 2},
                         Case{65535, 1, 1, 100}, Case{1, 1, 65535, 130000}, Case{40000, 40000, 2, 64}}) {
        auto bytes = volumeFile(c.x, c.y, c.z, {});
        bytes.resize(6 + c.extra, 0x11);
        const std::string path = dir.write("promise.dat", bytes);
        const auto lines = load(path);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), invalidLength(bytes.size()));
        expectRefused(std::to_string(c.x) + "x" + std::to_string(c.y) + "x" + std::to_string(c.z));
    }
}

TEST_F(HostileLoad, ZeroDimensionsLoadAnEmptyVolume) {
    for (const auto& dims :
         {std::array{0, 0, 0}, std::array{0, 5, 5}, std::array{5, 0, 5}, std::array{5, 5, 0}}) {
        for (std::size_t trailing : {0, 3}) {
            auto bytes = volumeFile(dims[0], dims[1], dims[2], {});
            bytes.resize(bytes.size() + trailing, 0xff);
            const std::string path = dir.write("empty.dat", bytes);
            const auto lines = load(path);
            const std::vector<std::string> expected =
                trailing == 0 ? std::vector<std::string>{}
                              : std::vector<std::string>{invalidLength(bytes.size())};
            EXPECT_EQ(lines, expected);
            expectLoaded(bytes, path);
            EXPECT_FALSE(data.hasData());
            EXPECT_EQ(data.getDensity(0, 0, 0), 0);
            EXPECT_EQ(data.getDensityForRelative(0.5f, 0.5f, 0.5f), 0);
            const _Vector g = data.getGradientForRelative(1.0f, 0.0f, 0.5f);
            EXPECT_EQ(g.x, 0.0f);
        }
    }
}

TEST_F(HostileLoad, TrailingBytesAreReportedAndIgnored) {
    for (std::size_t extra : {1, 2, 1001}) {
        auto bytes = volumeFile(2, 2, 2, {20, 30, 40, 50, 60, 70, 80, 90});
        bytes.resize(bytes.size() + extra, 0xee);
        const std::string path = dir.write("long.dat", bytes);
        EXPECT_EQ(load(path), std::vector<std::string>{invalidLength(bytes.size())});
        expectLoaded(bytes, path);
    }
}

TEST_F(HostileLoad, SamplesAbove4095AreClampedAndWarnedAbout) {
    const auto bytes = volumeFile(2, 2, 2, {4096, 4097, 5000, 8191, 32768, 40000, 65534, 65535});
    const std::string path = dir.write("bright.dat", bytes);
    const auto lines = load(path);
    EXPECT_EQ(lines, std::vector<std::string>(8, "Data:Warning: density > maxDensity"));
    expectLoaded(bytes, path);
    EXPECT_EQ(data.getNormalizedOccurrenceForDensity(4095), 1.0f);
    EXPECT_EQ(data.getDensityForRelative(0.3f, 0.6f, 0.9f), 4095);
}

// A file that changes under the loader must give either the file as it was when the load
// started or a refusal: never a volume mixing old, new or missing bytes.
class ChangingFile : public HostileLoad {
  protected:
    static constexpr int kX = 1024, kY = 1024, kZ = 3;  // several read chunks

    void run(const std::function<void(const std::string&)>& change) {
        std::vector<int> samples(std::size_t(kX) * kY * kZ);
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = int((i * 2654435761u) >> 20) & 4095;
        const auto bytes = volumeFile(kX, kY, kZ, samples);
        const std::string path = dir.write("changing.dat", bytes);
        std::atomic<bool> changed{false};
        Observation during(center, kUpdateProgressBar, nullptr, [&](const Notification& n) {
            if (n.stringValue("info").rfind("read ", 0) == 0 && !changed.exchange(true))
                change(path);
        });
        load(path);
        ASSERT_TRUE(changed.load()) << "no read progress was posted";
        RecordProperty("outcome", rec.failed == 1 ? "refused" : "loaded as it was");
        if (rec.failed == 1) {
            expectRefused("changed while loading");
        } else {
            expectLoaded(bytes, path);
        }
    }
};

TEST_F(ChangingFile, TruncatedWhileLoading) {
    run([](const std::string& path) { ASSERT_EQ(::truncate(path.c_str(), 6), 0); });
}

TEST_F(ChangingFile, RemovedWhileLoading) {
    run([](const std::string& path) { std::filesystem::remove(path); });
}

TEST_F(ChangingFile, ReplacedWhileLoading) {
    // How editors and downloads replace a file: a new one renamed over the old name.
    run([this](const std::string& path) {
        const std::string other = dir.write("other.dat", volumeFile(1, 1, 1, {9}));
        std::filesystem::rename(other, path);
    });
}

}  // namespace
}  // namespace qz::hostile

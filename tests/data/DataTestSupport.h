#pragma once

// Scratch volume files, captured output and a notification recorder for the loader tests.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "data/Data.h"

namespace qz::test {

// A directory of its own per test, removed afterwards.
class TempDir {
  public:
    TempDir() {
        static int counter = 0;
        path_ = std::filesystem::temp_directory_path() /
                ("qz-data-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

    std::string writeBytes(const std::string& name, const std::vector<std::uint8_t>& bytes) const {
        const std::string p = file(name);
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        EXPECT_TRUE(out.good()) << p;
        return p;
    }

    // A .dat file: little-endian dimensions, then the samples.
    std::string writeVolume(const std::string& name, int x, int y, int z,
                            const std::vector<int>& samples) const {
        return writeBytes(name, volumeBytes(x, y, z, samples));
    }

    static std::vector<std::uint8_t> volumeBytes(int x, int y, int z, const std::vector<int>& samples) {
        std::vector<std::uint8_t> bytes;
        for (int v : {x, y, z}) {
            bytes.push_back(std::uint8_t(v & 0xff));
            bytes.push_back(std::uint8_t(v >> 8));
        }
        for (int v : samples) {
            bytes.push_back(std::uint8_t(v & 0xff));
            bytes.push_back(std::uint8_t((v >> 8) & 0xff));
        }
        return bytes;
    }

  private:
    std::filesystem::path path_;
};

// Everything the loader posts, in order.
class Recorder {
  public:
    struct Progress {
        std::string info;
        int percent;
    };

    explicit Recorder(NotificationCenter& center)
        : progressObs_(center, kUpdateProgressBar, nullptr,
                       [this](const Notification& n) {
                           std::lock_guard lock(mutex_);
                           progress.push_back({n.stringValue("info"), n.intValue("progress")});
                       }),
          newDataObs_(center, kNewDataAvailable, nullptr,
                      [this](const Notification&) {
                          std::lock_guard lock(mutex_);
                          ++newData;
                      }),
          failedObs_(center, kDataLoadFailed, nullptr, [this](const Notification& n) {
              std::lock_guard lock(mutex_);
              failures.push_back(n.stringValue("info"));
          }) {}

    std::vector<int> percents(const std::string& info) const {
        std::vector<int> out;
        for (const auto& p : progress) {
            if (p.info == info)
                out.push_back(p.percent);
        }
        return out;
    }
    void clear() {
        progress.clear();
        newData = 0;
        failures.clear();
    }

    std::vector<Progress> progress;
    int newData = 0;
    std::vector<std::string> failures;

  private:
    std::mutex mutex_;
    Observation progressObs_, newDataObs_, failedObs_;
};

// What the loader printed on standard output while loading path.
inline std::string loadCapturing(Data& data, const std::string& path) {
    testing::internal::CaptureStdout();
    data.loadFromFileName(path);
    return testing::internal::GetCapturedStdout();
}

}  // namespace qz::test

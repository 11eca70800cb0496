#pragma once

// Scratch files for the tests: a directory of the test's own and .dat volume files.

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace qz::testing {

// A fresh directory, removed with everything in it when the object goes.
class TempDir {
  public:
    TempDir() {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                ("qz-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string path() const { return path_.string(); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

// The .dat format: three little-endian 16-bit dimensions, then the samples, x fastest.
inline void writeVolumeFile(const std::string& path, int x, int y, int z,
                            const std::vector<std::uint16_t>& samples) {
    std::string bytes;
    auto put = [&](unsigned v) {
        bytes += char(v & 0xff);
        bytes += char((v >> 8) & 0xff);
    };
    for (int d : {x, y, z})
        put(unsigned(d));
    for (std::uint16_t s : samples)
        put(s);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace qz::testing

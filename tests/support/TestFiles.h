#pragma once

// Scratch files for the tests: a directory of the test's own, .dat volume files, volumes with a voxel
// spacing, NIfTI files written byte by byte, captured output.

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "data/VolumeReader.h"

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

    std::string path() const { return path_.string(); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    // Writes bytes to file(name) and returns its path.
    std::string write(const std::string& name, const std::string& bytes) const {
        std::ofstream(file(name), std::ios::binary | std::ios::trunc) << bytes;
        return file(name);
    }

  private:
    std::filesystem::path path_;
};

// The .dat format: three little-endian 16-bit dimensions, then the samples, x fastest.
inline std::string volumeBytes(int x, int y, int z, const std::vector<std::uint16_t>& samples) {
    std::string bytes;
    for (unsigned v : {unsigned(x), unsigned(y), unsigned(z)})
        bytes += {char(v & 0xff), char(v >> 8 & 0xff)};
    for (std::uint16_t s : samples)
        bytes += {char(s & 0xff), char(s >> 8)};
    return bytes;
}

inline void writeVolumeFile(const std::string& path, int x, int y, int z,
                            const std::vector<std::uint16_t>& samples) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << volumeBytes(x, y, z, samples);
}

// density(x, y, z) for every voxel, in file order.
inline std::vector<std::uint16_t> samplesOf(int x, int y, int z,
                                            const std::function<int(int, int, int)>& density) {
    std::vector<std::uint16_t> s;
    for (int k = 0; k < z; ++k)
        for (int j = 0; j < y; ++j)
            for (int i = 0; i < x; ++i)
                s.push_back(std::uint16_t(density(i, j, k)));
    return s;
}

inline std::string readFile(const std::string& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// The lines written to standard output while work runs.
inline std::vector<std::string> stdoutLines(const std::function<void()>& work) {
    ::testing::internal::CaptureStdout();
    work();
    return lines(::testing::internal::GetCapturedStdout());
}

// A ".spaced" file, read through the core's reader interface: three native doubles (the spacing) and
// then a .dat file's bytes.
class SpacedReader : public VolumeReader {
  public:
    bool canRead(const std::string& path) const override {
        return path.size() > 7 && path.compare(path.size() - 7, 7, ".spaced") == 0;
    }
    Scan read(const std::string& path, const ReadOptions&, ProgressPoster&) const override {
        const std::string bytes = readFile(path);
        Scan scan;
        std::memcpy(scan.spacing.data(), bytes.data(), 3 * sizeof(double));
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + 3 * sizeof(double);
        for (int a = 0; a < 3; ++a)
            scan.dims[a] = p[2 * a] + 256 * p[2 * a + 1];
        const std::int64_t n = std::int64_t(scan.dims[0]) * scan.dims[1] * scan.dims[2];
        scan.densities = allocateDensities(n);
        for (std::int64_t i = 0; i < n; ++i)
            scan.densities[i] = std::uint16_t(p[6 + 2 * i] + 256 * p[7 + 2 * i]);
        return scan;
    }
};

// Writes path (ending in .spaced) holding these samples and spacing.
inline void writeSpacedVolume(const std::string& path, int x, int y, int z,
                              const std::vector<std::uint16_t>& samples,
                              const std::array<double, 3>& spacing) {
    static const bool registered = [] {
        registerVolumeReader(std::make_unique<SpacedReader>());
        return true;
    }();
    (void)registered;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(spacing.data()), 3 * sizeof(double));
    out << volumeBytes(x, y, z, samples);
}

template <class T>
inline void put(std::string& b, std::size_t at, T v) {
    std::memcpy(&b[at], &v, sizeof v);
}

template <class T>
inline std::string raw(const std::vector<T>& values) {
    return std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
}

// A .nii holding samples: NIfTI-1 (348-byte header) or NIfTI-2 (540), data at 352 or 544.
inline std::string nifti(int version, std::vector<std::int64_t> dims, int datatype, int bitpix,
                         std::array<double, 3> spacing, const std::string& samples) {
    const std::size_t offset = version == 1 ? 352 : 544;
    std::string b(offset, '\0');
    if (version == 1) {
        put<std::int32_t>(b, 0, 348);
        put<std::int16_t>(b, 40, std::int16_t(dims.size()));
        for (std::size_t i = 0; i < dims.size(); ++i)
            put<std::int16_t>(b, 42 + 2 * i, std::int16_t(dims[i]));
        put<std::int16_t>(b, 70, std::int16_t(datatype));
        put<std::int16_t>(b, 72, std::int16_t(bitpix));
        for (int a = 0; a < 3; ++a)
            put<float>(b, 80 + 4 * a, float(spacing[a]));
        put<float>(b, 108, float(offset));
        b.replace(344, 4, std::string("n+1\0", 4));
    } else {
        put<std::int32_t>(b, 0, 540);
        b.replace(4, 8, std::string("n+2\0\r\n\032\n", 8));
        put<std::int16_t>(b, 12, std::int16_t(datatype));
        put<std::int16_t>(b, 14, std::int16_t(bitpix));
        put<std::int64_t>(b, 16, std::int64_t(dims.size()));
        for (std::size_t i = 0; i < dims.size(); ++i)
            put<std::int64_t>(b, 24 + 8 * i, dims[i]);
        for (int a = 0; a < 3; ++a)
            put<double>(b, 112 + 8 * a, spacing[a]);
        put<std::int64_t>(b, 168, std::int64_t(offset));
    }
    return b + samples;
}

}  // namespace qz::testing

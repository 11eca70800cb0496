#pragma once

// Volumes with a voxel spacing for the core's tests, through the core's reader interface: a
// ".spaced" file is three native doubles (the spacing) and then a .dat file's bytes.

#include <cstring>
#include <fstream>
#include <iterator>

#include "data/VolumeReader.h"
#include "support/TestFiles.h"

namespace qz::testing {

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

}  // namespace qz::testing

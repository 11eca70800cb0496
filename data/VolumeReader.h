#pragma once

// The volume holder's one door for scan formats other than .dat: a reader answers "can you read
// this?" and "give me the densities and the spacing". Readers live outside the core (io/) and are
// registered once at start-up; the core knows none of their formats.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Progress.h"

namespace qz {

// A density window in the scan's own units (Hounsfield units for CT): lo maps to 0, hi to 4095,
// linearly; values outside are clamped.
struct DensityWindow {
    double lo = 0.0;
    double hi = 0.0;
};

struct ReadOptions {
    bool useWindow = false;  // false: the automatic density rule
    DensityWindow window;
    // While *cancel is set the load stops at its next chunk and is refused ("Data:Error: loading
    // cancelled"); a scan reader already reading finishes first. Null: never.
    const std::atomic<bool>* cancel = nullptr;
};

// A block of 16-bit densities from allocateDensities(); freed with std::free.
struct DensityDeleter {
    void operator()(std::uint16_t* p) const noexcept;
};
using DensityArray = std::unique_ptr<std::uint16_t[], DensityDeleter>;

// Storage for count densities, placed as the volume holder likes it (large blocks on huge
// pages). Throws std::bad_alloc.
DensityArray allocateDensities(std::int64_t count);

// A refusal: one line naming the problem (the volume holder adds the file's name).
class ScanError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Refuses (ScanError) a grid with a dimension outside 1 .. 65535, or one whose source bytes plus
// the loaded volume (16 bytes a voxel) would not fit in memory.
void checkScanFits(const std::array<std::int64_t, 3>& dims, std::int64_t sourceBytes);

// What a reader hands over: the grid (x fastest), its spacing and one density (0 .. 4095) per
// voxel, and lines worth telling the user ("took the first of 3 volumes").
struct Scan {
    std::array<int, 3> dims{0, 0, 0};
    std::array<double, 3> spacing{1.0, 1.0, 1.0};  // millimetres between neighbouring samples
    DensityArray densities;
    std::vector<std::string> notes;
};

class VolumeReader {
  public:
    virtual ~VolumeReader() = default;
    // Whether path is this reader's (by its name, its first bytes, or being a folder); cheap.
    virtual bool canRead(const std::string& path) const = 0;
    // Reads the scan, posting its progress to progress; throws ScanError or std::bad_alloc.
    virtual Scan read(const std::string& path, const ReadOptions& options,
                      ProgressPoster& progress) const = 0;
};

// Adds a reader; asked after those registered before it. Call before loads start.
void registerVolumeReader(std::unique_ptr<VolumeReader> reader);
// The first registered reader that can read path, or null (then the file is a .dat).
const VolumeReader* volumeReaderFor(const std::string& path);

}  // namespace qz

#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "data/Vector.h"
#include "data/VolumeReader.h"
#include "platform/NotificationCenter.h"

namespace qz {

// Size of the density domain: densities are 0 .. kMaxDensity - 1.
inline constexpr int kMaxDensity = 4096;

// One loaded volume: dimensions, densities, gradients and normalised histogram. Immutable once
// published by Data, so a render can hold the volume it started with while a load builds the next.
// Voxel (x, y, z) is entry x + y*xDim + z*xDim*yDim (x fastest), computed in 64 bits. Samples
// lie spacing() millimetres apart along each axis (1, 1, 1 for a .dat).
class VolumeData {
  public:
    VolumeData();  // the empty volume: dimensions 0, histogram all zeros

    int xDim() const { return xDim_; }
    int yDim() const { return yDim_; }
    int zDim() const { return zDim_; }
    std::int64_t sampleCount() const { return std::int64_t(xDim_) * yDim_ * zDim_; }
    bool hasData() const { return sampleCount() != 0; }
    const std::string& filename() const { return filename_; }
    const std::array<double, 3>& spacing() const { return spacing_; }
    // The same spacing on all three axes: the renderers then work in samples, as for a .dat.
    bool evenSpacing() const { return spacing_[0] == spacing_[1] && spacing_[1] == spacing_[2]; }

    std::int64_t index(int x, int y, int z) const {
        return std::int64_t(x) + std::int64_t(y) * xDim_ + std::int64_t(z) * xDim_ * yDim_;
    }

    // Voxel lookups. Coordinates outside the grid read the nearest border voxel; an empty
    // volume answers 0 and (0, 0, 0).
    int getDensity(int x, int y, int z) const;
    _Vector getGradient(int x, int y, int z) const;

    // Trilinear lookups at relative coordinates (0 = first sample, 1 = last on each axis).
    // The density is always within 0 .. kMaxDensity - 1; an axis of a single sample reads its
    // one layer.
    int getDensityForRelative(float rx, float ry, float rz) const;
    _Vector getGradientForRelative(float rx, float ry, float rz) const;

    // Products carried in double precision, so a constant cell returns its own value.
    static float trilinear(float x, float y, float z, float s000, float s100, float s010, float s110,
                           float s001, float s101, float s011, float s111);

    float getNormalizedOccurrenceForDensity(int density) const { return occurrence_[density]; }
    const std::array<float, kMaxDensity>& occurrence() const { return occurrence_; }
    // How many voxels hold density (0 outside the domain).
    std::int64_t voxelCount(int density) const {
        return density >= 0 && density < kMaxDensity ? counts_[std::size_t(density)] : 0;
    }

    // Raw arrays for the renderers' fast paths (sampleCount() entries each, allocated in whole
    // 64-byte units: an aligned 4-byte read that holds an entry stays inside).
    const std::uint16_t* densities() const { return densities_.get(); }
    const _Vector* gradients() const { return gradients_.get(); }

  private:
    friend class Data;
    friend class VolumeBuilder;

    std::string filename_;
    int xDim_ = 0;
    int yDim_ = 0;
    int zDim_ = 0;
    std::array<double, 3> spacing_{1.0, 1.0, 1.0};
    // Left uninitialised at allocation (the loader writes every entry) and, when large, placed on
    // transparent huge pages: first-touch page faults would otherwise dominate a load.
    struct FreeDeleter {
        void operator()(void* p) const noexcept;
    };
    DensityArray densities_;
    std::unique_ptr<_Vector[], FreeDeleter> gradients_;
    std::array<float, kMaxDensity> occurrence_{};
    std::array<std::int64_t, kMaxDensity> counts_{};
};

// The process-wide holder of the one loaded volume. A load builds a new VolumeData and
// publishes it at once, just before "newDataAvailable"; until then readers see the old one.
class Data {
  public:
    static Data& sharedInstance();  // created on first use, never destroyed

    explicit Data(NotificationCenter& center = NotificationCenter::defaultCenter());
    Data(const Data&) = delete;
    Data& operator=(const Data&) = delete;

    // Reads a .dat file (three little-endian uint16 dimensions, then uint16 samples), or a scan
    // through the registered reader that can read path (see VolumeReader.h), posting
    // "updateProgressBar" as it goes and "newDataAvailable" at the end. A failed load prints a
    // "Data:Error: ..." line, leaves the current volume as it was and posts kDataLoadFailed.
    // A file ending in .dat, and one no reader takes, loads as a .dat; the density window applies
    // to scans, the cancel flag to both. Loads are serialised; any thread may call this.
    void loadFromFileName(const std::string& path, const ReadOptions& options = {});
    // When set, a .dat whose volume holds no samples (a dimension is 0) is refused like a broken
    // file instead of replacing the current volume. Off by default.
    void setRefusesEmptyVolumes(bool refuses) { refusesEmptyVolumes_.store(refuses); }

    // The current volume (never null; the empty volume before the first load).
    std::shared_ptr<const VolumeData> volume() const;

    std::string filename() const;
    int xDim() const;
    int yDim() const;
    int zDim() const;
    int maxDensity() const { return kMaxDensity; }
    bool hasData() const;
    float getNormalizedOccurrenceForDensity(int density) const;

    // Lookups on the current volume (see VolumeData). A renderer takes volume() once instead.
    int getDensity(int x, int y, int z) const;
    _Vector getGradient(int x, int y, int z) const;
    int getDensityForRelative(float rx, float ry, float rz) const;
    _Vector getGradientForRelative(float rx, float ry, float rz) const;
    static float trilinear(float x, float y, float z, float s000, float s100, float s010, float s110,
                           float s001, float s101, float s011, float s111) {
        return VolumeData::trilinear(x, y, z, s000, s100, s010, s110, s001, s101, s011, s111);
    }

    NotificationCenter& notificationCenter() const { return center_; }

  private:
    NotificationCenter& center_;
    // Builds and publishes a new volume; false when the load was refused (already reported).
    bool load(const std::string& path, const std::atomic<bool>* cancel);
    bool loadScan(const VolumeReader& reader, const std::string& path, const ReadOptions& options);
    // Histogram and gradients of a volume whose densities are in place, then publication (unless
    // cancelled: then the refusal).
    bool finish(std::shared_ptr<VolumeData> volume, const std::array<std::int64_t, kMaxDensity>& counts,
                const std::atomic<bool>* cancel);
    void fail(const std::string& message);
    void publish(std::shared_ptr<const VolumeData> volume);

    mutable std::mutex mutex_;  // guards current_
    std::shared_ptr<const VolumeData> current_;
    std::mutex loadMutex_;  // one load at a time
    std::atomic<bool> refusesEmptyVolumes_{false};
};

}  // namespace qz

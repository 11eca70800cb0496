#pragma once

// Coarse structures that let a ray pass over stretches of the volume where no sample can matter:
// the densities' range per block of 4^3 to 32^3 voxels (per volume; blockShiftFor picks the size
// from the render's step length) and, per render, the largest opacity the transfer function gives
// inside each block's range.

#include <array>
#include <bit>
#include <cstdint>
#include <memory>
#include <vector>

#include "data/Data.h"
#include "transfer/TransferFkt.h"

namespace qz::emptyspace {

inline constexpr int kBlockApronBelow = 1;
inline constexpr int kBlockApronAbove = 2;

// Density range per block of 2^shift voxels a side. Block (bx, by, bz) covers the voxels
// bx*size - 1 .. bx*size + size + 1 on x, and likewise on y and z: every interpolation cell whose lower
// corner lies within one voxel of the block (a cell reads its upper neighbours too). A sample whose computed
// position is off by less than a voxel from the exact ray therefore still reads only voxels of the block the
// exact ray is in.
struct BlockGrid {
    int shift = 0;
    int nx = 0, ny = 0, nz = 0;
    std::vector<std::uint16_t> minDensity, maxDensity;
    std::int64_t index(int bx, int by, int bz) const {
        return bx + std::int64_t(nx) * (by + std::int64_t(ny) * bz);
    }
};

// The grid of a volume with blocks of 2^shift voxels (shift 2 to 5), built on first request and
// kept for the most recent volume.
std::shared_ptr<const BlockGrid> blockGridFor(const std::shared_ptr<const VolumeData>& volume, int shift);

// Block size for a render that advances stepVoxels voxels per step: a block should span a few
// steps, or walking the blocks costs more than it saves.
inline int blockShiftFor(double stepVoxels) {
    if (stepVoxels <= 0.5)
        return 2;
    if (stepVoxels <= 1.0)
        return 3;
    if (stepVoxels <= 2.0)
        return 4;
    return 5;
}

// Opacity questions over density ranges of one table.
class OpacityIndex {
  public:
    explicit OpacityIndex(const ColorTable& table);
    // Largest alpha of the densities lo .. hi (inclusive).
    int maxAlpha(int lo, int hi) const {
        if (lo > hi)
            return 0;
        const int level = std::bit_width(unsigned(hi - lo + 1)) - 1;
        const int a = levels_[level][lo], b = levels_[level][hi - (1 << level) + 1];
        return a > b ? a : b;
    }
    // Whether some density in lo .. hi has a non-zero alpha; false for an empty range.
    bool anyVisible(int lo, int hi) const {
        return lo <= hi && visibleBefore_[hi + 1] - visibleBefore_[lo] != 0;
    }

  private:
    std::array<int, kMaxDensity + 1> visibleBefore_;             // densities below d with alpha > 0
    std::vector<std::array<std::uint8_t, kMaxDensity>> levels_;  // max over 2^level densities
};

// The largest alpha the densities of each block can get.
std::vector<std::uint8_t> blockMaxAlpha(const BlockGrid& grid, const OpacityIndex& index);

// The structures of one renderer's last render, kept for the next one: while only the
// orientation changes (a drag in the preview) neither the volume nor the table does.
struct OpacityCache {
    std::shared_ptr<const BlockGrid> grid;
    ColorTable table{};
    std::unique_ptr<OpacityIndex> index;
    std::vector<std::uint8_t> blockAlpha;

    void update(const std::shared_ptr<const VolumeData>& volume, int shift, const ColorTable& newTable) {
        std::shared_ptr<const BlockGrid> newGrid = blockGridFor(volume, shift);
        if (index && newGrid == grid && newTable == table)
            return;
        if (!index || newTable != table)
            index = std::make_unique<OpacityIndex>(newTable);
        grid = std::move(newGrid);
        table = newTable;
        blockAlpha = blockMaxAlpha(*grid, *index);
    }
};

}  // namespace qz::emptyspace

#pragma once

// Coarse structures that let a ray pass over stretches of the volume where no sample can matter:
// the densities' range per block of 8^3 voxels (per volume) and, per render, the largest
// opacity the transfer function gives inside each block's range plus how far around a block
// everything is transparent.

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "data/Data.h"
#include "transfer/TransferFkt.h"

namespace qz::emptyspace {

inline constexpr int kBlockShift = 3;
inline constexpr int kBlockSize = 1 << kBlockShift;

// Density range per block. Block (bx, by, bz) covers the voxels bx*8 .. bx*8 + 8 on x (one voxel
// beyond the block, since an interpolation cell whose lower corner is in the block reads its
// upper neighbour), and likewise on y and z.
struct BlockGrid {
    int nx = 0, ny = 0, nz = 0;
    std::vector<std::uint16_t> minDensity, maxDensity;
    std::int64_t index(int bx, int by, int bz) const {
        return bx + std::int64_t(nx) * (by + std::int64_t(ny) * bz);
    }
};

// The grid of a volume, built on first request and kept for the most recent volume.
std::shared_ptr<const BlockGrid> blockGridFor(const std::shared_ptr<const VolumeData>& volume);

// Opacity questions over density ranges of one table.
class OpacityIndex {
  public:
    explicit OpacityIndex(const ColorTable& table);
    // Largest alpha of the densities lo .. hi (inclusive).
    int maxAlpha(int lo, int hi) const;
    // Whether some density in lo .. hi has a non-zero alpha; false for an empty range.
    bool anyVisible(int lo, int hi) const {
        return lo <= hi && visibleBefore_[hi + 1] - visibleBefore_[lo] != 0;
    }

  private:
    std::array<int, kMaxDensity + 1> visibleBefore_;             // densities below d with alpha > 0
    std::vector<std::array<std::uint8_t, kMaxDensity>> levels_;  // max over 2^level densities
};

// Per block: the largest alpha its densities can get, and the radius (in blocks, chessboard
// distance) of the cube around it that holds only transparent blocks (meaningful for
// transparent blocks only).
struct BlockOpacity {
    std::vector<std::uint8_t> maxAlpha;
    std::vector<std::uint8_t> clearRadius;
};

BlockOpacity blockOpacity(const BlockGrid& grid, const OpacityIndex& index);

}  // namespace qz::emptyspace

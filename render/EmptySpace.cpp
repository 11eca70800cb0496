#include "render/EmptySpace.h"

#include <algorithm>
#include <bit>
#include <mutex>

#include "platform/Threads.h"

namespace qz::emptyspace {

namespace {

std::shared_ptr<BlockGrid> buildGrid(const VolumeData& v, int shift) {
    auto grid = std::make_shared<BlockGrid>();
    grid->shift = shift;
    const int size = 1 << shift;
    const int X = v.xDim(), Y = v.yDim(), Z = v.zDim();
    grid->nx = (X + size - 1) >> shift;
    grid->ny = (Y + size - 1) >> shift;
    grid->nz = (Z + size - 1) >> shift;
    const std::int64_t blocks = std::int64_t(grid->nx) * grid->ny * grid->nz;
    grid->minDensity.assign(blocks, 0);
    grid->maxDensity.assign(blocks, 0);
    const std::uint16_t* densities = v.densities();
    const std::int64_t strideZ = std::int64_t(X) * Y;
    // One slab of blocks per task; a row's range is reused by every block it passes through.
    parallelFor(grid->nz, [&](std::int64_t bz) {
        const int z0 = std::max(0, (int(bz) << shift) - kBlockApronBelow);
        const int z1 = std::min(Z - 1, (int(bz) << shift) + size - 1 + kBlockApronAbove);
        for (int by = 0; by < grid->ny; ++by) {
            const int y0 = std::max(0, (by << shift) - kBlockApronBelow);
            const int y1 = std::min(Y - 1, (by << shift) + size - 1 + kBlockApronAbove);
            for (int bx = 0; bx < grid->nx; ++bx) {
                const int x0 = std::max(0, (bx << shift) - kBlockApronBelow);
                const int x1 = std::min(X - 1, (bx << shift) + size - 1 + kBlockApronAbove);
                int lo = kMaxDensity, hi = 0;
                for (int z = z0; z <= z1; ++z) {
                    for (int y = y0; y <= y1; ++y) {
                        const std::uint16_t* row = densities + z * strideZ + std::int64_t(y) * X;
                        for (int x = x0; x <= x1; ++x) {
                            lo = std::min<int>(lo, row[x]);
                            hi = std::max<int>(hi, row[x]);
                        }
                    }
                }
                const std::int64_t i = grid->index(bx, by, int(bz));
                grid->minDensity[i] = std::uint16_t(std::min(lo, kMaxDensity - 1));
                grid->maxDensity[i] = std::uint16_t(std::min(hi, kMaxDensity - 1));
            }
        }
    });
    return grid;
}

}  // namespace

std::shared_ptr<const BlockGrid> blockGridFor(const std::shared_ptr<const VolumeData>& volume, int shift) {
    // One grid per block size for the most recent volume; the renderers of a session share them.
    static std::mutex mutex;
    static std::weak_ptr<const VolumeData> cachedVolume;
    static std::shared_ptr<const BlockGrid> cachedGrids[6];
    std::lock_guard lock(mutex);
    if (cachedVolume.lock() != volume) {
        for (auto& g : cachedGrids)
            g.reset();
        cachedVolume = volume;
    }
    std::shared_ptr<const BlockGrid>& grid = cachedGrids[shift];
    if (!grid)
        grid = buildGrid(*volume, shift);
    return grid;
}

OpacityIndex::OpacityIndex(const ColorTable& table) {
    visibleBefore_[0] = 0;
    std::array<std::uint8_t, kMaxDensity> alpha;
    for (int d = 0; d < kMaxDensity; ++d) {
        alpha[d] = table[4 * d + 3];
        visibleBefore_[d + 1] = visibleBefore_[d] + (alpha[d] != 0);
    }
    levels_.push_back(alpha);
    for (int span = 1; 2 * span <= kMaxDensity; span *= 2) {
        const auto& below = levels_.back();
        std::array<std::uint8_t, kMaxDensity> next{};
        for (int d = 0; d + 2 * span <= kMaxDensity; ++d)
            next[d] = std::max(below[d], below[d + span]);
        levels_.push_back(next);
    }
}

std::vector<std::uint8_t> blockMaxAlpha(const BlockGrid& grid, const OpacityIndex& index) {
    std::vector<std::uint8_t> result(grid.minDensity.size());
    for (std::size_t i = 0; i < result.size(); ++i) {
        result[i] = std::uint8_t(index.maxAlpha(grid.minDensity[i], grid.maxDensity[i]));
    }
    return result;
}

}  // namespace qz::emptyspace

#include "render/EmptySpace.h"

#include <algorithm>
#include <mutex>

#include "platform/Threads.h"

namespace qz::emptyspace {

namespace {

std::shared_ptr<BlockGrid> buildGrid(const VolumeData& v) {
    auto grid = std::make_shared<BlockGrid>();
    const int X = v.xDim(), Y = v.yDim(), Z = v.zDim();
    grid->nx = (X + kBlockSize - 1) >> kBlockShift;
    grid->ny = (Y + kBlockSize - 1) >> kBlockShift;
    grid->nz = (Z + kBlockSize - 1) >> kBlockShift;
    const std::int64_t blocks = std::int64_t(grid->nx) * grid->ny * grid->nz;
    grid->minDensity.assign(blocks, 0);
    grid->maxDensity.assign(blocks, 0);
    const std::uint16_t* densities = v.densities();
    const std::int64_t strideZ = std::int64_t(X) * Y;
    // One slab of blocks per task; a row's range is reused by every block it passes through.
    parallelFor(grid->nz, [&](std::int64_t bz) {
        const int z0 = int(bz) << kBlockShift, z1 = std::min(Z - 1, z0 + kBlockSize);
        for (int by = 0; by < grid->ny; ++by) {
            const int y0 = by << kBlockShift, y1 = std::min(Y - 1, y0 + kBlockSize);
            for (int bx = 0; bx < grid->nx; ++bx) {
                const int x0 = bx << kBlockShift, x1 = std::min(X - 1, x0 + kBlockSize);
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

std::shared_ptr<const BlockGrid> blockGridFor(const std::shared_ptr<const VolumeData>& volume) {
    static std::mutex mutex;
    static std::weak_ptr<const VolumeData> cachedVolume;
    static std::shared_ptr<const BlockGrid> cachedGrid;
    std::lock_guard lock(mutex);
    if (cachedGrid && cachedVolume.lock() == volume)
        return cachedGrid;
    std::shared_ptr<const BlockGrid> grid = buildGrid(*volume);
    cachedVolume = volume;
    cachedGrid = grid;
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

int OpacityIndex::maxAlpha(int lo, int hi) const {
    if (lo > hi)
        return 0;
    int level = 0;
    while ((2 << level) <= hi - lo + 1)
        ++level;
    return std::max(levels_[level][lo], levels_[level][hi - (1 << level) + 1]);
}

BlockOpacity blockOpacity(const BlockGrid& grid, const OpacityIndex& index) {
    BlockOpacity result;
    const std::int64_t blocks = std::int64_t(grid.nx) * grid.ny * grid.nz;
    result.maxAlpha.resize(blocks);
    // Chessboard distance to the nearest block that is not transparent, by two chamfer passes
    // over the 26 neighbours (exact for this metric); the clear radius is one less.
    std::vector<std::uint8_t> distance(blocks);
    for (std::int64_t i = 0; i < blocks; ++i) {
        result.maxAlpha[i] = std::uint8_t(index.maxAlpha(grid.minDensity[i], grid.maxDensity[i]));
        distance[i] = result.maxAlpha[i] == 0 ? 255 : 0;
    }
    auto relax = [&](int bx, int by, int bz, int sign) {
        std::uint8_t& here = distance[grid.index(bx, by, bz)];
        if (here == 0)
            return;
        int best = here;
        for (int dz = -1; dz <= 0; ++dz) {
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    // The 13 neighbours visited before this block in the pass's order.
                    if (dz == 0 && (dy > 0 || (dy == 0 && dx >= 0)))
                        continue;
                    const int x = bx + sign * dx, y = by + sign * dy, z = bz + sign * dz;
                    if (x < 0 || y < 0 || z < 0 || x >= grid.nx || y >= grid.ny || z >= grid.nz)
                        continue;
                    best = std::min(best, distance[grid.index(x, y, z)] + 1);
                }
            }
        }
        here = std::uint8_t(std::min(best, 255));
    };
    for (int bz = 0; bz < grid.nz; ++bz)
        for (int by = 0; by < grid.ny; ++by)
            for (int bx = 0; bx < grid.nx; ++bx)
                relax(bx, by, bz, 1);
    for (int bz = grid.nz - 1; bz >= 0; --bz)
        for (int by = grid.ny - 1; by >= 0; --by)
            for (int bx = grid.nx - 1; bx >= 0; --bx)
                relax(bx, by, bz, -1);
    result.clearRadius.resize(blocks);
    for (std::int64_t i = 0; i < blocks; ++i)
        result.clearRadius[i] = distance[i] == 0 ? 0 : distance[i] - 1;
    return result;
}

}  // namespace qz::emptyspace

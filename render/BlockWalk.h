#pragma once

// The walk of a ray over the coarse blocks of the volume (EmptySpace.h): the blocks the exact ray
// passes, in order, and whether a block can change the ray at all, so that a ray steps sample by
// sample only through blocks where some sample could still matter.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "render/RayFrame.h"

namespace qz::raycast {

// Walks the blocks the exact ray passes, in order, with the stretch of steps spent in each.
class BlockWalk {
  public:
    // False when the ray cannot be inside the box at any step.
    bool start(const Frame& f, const float p[3], const float d[3]) {
        double lo = 0.0, hi = double(f.size);
        for (int a = 0; a < 3; ++a) {
            p_[a] = p[a];
            d_[a] = d[a];
            if (d[a] == 0.0f) {
                if (!(p[a] >= 0.0f && p[a] < f.extF[a]))
                    return false;  // constant and outside
                continue;
            }
            const double t0 = (-f.boxMargin - p_[a]) / d_[a];
            const double t1 = (f.ext[a] + f.boxMargin - p_[a]) / d_[a];
            lo = std::max(lo, std::min(t0, t1));
            hi = std::min(hi, std::max(t0, t1));
        }
        if (!(lo < hi))
            return false;
        t_ = lo;
        end_ = hi;
        for (int a = 0; a < 3; ++a) {
            last_[a] = f.blocks[a] - 1;
            perBlock_[a] = f.pPerBlock[a];
            if (f.dim[a] < 2) {
                block_[a] = 0;
                step_[a] = 0;
            } else {
                const double cell = (p_[a] + t_ * d_[a]) / perBlock_[a];
                block_[a] = int(std::clamp(std::floor(cell), 0.0, double(last_[a])));
                step_[a] = d_[a] > 0.0 ? 1 : (d_[a] < 0.0 ? -1 : 0);
            }
            next_[a] = boundaryAfter(a);
        }
        return true;
    }
    int block(int a) const { return block_[a]; }
    // The current block's stretch of the ray: steps k with first() <= k <= last().
    std::int64_t first() const { return std::int64_t(std::ceil(t_)); }
    std::int64_t last() const {
        return std::int64_t(std::ceil(std::min({next_[0], next_[1], next_[2], end_}))) - 1;
    }
    // Moves on to the next block; false when the ray has left the box.
    bool next() {
        int a = 0;
        if (next_[1] < next_[a])
            a = 1;
        if (next_[2] < next_[a])
            a = 2;
        if (!(next_[a] < end_))
            return false;
        t_ = next_[a];
        block_[a] += step_[a];
        next_[a] = boundaryAfter(a);
        return true;
    }

  private:
    double boundaryAfter(int a) const {
        constexpr double kNever = std::numeric_limits<double>::infinity();
        if (step_[a] > 0)
            return block_[a] < last_[a] ? ((block_[a] + 1) * perBlock_[a] - p_[a]) / d_[a] : kNever;
        if (step_[a] < 0)
            return block_[a] > 0 ? (block_[a] * perBlock_[a] - p_[a]) / d_[a] : kNever;
        return kNever;
    }

    double p_[3], d_[3], perBlock_[3];
    double t_, end_, next_[3];
    int block_[3], step_[3], last_[3];
};

// Whether every sample the ray could take in the block leaves it unchanged.
inline bool passes(const Frame& f, std::int64_t block, const CompositeRay& ray) {
    return f.blockAlpha[block] <= ray.inertAlpha;
}

inline bool passes(const Frame& f, std::int64_t block, const MaximumRay& ray) {
    if (f.blockAlpha[block] == 0)
        return true;
    const int hi = f.grid->maxDensity[block];
    if (hi <= ray.maxDensity)
        return true;
    return !f.opacityIndex->anyVisible(std::max<int>(f.grid->minDensity[block], ray.maxDensity + 1), hi);
}

}  // namespace qz::raycast

#pragma once

// The walk of a ray over the coarse blocks of the volume (EmptySpace.h): the blocks the ray's
// samples fall in, in order, and whether a block can change the ray at all, so that a ray takes
// samples only in blocks where some sample could still matter.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "render/RayAccumulators.h"
#include "render/RayFrame.h"
#include "render/Stepping.h"

namespace qz::raycast {

// Walks the blocks along the straight line from an exact sample position, with the stretch of
// steps spent in each. Every Frame::walkRun steps it restarts from the exact position the
// additions reach there, so the samples never stray more than half a voxel from the line.
class BlockWalk {
  public:
    // p, d: the ray's position at step 0 and its step. False when the ray cannot be inside the
    // box at any step.
    bool start(const Frame& f, const float p[3], const float d[3]) {
        double lo = 0.0, hi = double(f.size);
        for (int a = 0; a < 3; ++a) {
            if (d[a] == 0.0f) {
                if (!(p[a] >= 0.0f && p[a] < f.extF[a]))
                    return false;  // constant and outside
                continue;
            }
            const double t0 = (-f.boxMargin - double(p[a])) / double(d[a]);
            const double t1 = (f.ext[a] + f.boxMargin - double(p[a])) / double(d[a]);
            lo = std::max(lo, std::min(t0, t1));
            hi = std::min(hi, std::max(t0, t1));
        }
        if (!(lo < hi))
            return false;
        run_ = f.walkRun;
        end_ = hi;
        for (int a = 0; a < 3; ++a) {
            anchor_[a] = p[a];
            d_[a] = d[a];
            perStep_[a] = d[a] != 0.0f ? 1.0 / d_[a] : 0.0;
            last_[a] = f.blocks[a] - 1;
            perBlock_[a] = f.pPerBlock[a];
            step_[a] = f.dim[a] < 2 ? 0 : (d[a] > 0.0f ? 1 : (d[a] < 0.0f ? -1 : 0));
        }
        anchorStep_ = 0;
        nextAnchor_ = double(run_);
        if (lo >= nextAnchor_)  // the line from step 0 no longer holds where the box begins
            moveAnchor(std::int64_t(ceilOf(lo)));
        t_ = lo;
        locate();
        return true;
    }
    int block(int a) const { return block_[a]; }
    // The current block's stretch of the ray: steps k with first() <= k <= last().
    std::int64_t first() const { return std::int64_t(ceilOf(t_)); }
    std::int64_t last() const {
        return std::int64_t(ceilOf(std::min({next_[0], next_[1], next_[2], end_, nextAnchor_}))) - 1;
    }
    // Moves on to the next block (or the same one from a new exact position); false when the
    // ray has left the box.
    bool next() {
        int a = 0;
        if (next_[1] < next_[a])
            a = 1;
        if (next_[2] < next_[a])
            a = 2;
        if (nextAnchor_ <= next_[a] && nextAnchor_ < end_) {
            moveAnchor(std::int64_t(nextAnchor_));
            t_ = double(anchorStep_);
            locate();
            return true;
        }
        if (!(next_[a] < end_))
            return false;
        t_ = next_[a];
        block_[a] += step_[a];
        next_[a] = boundaryAfter(a);
        return true;
    }

  private:
    // Makes the exact position at step k the walk's origin.
    void moveAnchor(std::int64_t k) {
        if (k > anchorStep_) {
            for (int a = 0; a < 3; ++a)
                anchor_[a] = stepAhead(anchor_[a], d_[a], k - anchorStep_);
        }
        anchorStep_ = k;
        nextAnchor_ = double(k) + double(run_);
    }
    // The block at t_ on the line and the boundaries after it.
    void locate() {
        for (int a = 0; a < 3; ++a) {
            if (perBlock_[a] == 0.0) {
                block_[a] = 0;
            } else {
                const double cell = (anchor_[a] + (t_ - anchorStep_) * d_[a]) / perBlock_[a];
                block_[a] = int(std::clamp(floorOf(cell), 0.0, double(last_[a])));
            }
            next_[a] = boundaryAfter(a);
        }
    }
    double boundaryAfter(int a) const {
        constexpr double kNever = std::numeric_limits<double>::infinity();
        const double origin = double(anchor_[a]), t0 = double(anchorStep_);
        if (step_[a] > 0)
            return block_[a] < last_[a] ? t0 + ((block_[a] + 1) * perBlock_[a] - origin) * perStep_[a]
                                        : kNever;
        if (step_[a] < 0)
            return block_[a] > 0 ? t0 + (block_[a] * perBlock_[a] - origin) * perStep_[a] : kNever;
        return kNever;
    }

    float anchor_[3];  // the exact position at step anchorStep_
    double d_[3], perStep_[3], perBlock_[3];
    double t_, end_, next_[3], nextAnchor_;
    std::int64_t anchorStep_, run_;
    int block_[3], step_[3], last_[3];
};

// Whether every sample the ray could take in the block leaves it unchanged; state is the
// accumulator's inertAlpha (compositing) or maxDensity (maximum).
template <class Ray>
bool passes(const Frame& f, std::int64_t block, int state);

template <>
inline bool passes<CompositeRay>(const Frame& f, std::int64_t block, int state) {
    return f.blockAlpha[block] <= state;
}

template <>
inline bool passes<MaximumRay>(const Frame& f, std::int64_t block, int state) {
    if (f.blockAlpha[block] == 0)
        return true;
    const int hi = f.grid->maxDensity[block];
    if (hi <= state)
        return true;
    return !f.opacityIndex->anyVisible(std::max<int>(f.grid->minDensity[block], state + 1), hi);
}

}  // namespace qz::raycast

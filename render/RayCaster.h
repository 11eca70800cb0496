#pragma once

// The ray loop shared by Volume and MIP. The per-ray accumulator, the sampling quality and the
// shading switch are template parameters, so the inner loop carries no virtual call and no
// option test. Every pixel comes out exactly as the plain step-by-step loop computes it: each
// sample is taken at the position the single-precision additions give (stepAhead jumps there
// exactly), and only samples that provably cannot change the ray (transparent, or too faint to
// move its accumulators any more) are left out, along with the lookups they would have cost.
// Rays walk coarse blocks of the volume (EmptySpace.h) and step sample by sample only through
// blocks where some sample could still matter.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include <emmintrin.h>

#include "render/EmptySpace.h"
#include "render/Matrix.h"
#include "render/RenderSupport.h"
#include "render/Sampling.h"
#include "render/Shading.h"
#include "render/Stepping.h"
#include "render/Volume.h"

namespace qz {

// Front-to-back compositing: colour on the 0..255 scale, opacity on 0..1, carried in double
// precision between single-precision stores.
struct CompositeRay {
    float color[4];
    int inertAlpha;  // samples with alpha up to this leave the accumulator unchanged

    void resetRay() {
        color[0] = color[1] = color[2] = color[3] = 0.0f;
        inertAlpha = 0;
    }
    // a is the sample's alpha / 255, rounded to float.
    void updateRayWithRGBA(const std::uint8_t* rgba, float a, int /*density*/) {
        const double tau = 1.0 - color[3];
        color[3] = static_cast<float>(tau * a + color[3]);
        color[0] = static_cast<float>(tau * rgba[0] * a + color[0]);
        color[1] = static_cast<float>(tau * rgba[1] * a + color[1]);
        color[2] = static_cast<float>(tau * rgba[2] * a + color[2]);
    }
    bool finished() const { return color[3] >= 1.0f; }
    // Transparent and inert samples leave the accumulator as it is.
    bool wants(int /*density*/, int alphaByte) const { return alphaByte > inertAlpha; }
    // After a sample of this alpha byte: a saturating accumulator may have more inert alphas.
    void settle(const float* opacityOf, int alphaByte) {
        if (color[3] >= 0.99999f && alphaByte > inertAlpha)
            updateInertAlpha(opacityOf);
    }

    // Whether a sample of alpha / 255 = a would leave all four accumulators as they are, for any
    // colour bytes: the same double expressions as the update, with the brightest byte.
    bool leavesUnchanged(float a) const {
        const double tau = 1.0 - color[3];
        if (static_cast<float>(tau * a + color[3]) != color[3])
            return false;
        for (int c = 0; c < 3; ++c) {
            if (static_cast<float>(tau * 255 * a + color[c]) != color[c])
                return false;
        }
        return true;
    }
    // Recomputes inertAlpha after the accumulator changed; opacityOf[A] is A / 255 as the update
    // sees it. Opacity and colour only grow, so the threshold never has to fall; it stays 0
    // until the remaining transparency is tiny.
    void updateInertAlpha(const float* opacityOf) {
        if (color[3] < 0.99999f)
            return;
        int lo = inertAlpha, hi = 255;  // leavesUnchanged holds at lo; find the largest such alpha
        while (lo < hi) {
            const int mid = (lo + hi + 1) / 2;
            if (leavesUnchanged(opacityOf[mid])) {
                lo = mid;
            } else {
                hi = mid - 1;
            }
        }
        inertAlpha = lo;
    }
};

// Keeps the colour of the densest sample; the front one wins a tie, density 0 never counts.
struct MaximumRay {
    float color[4];
    int maxDensity;

    void resetRay() {
        color[0] = color[1] = color[2] = color[3] = 0.0f;
        maxDensity = 0;
    }
    void updateRayWithRGBA(const std::uint8_t* rgba, float a, int density) {
        if (density <= maxDensity)
            return;
        color[0] = rgba[0];
        color[1] = rgba[1];
        color[2] = rgba[2];
        maxDensity = density;
        color[3] = a;
    }
    bool finished() const { return color[3] >= 1.0f; }
    // A transparent sample, or one that cannot replace the kept one, needs no shading.
    bool wants(int density, int alphaByte) const { return alphaByte != 0 && density > maxDensity; }
    void settle(const float*, int) {}
};

namespace raycast {

// Everything a render derives once from its settings, its volume and its table.
struct Frame {
    const VolumeData* volume;
    const std::uint8_t* table;  // 4 bytes per density
    int areaRadius;
    int size;    // image side and number of steps per ray, 2 * areaRadius
    int dim[3];  // loaded dimensions
    int ext[3];  // scaled extents of the sample grid
    float extF[3];
    float dimM1[3];       // float(dim - 1)
    __m128 extV, dimM1V;  // the same with a harmless fourth lane
    int half[3];
    _Matrix volumeFromView;
    float stepFactor;
    Shading shading;
    float alpha[kMaxDensity];        // alpha / 255 per density
    float opacityOf[256];            // A / 255 per alpha byte
    std::vector<float> attenuation;  // per step
    sampling::CellReader reader;
    std::int64_t strideY, strideZ;
    bool anyInside;  // false when an extent is 0: no sample is ever inside
    // Empty-space skipping.
    const emptyspace::BlockGrid* grid;
    const std::uint8_t* blockAlpha;
    const emptyspace::OpacityIndex* opacityIndex;
    int blocks[3];
    double pPerBlock[3];  // sample-grid length of one block along each axis (dim > 1)
    float cellPerP[3];    // voxels per sample-grid unit, for prefetching only
    double stepError;     // bound on the rounding a single-precision addition adds to a position
    double boxMargin;     // slack around the box for positions built by up to `size` additions
    bool skipping;        // the block walk is precise enough for this render

    Frame(const VolumeData& v, const std::uint8_t* t, const Volume::Settings& s,
          const emptyspace::BlockGrid& g, const std::uint8_t* blockMaxAlpha,
          const emptyspace::OpacityIndex& oi);

    void startRay(int x, int y, float p[3], float d[3]) const {
        // MatrixTransformPoint of (x, y, -R, 1) and (x, y, R, 1), row by row, term by term.
        const float* m = volumeFromView.m;
        const float fx = float(x), fy = float(y), front = float(-areaRadius), back = float(areaRadius);
        for (int a = 0; a < 3; ++a) {
            const float* row = m + 4 * a;
            const float f = row[0] * fx + row[1] * fy + row[2] * front + row[3] * 1.0f;
            const float b = row[0] * fx + row[1] * fy + row[2] * back + row[3] * 1.0f;
            d[a] = (b - f) * stepFactor;
            p[a] = f + float(half[a]);
        }
    }

    // Written as "every coordinate inside" so that a NaN position counts as outside.
    bool inside(const float p[3]) const {
        return p[0] >= 0.0f && p[1] >= 0.0f && p[2] >= 0.0f && p[0] < extF[0] && p[1] < extF[1] &&
               p[2] < extF[2];
    }
};

inline Frame::Frame(const VolumeData& v, const std::uint8_t* t, const Volume::Settings& s,
                    const emptyspace::BlockGrid& g, const std::uint8_t* blockMaxAlpha,
                    const emptyspace::OpacityIndex& oi)
    : volume(&v),
      table(t),
      areaRadius(s.areaRadius),
      size(2 * s.areaRadius),
      shading(s.shading),
      reader(v),
      strideY(v.xDim()),
      strideZ(std::int64_t(v.xDim()) * v.yDim()),
      grid(&g),
      blockAlpha(blockMaxAlpha),
      opacityIndex(&oi) {
    dim[0] = v.xDim();
    dim[1] = v.yDim();
    dim[2] = v.zDim();
    int m = 0;
    for (int a = 0; a < 3; ++a)
        m = dim[a] > m ? dim[a] : m;
    const float scale = m > 0 ? float(s.maxImageResolution) / float(m) : 0.0f;
    anyInside = true;
    int extMax = 0;
    for (int a = 0; a < 3; ++a) {
        ext[a] = m > 0 ? int(float(dim[a]) * scale + 0.5f) : 0;  // nothing loaded: nothing inside
        extF[a] = float(ext[a]);
        dimM1[a] = float(dim[a] - 1);
        half[a] = ext[a] / 2;
        anyInside = anyInside && ext[a] > 0;
        extMax = std::max(extMax, ext[a]);
    }
    extV = _mm_setr_ps(extF[0], extF[1], extF[2], 1.0f);
    dimM1V = _mm_setr_ps(dimM1[0], dimM1[1], dimM1[2], 0.0f);
    for (int a = 0; a < 3; ++a)
        cellPerP[a] = ext[a] > 0 ? float(dim[a] - 1) / float(ext[a]) : 0.0f;
    blocks[0] = g.nx;
    blocks[1] = g.ny;
    blocks[2] = g.nz;
    volumeFromView = MatrixRotate(MakeMatrix(), s.orientation);
    stepFactor = float(0.5 / areaRadius);
    for (int density = 0; density < kMaxDensity; ++density)
        alpha[density] = float(table[4 * density + 3] / 255.0);
    for (int a = 0; a < 256; ++a)
        opacityOf[a] = float(a / 255.0);
    attenuation.resize(size);
    for (int k = 0; k < size; ++k)
        attenuation[k] = PhongIllumination::attenuation(float(double(float(k)) / size));

    // Positions stay below pMax in magnitude (the rotated ray range plus the half extents), so
    // each addition rounds by at most half an ulp of pMax; allow twice that.
    const double pMax = 4.0 * areaRadius + extMax + 1.0;
    stepError = pMax * 0x1p-23;
    boxMargin = size * stepError + 1e-3;
    // A sample read at a computed position may then be off the exact ray by `cellSlack` voxels
    // (additions, then the division and product into voxel units); blocks overlap by a voxel,
    // so the walk over the exact ray is safe below that.
    double cellSlack = 0.0;
    for (int a = 0; a < 3; ++a) {
        if (dim[a] > 1 && ext[a] > 0) {
            pPerBlock[a] = double(1 << g.shift) * double(ext[a]) / double(dim[a] - 1);
            cellSlack =
                std::max(cellSlack, boxMargin * double(dim[a] - 1) / double(ext[a]) + dim[a] * 0x1p-21);
        } else {
            pPerBlock[a] = 0.0;
        }
    }
    skipping = cellSlack < 0.5;
}

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

inline void advance(float p[3], const float d[3], std::int64_t n) {
    if (n < 16) {
        for (std::int64_t i = 0; i < n; ++i) {
            p[0] += d[0];
            p[1] += d[1];
            p[2] += d[2];
        }
        return;
    }
    for (int a = 0; a < 3; ++a)
        p[a] = stepAhead(p[a], d[a], n);
}

// Whether some density in lo .. hi could still change the ray.
inline bool mayChange(const Frame& f, int lo, int hi, const CompositeRay& ray) {
    return f.opacityIndex->maxAlpha(lo, hi) > ray.inertAlpha;
}

inline bool mayChange(const Frame& f, int lo, int hi, const MaximumRay& ray) {
    return hi > ray.maxDensity && f.opacityIndex->anyVisible(std::max(lo, ray.maxDensity + 1), hi);
}

// Asks for the memory a sample at p will read (roughly; a hint only), so that the cache misses of
// rays running across the slowest axis overlap with work.
template <bool Shade>
inline void prefetch(const Frame& f, const float p[3]) {
    const int x = int(p[0] * f.cellPerP[0]), y = int(p[1] * f.cellPerP[1]), z = int(p[2] * f.cellPerP[2]);
    if (x < 0 || y < 0 || z < 0 || x >= f.dim[0] || y >= f.dim[1] || z >= f.dim[2])
        return;
    const std::int64_t i = x + y * f.strideY + z * f.strideZ;
    __builtin_prefetch(f.volume->densities() + i);
    __builtin_prefetch(f.volume->densities() + i + f.strideY);
    if constexpr (Shade)
        __builtin_prefetch(f.volume->gradients() + i);
}

// The relative coordinate and interpolation cell of each axis for the last position, reused
// while a coordinate does not change (rays parallel to an axis keep two of them).
struct AxisMemo {
    float p[3] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::quiet_NaN(),
                  std::numeric_limits<float>::quiet_NaN()};
    float q[4];
    sampling::AxisCell cell[3];
    int voxel[4];
};

// One step of the plain loop at position p, step k; true when the ray is finished.
template <bool Nearest, bool Shade, class Ray>
inline bool sampleStep(const Frame& f, Ray& ray, sampling::CellCache& cache, AxisMemo& memo, const float p[3],
                       std::int64_t k) {
    if (!f.inside(p))
        return false;
    if constexpr (Nearest) {
        // The three quotients p / ext in one packed division (each lane the same IEEE single
        // division as the scalar one), then trunc(q * float(dim - 1)) per lane: inside the box
        // the products are small and positive.
        const __m128 qv = _mm_div_ps(_mm_setr_ps(p[0], p[1], p[2], 1.0f), f.extV);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(memo.voxel), _mm_cvttps_epi32(_mm_mul_ps(qv, f.dimM1V)));
        _mm_storeu_ps(memo.q, qv);
    } else {
        // Interpolated rays mostly run along an axis here: redo only the coordinates that moved.
        for (int a = 0; a < 3; ++a) {
            if (p[a] == memo.p[a] && std::signbit(p[a]) == std::signbit(memo.p[a]))
                continue;
            memo.p[a] = p[a];
            memo.q[a] = p[a] / f.extF[a];
            memo.cell[a] = sampling::axisCell(memo.q[a], f.dim[a]);
        }
    }
    const float* q = memo.q;
    sampling::AxisCell cell[3];
    int density;
    if constexpr (Nearest) {
        density =
            f.volume->densities()[memo.voxel[0] + memo.voxel[1] * f.strideY + memo.voxel[2] * f.strideZ];
    } else {
        for (int a = 0; a < 3; ++a)
            cell[a] = memo.cell[a];
        // The interpolated density lies within the cell's corner range: skip the interpolation
        // when nothing in that range could change the ray.
        cache.moveTo(f.reader.corners(cell[0], cell[1], cell[2]));
        if (!mayChange(f, cache.lowest(), cache.highest(), ray))
            return false;
        // Tighter: the range along the ray's depth within the cell at these x and y fractions.
        int lo, hi;
        cache.columnRange(cell[0].fraction, cell[1].fraction, lo, hi);
        if (!mayChange(f, lo, hi, ray))
            return false;
        density = cache.density(cell[0].fraction, cell[1].fraction, cell[2].fraction);
    }
    const std::uint8_t* entry = f.table + 4 * density;
    if (!ray.wants(density, entry[3]))
        return false;
    std::uint8_t rgba[4] = {entry[0], entry[1], entry[2], entry[3]};
    if constexpr (Shade) {
        if constexpr (Nearest) {
            for (int a = 0; a < 3; ++a)
                cell[a] = sampling::axisCell(q[a], f.dim[a]);
            cache.moveTo(f.reader.corners(cell[0], cell[1], cell[2]));
        }
        const _Vector g = cache.gradient(cell[0].fraction, cell[1].fraction, cell[2].fraction);
        f.shading.apply(rgba, g, f.attenuation[k]);
    }
    ray.updateRayWithRGBA(rgba, f.alpha[density], density);
    if (ray.finished())
        return true;
    ray.settle(f.opacityOf, entry[3]);
    return false;
}

template <bool Nearest, bool Shade, class Ray>
void castPixel(const Frame& f, int x, int y, std::uint8_t* out) {
    Ray ray;
    ray.resetRay();
    sampling::CellCache cache(f.reader);
    AxisMemo memo;
    float p[3], d[3];
    f.startRay(x, y, p, d);
    const bool finite = std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]) &&
                        std::isfinite(d[0]) && std::isfinite(d[1]) && std::isfinite(d[2]);
    if (finite && f.anyInside && f.skipping) {
        // Visit the blocks along the ray; sample only the stretches in blocks where a sample could
        // still change the ray, and move the position over the others in one go.
        BlockWalk walk;
        if (walk.start(f, p, d)) {
            std::int64_t k = 0;
            do {
                if (passes(f, f.grid->index(walk.block(0), walk.block(1), walk.block(2)), ray))
                    continue;
                const std::int64_t first = std::max(k, walk.first());
                const std::int64_t last = std::min<std::int64_t>(f.size - 1, walk.last());
                if (first > last)
                    continue;
                advance(p, d, first - k);
                for (k = first; k <= last; ++k) {
                    const float ahead[3] = {p[0] + 6 * d[0], p[1] + 6 * d[1], p[2] + 6 * d[2]};
                    prefetch<Shade>(f, ahead);
                    if (sampleStep<Nearest, Shade>(f, ray, cache, memo, p, k))
                        goto finished;
                    p[0] += d[0];
                    p[1] += d[1];
                    p[2] += d[2];
                }
            } while (walk.next());
        }
    } else if (finite && f.anyInside) {
        for (std::int64_t k = 0; k < f.size; ++k) {
            const float ahead[3] = {p[0] + 6 * d[0], p[1] + 6 * d[1], p[2] + 6 * d[2]};
            prefetch<Shade>(f, ahead);
            if (sampleStep<Nearest, Shade>(f, ray, cache, memo, p, k))
                break;
            p[0] += d[0];
            p[1] += d[1];
            p[2] += d[2];
        }
    }
finished:
    for (int c = 0; c < 3; ++c) {
        const float v = ray.color[c] > 255.0f ? 255.0f : ray.color[c];
        out[c] = std::uint8_t(int(v));
    }
    out[3] = 255;
}

template <bool Nearest, bool Shade, class Ray>
void castAll(const Frame& f, std::uint8_t* pixels, NotificationCenter& center) {
    ParallelProgress progress(risingPercentSchedule(std::int64_t(f.size) * f.size), "calculate volume",
                              center);
    // Square tiles of neighbouring rays run one after another, so the voxels one ray brings into
    // the cache are still there for the rays beside it; each tile owns its pixels.
    constexpr int kTile = 8;
    const int tilesPerRow = (f.size + kTile - 1) / kTile;
    parallelChunks(
        std::int64_t(tilesPerRow) * tilesPerRow, 8, [&](std::int64_t tileBegin, std::int64_t tileEnd) {
            std::int64_t done = 0;
            for (std::int64_t tile = tileBegin; tile < tileEnd; ++tile) {
                const int i0 = int(tile % tilesPerRow) * kTile, j0 = int(tile / tilesPerRow) * kTile;
                const int i1 = std::min(f.size, i0 + kTile), j1 = std::min(f.size, j0 + kTile);
                for (int j = j0; j < j1; ++j) {
                    std::uint8_t* out = pixels + 4 * (std::size_t(f.size) * std::size_t(j) + std::size_t(i0));
                    for (int i = i0; i < i1; ++i, out += 4) {
                        castPixel<Nearest, Shade, Ray>(f, i - f.areaRadius, j - f.areaRadius, out);
                    }
                }
                done += std::int64_t(i1 - i0) * (j1 - j0);
            }
            progress.addDone(done);
        });
    progress.finish();
}

}  // namespace raycast

// Renders one image under settings with the accumulator Ray; null when the image is empty.
template <class Ray>
std::shared_ptr<const RgbaImage> castRays(const std::shared_ptr<const VolumeData>& volume,
                                          const ColorTable& table, const Volume::Settings& settings,
                                          emptyspace::OpacityCache& cache, NotificationCenter& center) {
    if (settings.areaRadius <= 0)
        return nullptr;
    std::shared_ptr<RgbaImage> image = allocateImage(2 * settings.areaRadius, 2 * settings.areaRadius);
    // Voxels per step: the largest dimension spans maxImageResolution steps.
    const int largest = std::max({volume->xDim(), volume->yDim(), volume->zDim(), 1});
    const double stepVoxels = double(largest) / std::max(1, settings.maxImageResolution);
    cache.update(volume, emptyspace::blockShiftFor(stepVoxels), table);
    const auto frame = std::make_unique<raycast::Frame>(*volume, table.data(), settings, *cache.grid,
                                                        cache.blockAlpha.data(), *cache.index);
    std::uint8_t* pixels = image->pixels.data();
    const bool nearest = settings.quality == 0;
    if (nearest && settings.doShading) {
        raycast::castAll<true, true, Ray>(*frame, pixels, center);
    } else if (nearest) {
        raycast::castAll<true, false, Ray>(*frame, pixels, center);
    } else if (settings.doShading) {
        raycast::castAll<false, true, Ray>(*frame, pixels, center);
    } else {
        raycast::castAll<false, false, Ray>(*frame, pixels, center);
    }
    return image;
}

}  // namespace qz

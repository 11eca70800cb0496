#pragma once

// One ray-cast render's fixed quantities (Frame) and the step that takes one sample into a ray.
// A sample is taken at the position the single-precision additions p += d give (stepAhead jumps
// there exactly); a sample that provably cannot change the ray (transparent, or too faint to
// move its accumulators any more) is left out along with the lookups it would have cost.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include <emmintrin.h>

#include "data/Data.h"
#include "render/EmptySpace.h"
#include "render/Matrix.h"
#include "render/RayAccumulators.h"
#include "render/RayCastSettings.h"
#include "render/Sampling.h"
#include "render/Shading.h"
#include "render/Stepping.h"

namespace qz::raycast {

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

    Frame(const VolumeData& v, const std::uint8_t* t, const RayCastSettings& s,
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

inline Frame::Frame(const VolumeData& v, const std::uint8_t* t, const RayCastSettings& s,
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
    // Uneven spacing: the physical extents (samples times spacing) are scaled instead.
    double length[3], longest = 0.0;
    for (int a = 0; a < 3; ++a) {
        length[a] = double(dim[a]) * v.spacing()[a];
        longest = std::max(longest, length[a]);
    }
    anyInside = true;
    int extMax = 0;
    for (int a = 0; a < 3; ++a) {
        if (m == 0) {
            ext[a] = 0;  // nothing loaded: nothing inside
        } else if (v.evenSpacing()) {
            ext[a] = int(float(dim[a]) * scale + 0.5f);
        } else {
            ext[a] = int(double(s.maxImageResolution) * length[a] / longest + 0.5);
        }
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

// Takes the sample of step k at position p into the ray; true when the ray is finished.
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

}  // namespace qz::raycast

#pragma once

// Inline versions of the volume's interpolating lookups for the renderers' inner loops. They
// follow VolumeData::getDensityForRelative / getGradientForRelative operation for operation
// (same cell choice, same double-precision products in the same order), so they return the same
// bits; the tests hold them against the originals.

#include <cmath>
#include <cstdint>

#include "data/Data.h"

namespace qz::sampling {

// One axis of a trilinear lookup: lower sample, offset to the upper one, fraction in the cell.
struct AxisCell {
    int lower;
    int upper;
    float fraction;
};

inline AxisCell axisCell(float r, int dim) {
    float f = r * static_cast<float>(dim - 1);
    if (std::isnan(f))
        f = 0.0f;
    if (dim < 2)
        return AxisCell{0, 0, f};
    int i;
    if (f >= static_cast<float>(dim - 1)) {
        i = dim - 2;
    } else if (f < 0.0f) {
        i = 0;
    } else {
        i = static_cast<int>(f);
        if (i >= dim - 1)
            i = dim - 2;
    }
    return AxisCell{i, i + 1, f - static_cast<float>(i)};
}

// The interpolation with double products, term by term as VolumeData::trilinear forms them.
inline float trilinear(float x, float y, float z, double s000, double s100, double s010, double s110,
                       double s001, double s101, double s011, double s111) {
    const double dx = x, dy = y, dz = z;
    const double result = s000 * (1 - dx) * (1 - dy) * (1 - dz) + s100 * dx * (1 - dy) * (1 - dz) +
                          s010 * (1 - dx) * dy * (1 - dz) + s110 * dx * dy * (1 - dz) +
                          s001 * (1 - dx) * (1 - dy) * dz + s101 * dx * (1 - dy) * dz +
                          s011 * (1 - dx) * dy * dz + s111 * dx * dy * dz;
    return static_cast<float>(result);
}

// The eight corners of a cell as array offsets from its lower corner.
struct Corners {
    std::int64_t base;
    std::int64_t ox, oy, oz;
};

// Reads cells of one volume; the strides come from its dimensions.
struct CellReader {
    const std::uint16_t* densities;
    const _Vector* gradients;
    std::int64_t strideY, strideZ;

    explicit CellReader(const VolumeData& v)
        : densities(v.densities()),
          gradients(v.gradients()),
          strideY(v.xDim()),
          strideZ(std::int64_t(v.xDim()) * v.yDim()) {}

    Corners corners(const AxisCell& cx, const AxisCell& cy, const AxisCell& cz) const {
        return Corners{cx.lower + cy.lower * strideY + cz.lower * strideZ, cx.upper - cx.lower,
                       (cy.upper - cy.lower) * strideY, (cz.upper - cz.lower) * strideZ};
    }

    // As getDensityForRelative: interpolated, then clamped into the density domain and truncated.
    int density(const Corners& c, float fx, float fy, float fz) const {
        const std::uint16_t* d = densities + c.base;
        const float t = trilinear(fx, fy, fz, float(d[0]), float(d[c.ox]), float(d[c.oy]),
                                  float(d[c.ox + c.oy]), float(d[c.oz]), float(d[c.ox + c.oz]),
                                  float(d[c.oy + c.oz]), float(d[c.ox + c.oy + c.oz]));
        if (!(t > 0.0f))
            return 0;
        if (t >= static_cast<float>(kMaxDensity - 1))
            return kMaxDensity - 1;
        return static_cast<int>(t);
    }

    // As getGradientForRelative: each component interpolated, then normalised.
    _Vector gradient(const Corners& c, float fx, float fy, float fz) const {
        const _Vector* g = gradients + c.base;
        const _Vector &s000 = g[0], &s100 = g[c.ox], &s010 = g[c.oy], &s110 = g[c.ox + c.oy], &s001 = g[c.oz],
                      &s101 = g[c.ox + c.oz], &s011 = g[c.oy + c.oz], &s111 = g[c.ox + c.oy + c.oz];
        const float x = trilinear(fx, fy, fz, s000.x, s100.x, s010.x, s110.x, s001.x, s101.x, s011.x, s111.x);
        const float y = trilinear(fx, fy, fz, s000.y, s100.y, s010.y, s110.y, s001.y, s101.y, s011.y, s111.y);
        const float z = trilinear(fx, fy, fz, s000.z, s100.z, s010.z, s110.z, s001.z, s101.z, s011.z, s111.z);
        return NormalizeVector(MakeVector(x, y, z));
    }
};

}  // namespace qz::sampling

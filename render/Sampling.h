#pragma once

// An inline version of the volume's interpolating density lookup for the slice renderer's inner
// loop. It follows VolumeData::getDensityForRelative operation for operation (same cell choice,
// same double-precision products in the same order), so it returns the same value; the tests hold
// it against the original.

#include <cmath>
#include <cstdint>

#include "data/AxisCell.h"
#include "data/Data.h"

namespace qz::sampling {

using qz::AxisCell;
using qz::axisCell;

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
    std::int64_t strideY, strideZ;

    explicit CellReader(const VolumeData& v)
        : densities(v.densities()), strideY(v.xDim()), strideZ(std::int64_t(v.xDim()) * v.yDim()) {}

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
};

}  // namespace qz::sampling

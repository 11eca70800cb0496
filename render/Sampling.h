#pragma once

// Inline versions of the volume's interpolating lookups for the renderers' inner loops. They
// follow VolumeData::getDensityForRelative / getGradientForRelative operation for operation
// (same cell choice, same double-precision products in the same order), so they return the same
// bits; the tests hold them against the originals.

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

// One interpolation cell as a ray passes through it. Consecutive samples often fall into the
// same cell, and along axis-parallel rays with the same x and y fractions too; the corner values
// and the partial products (s * wx) * wy, which the interpolation forms first for every corner,
// are then kept instead of formed again. The final products with the z weight and the sum run
// as in trilinear(), so the results are the same bits.
class CellCache {
  public:
    explicit CellCache(const CellReader& reader) : reader_(reader) {}

    // Makes c the current cell; returns false when it was already.
    bool moveTo(const Corners& c) {
        if (c.base == cell_.base && c.ox == cell_.ox && c.oy == cell_.oy && c.oz == cell_.oz)
            return false;
        cell_ = c;
        const std::uint16_t* d = reader_.densities + c.base;
        const std::uint16_t v[8] = {d[0],    d[c.ox],        d[c.oy],        d[c.ox + c.oy],
                                    d[c.oz], d[c.ox + c.oz], d[c.oy + c.oz], d[c.ox + c.oy + c.oz]};
        lo_ = hi_ = v[0];
        for (int i = 0; i < 8; ++i) {
            density_[i] = float(v[i]);
            lo_ = v[i] < lo_ ? v[i] : lo_;
            hi_ = v[i] > hi_ ? v[i] : hi_;
        }
        densityReady_ = gradientReady_ = false;
        return true;
    }
    // The range of the corner densities: every interpolated density of the cell lies in it.
    int lowest() const { return lo_; }
    int highest() const { return hi_; }

    // The range of the densities density(fx, fy, fz) can return for any fz: the interpolation is
    // linear in fz between the bilinear values of the cell's two faces, and the rounding of the
    // sum moves it by far less than the margin here.
    void columnRange(float fx, float fy, int& lo, int& hi) {
        preparePartials(fx, fy);
        lo = columnLo_;
        hi = columnHi_;
    }

    int density(float fx, float fy, float fz) {
        preparePartials(fx, fy);
        const float t = finish(densityPartial_, fz);
        if (!(t > 0.0f))
            return 0;
        if (t >= static_cast<float>(kMaxDensity - 1))
            return kMaxDensity - 1;
        return static_cast<int>(t);
    }

    _Vector gradient(float fx, float fy, float fz) {
        if (!gradientReady_ || fx != gradientFx_ || fy != gradientFy_) {
            const Corners& c = cell_;
            const _Vector* g = reader_.gradients + c.base;
            const _Vector* corner[8] = {g,        g + c.ox,        g + c.oy,        g + c.ox + c.oy,
                                        g + c.oz, g + c.ox + c.oz, g + c.oy + c.oz, g + c.ox + c.oy + c.oz};
            // x and y side by side in one pair of doubles, z on its own: the same products per lane.
            Pair xy[8];
            double z[8];
            for (int i = 0; i < 8; ++i) {
                xy[i] = Pair{corner[i]->x, corner[i]->y};
                z[i] = corner[i]->z;
            }
            partials(xy, fx, fy, gradientXY_);
            partials(z, fx, fy, gradientZ_);
            gradientReady_ = true;
            gradientFx_ = fx;
            gradientFy_ = fy;
        }
        const Pair xy = finishSums(gradientXY_, fz);
        return NormalizeVector(
            MakeVector(static_cast<float>(xy[0]), static_cast<float>(xy[1]), finish(gradientZ_, fz)));
    }

  private:
    using Pair = double __attribute__((vector_size(16)));

    void preparePartials(float fx, float fy) {
        if (densityReady_ && fx == densityFx_ && fy == densityFy_)
            return;
        partials(density_, fx, fy, densityPartial_);
        densityReady_ = true;
        densityFx_ = fx;
        densityFy_ = fy;
        const double* a = densityPartial_;
        const double front = ((a[0] + a[1]) + a[2]) + a[3], back = ((a[4] + a[5]) + a[6]) + a[7];
        const double low = (front < back ? front : back) - 0.01, high = (front < back ? back : front) + 0.01;
        columnLo_ = low > 0.0 ? static_cast<int>(low) : 0;
        columnHi_ = high < kMaxDensity - 1 ? static_cast<int>(high) : kMaxDensity - 1;
    }

    // (s * wx) * wy per corner, in the corner order of trilinear().
    template <class T>
    static void partials(const T* s, float fx, float fy, T* out) {
        const double dx = fx, dy = fy;
        out[0] = s[0] * (1 - dx) * (1 - dy);
        out[1] = s[1] * dx * (1 - dy);
        out[2] = s[2] * (1 - dx) * dy;
        out[3] = s[3] * dx * dy;
        out[4] = s[4] * (1 - dx) * (1 - dy);
        out[5] = s[5] * dx * (1 - dy);
        out[6] = s[6] * (1 - dx) * dy;
        out[7] = s[7] * dx * dy;
    }
    static void partials(const float* s, float fx, float fy, double* out) {
        const double values[8] = {s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7]};
        partials(values, fx, fy, out);
    }
    // The products with the z weight, summed from the first corner to the last.
    template <class T>
    static T finishSums(const T* a, float fz) {
        const double dz = fz;
        return a[0] * (1 - dz) + a[1] * (1 - dz) + a[2] * (1 - dz) + a[3] * (1 - dz) + a[4] * dz + a[5] * dz +
               a[6] * dz + a[7] * dz;
    }
    static float finish(const double* a, float fz) { return static_cast<float>(finishSums(a, fz)); }

    const CellReader& reader_;
    Corners cell_{-1, 0, 0, 0};
    float density_[8];
    int lo_ = 0, hi_ = 0;
    int columnLo_ = 0, columnHi_ = 0;
    bool densityReady_ = false, gradientReady_ = false;
    float densityFx_ = 0, densityFy_ = 0, gradientFx_ = 0, gradientFy_ = 0;
    double densityPartial_[8];
    Pair gradientXY_[8];
    double gradientZ_[8];
};

}  // namespace qz::sampling

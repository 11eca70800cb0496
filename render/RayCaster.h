#pragma once

// The ray loop shared by Volume and MIP. The per-ray accumulator, the sampling quality and the
// shading switch are template parameters, so the inner loop carries no virtual call and no
// option test. Every pixel comes out exactly as the plain step-by-step loop computes it:
// positions advance by the same single-precision additions, and only samples that provably
// cannot change the ray (transparent, or too faint to move its accumulator any more) are left
// out, along with the lookups they would have cost.

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "render/EmptySpace.h"
#include "render/Matrix.h"
#include "render/RenderSupport.h"
#include "render/Sampling.h"
#include "render/Shading.h"
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
    bool wants(int /*density*/) const { return true; }

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
    // A sample that cannot replace the kept one needs no shading.
    bool wants(int density) const { return density > maxDensity; }
};

namespace raycast {

using emptyspace::kBlockShift;
using emptyspace::kBlockSize;

// Everything a render derives once from its settings, its volume and its table.
struct Frame {
    const VolumeData* volume;
    const std::uint8_t* table;  // 4 bytes per density
    int areaRadius;
    int size;    // image side and number of steps per ray, 2 * areaRadius
    int dim[3];  // loaded dimensions
    int ext[3];  // scaled extents of the sample grid
    float extF[3];
    float dimM1[3];  // float(dim - 1)
    int half[3];
    _Matrix volumeFromView;
    float stepFactor;
    Shading shading;
    float alpha[kMaxDensity];        // alpha / 255 per density
    float opacityOf[256];            // A / 255 per alpha byte
    std::vector<float> attenuation;  // per step
    sampling::CellReader reader;
    std::int64_t strideY, strideZ;
    // Empty-space structures.
    const emptyspace::BlockGrid* grid;
    const emptyspace::BlockOpacity* opacity;
    const emptyspace::OpacityIndex* opacityIndex;
    int blocks[3];
    double pPerCell[3];    // sample-grid units per voxel, ext / (dim - 1)
    double cellMargin[3];  // slack for the rounding in p -> voxel coordinate

    Frame(const VolumeData& v, const std::uint8_t* t, const Volume::Settings& s,
          const emptyspace::BlockGrid& g, const emptyspace::BlockOpacity& o,
          const emptyspace::OpacityIndex& oi);

    void startRay(int x, int y, float p[3], float d[3]) const {
        const _Point front =
            MatrixTransformPoint(volumeFromView, MakePoint(float(x), float(y), float(-areaRadius), 1.0f));
        const _Point back =
            MatrixTransformPoint(volumeFromView, MakePoint(float(x), float(y), float(areaRadius), 1.0f));
        d[0] = (back.x - front.x) * stepFactor;
        d[1] = (back.y - front.y) * stepFactor;
        d[2] = (back.z - front.z) * stepFactor;
        p[0] = front.x + float(half[0]);
        p[1] = front.y + float(half[1]);
        p[2] = front.z + float(half[2]);
    }

    // Written as "every coordinate inside" so that a NaN position counts as outside.
    bool inside(const float p[3]) const {
        return p[0] >= 0.0f && p[1] >= 0.0f && p[2] >= 0.0f && p[0] < extF[0] && p[1] < extF[1] &&
               p[2] < extF[2];
    }

    // Bound on the error a run of single-precision additions adds per step to a ray whose
    // coordinates stay below pMax in magnitude (four times half an ulp, for slack).
    static double stepError(double pMax) { return pMax * 0x1p-22 + 1e-30; }

    // Conservative range [first, end) of steps at which the ray can be inside the box; false
    // when it never is.
    bool stepRange(const float p[3], const float d[3], double eps, int& first, int& end) const;

    // How many further steps (after the current one) stay within the blocks lo .. hi on every
    // axis (or outside the box); -1 when the ray never leaves them.
    std::int64_t stepsWithin(const float p[3], const float d[3], double eps, const int lo[3],
                             const int hi[3]) const;
};

inline Frame::Frame(const VolumeData& v, const std::uint8_t* t, const Volume::Settings& s,
                    const emptyspace::BlockGrid& g, const emptyspace::BlockOpacity& o,
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
      opacity(&o),
      opacityIndex(&oi) {
    dim[0] = v.xDim();
    dim[1] = v.yDim();
    dim[2] = v.zDim();
    int m = 0;
    for (int a = 0; a < 3; ++a)
        m = dim[a] > m ? dim[a] : m;
    const float scale = m > 0 ? float(s.maxImageResolution) / float(m) : 0.0f;
    for (int a = 0; a < 3; ++a) {
        ext[a] = m > 0 ? int(float(dim[a]) * scale + 0.5f) : 0;  // nothing loaded: nothing inside
        extF[a] = float(ext[a]);
        dimM1[a] = float(dim[a] - 1);
        half[a] = ext[a] / 2;
        pPerCell[a] = dim[a] > 1 ? double(ext[a]) / double(dim[a] - 1) : 0.0;
        cellMargin[a] = double(dim[a]) * 0x1p-19 + 1e-3;
    }
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
}

inline bool Frame::stepRange(const float p[3], const float d[3], double eps, int& first, int& end) const {
    double lo = 0.0, hi = double(size);
    for (int a = 0; a < 3; ++a) {
        if (d[a] == 0.0f) {
            if (!(p[a] >= 0.0f && p[a] < extF[a]))
                return false;
            continue;
        }
        const double slack = double(size) * eps / std::fabs(double(d[a])) + 2.0;
        const double t0 = (0.0 - double(p[a])) / double(d[a]);
        const double t1 = (double(ext[a]) - double(p[a])) / double(d[a]);
        lo = std::max(lo, std::min(t0, t1) - slack);
        hi = std::min(hi, std::max(t0, t1) + slack);
    }
    if (!(lo < hi))
        return false;
    first = int(std::ceil(lo));
    end = int(std::min(double(size), std::floor(hi) + 1.0));
    return first < end;
}

inline std::int64_t Frame::stepsWithin(const float p[3], const float d[3], double eps, const int lo[3],
                                       const int hi[3]) const {
    std::int64_t steps = -1;
    for (int a = 0; a < 3; ++a) {
        double room;
        if (d[a] > 0.0f) {
            if (hi[a] >= blocks[a] - 1)
                continue;  // the rest of the axis is in the run or outside
            const double bound = (double((hi[a] + 1) << kBlockShift) - cellMargin[a]) * pPerCell[a];
            room = (bound - double(p[a])) / (double(d[a]) + eps);
        } else if (d[a] < 0.0f) {
            if (lo[a] <= 0)
                continue;
            const double bound = (double(lo[a] << kBlockShift) + cellMargin[a]) * pPerCell[a];
            room = (double(p[a]) - bound) / (-double(d[a]) + eps);
        } else {
            continue;  // constant coordinate: stays in the current block
        }
        const std::int64_t n = room > 0.0 ? std::int64_t(std::min(room, 1e9)) - 1 : 0;
        const std::int64_t bounded = n < 0 ? 0 : n;
        steps = steps < 0 ? bounded : std::min(steps, bounded);
    }
    return steps;
}

// Where a sample lands: its relative position, the voxel or cell it reads and its block.
struct Sample {
    float q[3];
    sampling::AxisCell cell[3];  // trilinear cells (lower index = nearest voxel index otherwise)
    int block[3];
};

template <bool Nearest>
inline void locate(const Frame& f, const float p[3], Sample& s) {
    for (int a = 0; a < 3; ++a) {
        s.q[a] = p[a] / f.extF[a];
        if constexpr (Nearest) {
            s.cell[a].lower = int(s.q[a] * f.dimM1[a]);
        } else {
            s.cell[a] = sampling::axisCell(s.q[a], f.dim[a]);
        }
        s.block[a] = s.cell[a].lower >> kBlockShift;
    }
}

template <bool Nearest, bool Shade, class Ray>
void castPixel(const Frame& f, int x, int y, std::uint8_t* out) {
    Ray ray;
    ray.resetRay();
    float p[3], d[3];
    f.startRay(x, y, p, d);
    const bool finite = std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]) &&
                        std::isfinite(d[0]) && std::isfinite(d[1]) && std::isfinite(d[2]);
    int k = 0, end = 0;
    double eps = 0.0;
    if (finite) {
        double pMax = 0.0;
        for (int a = 0; a < 3; ++a)
            pMax = std::max(pMax, std::fabs(double(p[a])) + double(f.size) * std::fabs(double(d[a])));
        eps = Frame::stepError(pMax);
        if (!f.stepRange(p, d, eps, k, end))
            end = 0;
    }
    // Steps before the box only move the position.
    for (int i = 0; i < k && i < end; ++i) {
        p[0] += d[0];
        p[1] += d[1];
        p[2] += d[2];
    }
    while (k < end) {
        if (f.inside(p)) {
            Sample s;
            locate<Nearest>(f, p, s);
            const std::int64_t block = f.grid->index(s.block[0], s.block[1], s.block[2]);
            const int blockAlpha = f.opacity->maxAlpha[block];
            int radius = -1;  // the run of blocks around this one that the ray may pass over
            if (blockAlpha == 0) {
                radius = f.opacity->clearRadius[block];
            } else if constexpr (std::is_same_v<Ray, CompositeRay>) {
                if (blockAlpha <= ray.inertAlpha)
                    radius = 0;
            } else {
                const int hi = f.grid->maxDensity[block];
                const int lo = std::max<int>(f.grid->minDensity[block], ray.maxDensity + 1);
                if (hi <= ray.maxDensity || !f.opacityIndex->anyVisible(lo, hi))
                    radius = 0;
            }
            if (radius >= 0) {
                int lo[3], hi[3];
                for (int a = 0; a < 3; ++a) {
                    lo[a] = s.block[a] - radius;
                    hi[a] = s.block[a] + radius;
                }
                const std::int64_t more = f.stepsWithin(p, d, eps, lo, hi);
                if (more < 0)
                    break;  // nothing further along this ray can change it
                const std::int64_t skip = std::min<std::int64_t>(more + 1, end - k);
                for (std::int64_t i = 0; i < skip; ++i) {
                    p[0] += d[0];
                    p[1] += d[1];
                    p[2] += d[2];
                }
                k += int(skip);
                continue;
            }
            int density;
            if constexpr (Nearest) {
                density = f.volume->densities()[s.cell[0].lower + s.cell[1].lower * f.strideY +
                                                s.cell[2].lower * f.strideZ];
            } else {
                const sampling::Corners corners = f.reader.corners(s.cell[0], s.cell[1], s.cell[2]);
                density =
                    f.reader.density(corners, s.cell[0].fraction, s.cell[1].fraction, s.cell[2].fraction);
            }
            const std::uint8_t* entry = f.table + 4 * density;
            if (entry[3] != 0 && ray.wants(density)) {
                std::uint8_t rgba[4] = {entry[0], entry[1], entry[2], entry[3]};
                if constexpr (Shade) {
                    sampling::AxisCell cells[3];
                    for (int a = 0; a < 3; ++a) {
                        if constexpr (Nearest) {
                            cells[a] = sampling::axisCell(s.q[a], f.dim[a]);
                        } else {
                            cells[a] = s.cell[a];
                        }
                    }
                    const _Vector g =
                        f.reader.gradient(f.reader.corners(cells[0], cells[1], cells[2]), cells[0].fraction,
                                          cells[1].fraction, cells[2].fraction);
                    f.shading.apply(rgba, g, f.attenuation[k]);
                }
                ray.updateRayWithRGBA(rgba, f.alpha[density], density);
                if (ray.finished())
                    break;
                if constexpr (std::is_same_v<Ray, CompositeRay>)
                    ray.updateInertAlpha(f.opacityOf);
            }
        }
        p[0] += d[0];
        p[1] += d[1];
        p[2] += d[2];
        ++k;
    }
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
    parallelChunks(f.size, 16, [&](std::int64_t rowBegin, std::int64_t rowEnd) {
        for (std::int64_t j = rowBegin; j < rowEnd; ++j) {
            std::uint8_t* out = pixels + std::size_t(4) * std::size_t(f.size) * std::size_t(j);
            const int y = int(j) - f.areaRadius;
            for (int x = -f.areaRadius; x < f.areaRadius; ++x, out += 4)
                castPixel<Nearest, Shade, Ray>(f, x, y, out);
        }
        progress.addDone((rowEnd - rowBegin) * f.size);
    });
}

}  // namespace raycast

// Renders one image under settings with the accumulator Ray; null when the image is empty.
template <class Ray>
std::shared_ptr<const RgbaImage> castRays(const std::shared_ptr<const VolumeData>& volume,
                                          const ColorTable& table, const Volume::Settings& settings,
                                          NotificationCenter& center) {
    if (settings.areaRadius <= 0)
        return nullptr;
    std::shared_ptr<RgbaImage> image = allocateImage(2 * settings.areaRadius, 2 * settings.areaRadius);
    const std::shared_ptr<const emptyspace::BlockGrid> grid = emptyspace::blockGridFor(volume);
    const auto index = std::make_unique<emptyspace::OpacityIndex>(table);
    const emptyspace::BlockOpacity opacity = emptyspace::blockOpacity(*grid, *index);
    const auto frame =
        std::make_unique<raycast::Frame>(*volume, table.data(), settings, *grid, opacity, *index);
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

#pragma once

// The ray loop shared by Volume and MIP. The per-ray accumulator, the sampler and the shading
// switch are template parameters, so the inner loop carries no virtual call and no option test.

#include <cstdint>
#include <memory>
#include <vector>

#include "render/Matrix.h"
#include "render/RenderSupport.h"
#include "render/Volume.h"

namespace qz {

// Front-to-back compositing: colour on the 0..255 scale, opacity on 0..1, carried in double
// precision between single-precision stores.
struct CompositeRay {
    float color[4];
    void resetRay() { color[0] = color[1] = color[2] = color[3] = 0.0f; }
    // a is the sample's alpha / 255, rounded to float.
    void updateRayWithRGBA(const std::uint8_t* rgba, float a, int /*density*/) {
        const double tau = 1.0 - color[3];
        color[3] = static_cast<float>(tau * a + color[3]);
        color[0] = static_cast<float>(tau * rgba[0] * a + color[0]);
        color[1] = static_cast<float>(tau * rgba[1] * a + color[1]);
        color[2] = static_cast<float>(tau * rgba[2] * a + color[2]);
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
};

namespace raycast {

// Everything a render derives once from its settings and its volume.
struct Frame {
    const VolumeData* volume;
    const std::uint8_t* table;  // 4 bytes per density
    int areaRadius;
    int size;              // image side, 2 * areaRadius
    int X, Y, Z;           // loaded dimensions
    int xDim, yDim, zDim;  // scaled extents of the sample grid
    float xDimF, yDimF, zDimF;
    int hx, hy, hz;
    _Matrix volumeFromView;
    float stepFactor;
    PhongIllumination shading;
    std::vector<float> alpha;        // alpha / 255 per density
    std::vector<float> attenuation;  // per step k
    std::vector<float> depth;        // t per step k

    Frame(const VolumeData& volume, const std::uint8_t* table, const Volume::Settings& s);

    // Start position and step of the ray through view pixel (x, y).
    void startRay(int x, int y, float p[3], float d[3]) const {
        const _Point front =
            MatrixTransformPoint(volumeFromView, MakePoint(float(x), float(y), float(-areaRadius), 1.0f));
        const _Point back =
            MatrixTransformPoint(volumeFromView, MakePoint(float(x), float(y), float(areaRadius), 1.0f));
        d[0] = (back.x - front.x) * stepFactor;
        d[1] = (back.y - front.y) * stepFactor;
        d[2] = (back.z - front.z) * stepFactor;
        p[0] = front.x + float(hx);
        p[1] = front.y + float(hy);
        p[2] = front.z + float(hz);
    }

    // Written as "every coordinate inside" so that a NaN position counts as outside.
    bool inside(const float p[3]) const {
        return p[0] >= 0.0f && p[1] >= 0.0f && p[2] >= 0.0f && p[0] < xDimF && p[1] < yDimF && p[2] < zDimF;
    }
};

inline Frame::Frame(const VolumeData& v, const std::uint8_t* t, const Volume::Settings& s)
    : volume(&v), table(t), areaRadius(s.areaRadius), size(2 * s.areaRadius), shading(s.shading) {
    X = v.xDim();
    Y = v.yDim();
    Z = v.zDim();
    int m = 0;
    if (X > m)
        m = X;
    if (Y > m)
        m = Y;
    if (Z > m)
        m = Z;
    if (m == 0) {
        xDim = yDim = zDim = 0;  // nothing loaded: nothing is inside
    } else {
        const float scale = float(s.maxImageResolution) / float(m);
        xDim = int(float(X) * scale + 0.5f);
        yDim = int(float(Y) * scale + 0.5f);
        zDim = int(float(Z) * scale + 0.5f);
    }
    xDimF = float(xDim);
    yDimF = float(yDim);
    zDimF = float(zDim);
    hx = xDim / 2;
    hy = yDim / 2;
    hz = zDim / 2;
    volumeFromView = MatrixRotate(MakeMatrix(), s.orientation);
    stepFactor = float(0.5 / areaRadius);
    alpha.resize(kMaxDensity);
    for (int density = 0; density < kMaxDensity; ++density)
        alpha[density] = float(table[4 * density + 3] / 255.0);
    attenuation.resize(size);
    depth.resize(size);
    for (int k = 0; k < size; ++k) {
        depth[k] = float(double(float(k)) / (2 * areaRadius));
        attenuation[k] = PhongIllumination::attenuation(depth[k]);
    }
}

// Nearest voxel: indices trunc(q * (dim - 1)) read straight from the density array.
struct NearestSampler {
    const std::uint16_t* densities;
    float xm1, ym1, zm1;
    std::int64_t X, XY;
    explicit NearestSampler(const Frame& f)
        : densities(f.volume->densities()),
          xm1(float(f.X - 1)),
          ym1(float(f.Y - 1)),
          zm1(float(f.Z - 1)),
          X(f.X),
          XY(std::int64_t(f.X) * f.Y) {}
    int density(const float q[3]) const {
        const std::int64_t ix = int(q[0] * xm1);
        const std::int64_t iy = int(q[1] * ym1);
        const std::int64_t iz = int(q[2] * zm1);
        return densities[ix + iy * X + iz * XY];
    }
};

// Trilinear interpolation at relative coordinates.
struct TrilinearSampler {
    const VolumeData* volume;
    explicit TrilinearSampler(const Frame& f) : volume(f.volume) {}
    int density(const float q[3]) const { return volume->getDensityForRelative(q[0], q[1], q[2]); }
};

template <class Sampler, bool Shade, class Ray>
void castRow(const Frame& f, const Sampler& sampler, int y, std::uint8_t* out) {
    const int steps = f.size;
    for (int x = -f.areaRadius; x < f.areaRadius; ++x, out += 4) {
        Ray ray;
        ray.resetRay();
        float p[3], d[3];
        f.startRay(x, y, p, d);
        for (int k = 0; k < steps; ++k) {
            if (f.inside(p)) {
                const float q[3] = {p[0] / f.xDimF, p[1] / f.yDimF, p[2] / f.zDimF};
                const int density = sampler.density(q);
                const std::uint8_t* entry = f.table + 4 * density;
                if (entry[3] != 0) {
                    std::uint8_t rgba[4] = {entry[0], entry[1], entry[2], entry[3]};
                    if constexpr (Shade) {
                        const _Vector g = f.volume->getGradientForRelative(q[0], q[1], q[2]);
                        const float light = f.shading.lightFor(g, f.depth[k]);
                        for (int c = 0; c < 3; ++c)
                            rgba[c] = f.shading.shadeChannel(rgba[c], light);
                    }
                    ray.updateRayWithRGBA(rgba, f.alpha[density], density);
                    if (ray.color[3] >= 1.0f)
                        break;
                }
            }
            p[0] += d[0];
            p[1] += d[1];
            p[2] += d[2];
        }
        for (int c = 0; c < 3; ++c) {
            const float v = ray.color[c] > 255.0f ? 255.0f : ray.color[c];
            out[c] = std::uint8_t(int(v));
        }
        out[3] = 255;
    }
}

template <class Sampler, bool Shade, class Ray>
void castAll(const Frame& f, std::uint8_t* pixels, NotificationCenter& center) {
    const Sampler sampler(f);
    ParallelProgress progress(risingPercentSchedule(std::int64_t(f.size) * f.size), "calculate volume",
                              center);
    parallelChunks(f.size, 16, [&](std::int64_t rowBegin, std::int64_t rowEnd) {
        for (std::int64_t j = rowBegin; j < rowEnd; ++j) {
            castRow<Sampler, Shade, Ray>(f, sampler, int(j) - f.areaRadius,
                                         pixels + std::size_t(4) * std::size_t(f.size) * std::size_t(j));
        }
        progress.addDone((rowEnd - rowBegin) * f.size);
    });
}

}  // namespace raycast

// Renders one image of volume under settings with the accumulator Ray; null when the image is empty.
template <class Ray>
std::shared_ptr<const RgbaImage> castRays(const VolumeData& volume, const ColorTable& table,
                                          const Volume::Settings& settings, NotificationCenter& center) {
    if (settings.areaRadius <= 0)
        return nullptr;
    const raycast::Frame frame(volume, table.data(), settings);
    std::shared_ptr<RgbaImage> image = allocateImage(frame.size, frame.size);
    std::uint8_t* pixels = image->pixels.data();
    const bool nearest = settings.quality == 0;
    if (nearest && settings.doShading) {
        raycast::castAll<raycast::NearestSampler, true, Ray>(frame, pixels, center);
    } else if (nearest) {
        raycast::castAll<raycast::NearestSampler, false, Ray>(frame, pixels, center);
    } else if (settings.doShading) {
        raycast::castAll<raycast::TrilinearSampler, true, Ray>(frame, pixels, center);
    } else {
        raycast::castAll<raycast::TrilinearSampler, false, Ray>(frame, pixels, center);
    }
    return image;
}

}  // namespace qz

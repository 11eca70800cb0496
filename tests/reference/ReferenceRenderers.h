#pragma once

// Reference renderers (slices, ray caster, maximum intensity projection): one pixel, one sample at a
// time through the public lookups and getRGBA; the production renderers must match them byte for byte.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "data/Data.h"
#include "render/Matrix.h"
#include "render/PhongIllumination.h"
#include "render/Renderer.h"
#include "transfer/TransferFkt.h"

namespace qz::reference {

struct Result {
    bool hasImage = false;
    RgbaImage image;
    std::vector<int> progress;  // the values posted with "updateProgressBar", in order
};

inline Result renderSlices(const VolumeData& volume, TransferFkt& fkt, int maxImageResolution, int axis,
                           float depth) {
    Result result;
    int width = 0, height = 0;
    if (volume.hasData()) {
        int w, h;
        if (axis == 0) {
            w = volume.zDim();
            h = volume.yDim();
        } else if (axis == 1) {
            w = volume.xDim();
            h = volume.zDim();
        } else {
            w = volume.xDim();
            h = volume.yDim();
        }
        const std::array<double, 3>& sp = volume.spacing();
        if (!volume.evenSpacing()) {
            // Physical proportions: each side in millimetres.
            const double wl = w * (axis == 0 ? sp[2] : sp[0]), hl = h * (axis == 1 ? sp[2] : sp[1]);
            if (wl > hl) {
                width = maxImageResolution;
                height = int(double(maxImageResolution) * hl / wl);
            } else {
                height = maxImageResolution;
                width = int(double(maxImageResolution) * wl / hl);
            }
        } else if (w > h) {
            width = maxImageResolution;
            height = int(float(maxImageResolution) * float(h) / float(w));
        } else {
            height = maxImageResolution;
            width = int(float(maxImageResolution) * float(w) / float(h));
        }
    }
    if (width <= 0 || height <= 0)
        return result;
    result.hasImage = true;
    result.image.width = width;
    result.image.height = height;
    result.image.pixels.assign(std::size_t(4) * width * height, 0);

    const std::int64_t total = std::int64_t(width) * height;
    const float du = float(1.0 / width);
    const float dv = float(1.0 / height);
    int posted = 0;
    float v = 0.0f;
    for (int r = 0; r < height; ++r) {
        float u = 0.0f;
        for (int c = 0; c < width; ++c) {
            int density;
            if (axis == 0) {
                density = volume.getDensityForRelative(depth, v, u);
            } else if (axis == 1) {
                density = volume.getDensityForRelative(u, depth, v);
            } else {
                density = volume.getDensityForRelative(u, v, depth);
            }
            u = u + du;
            std::uint8_t rgba[4];
            fkt.getRGBA(rgba, density);
            std::uint8_t* pixel = &result.image.pixels[std::size_t(4) * (c + std::size_t(width) * r)];
            for (int i = 0; i < 4; ++i)
                pixel[i] = rgba[i];
            const std::int64_t k = std::int64_t(r) * width + c;
            if (int(float(k) / float(total) * 100.0f) > posted) {
                posted = int(float(k + 1) / float(total) * 100.0f);
                result.progress.push_back(posted);
            }
        }
        v = v + dv;
    }
    return result;
}

struct RayState {
    float color[4];
    int maxDensity;
};

inline void resetRay(RayState& ray, bool mip) {
    for (float& c : ray.color)
        c = 0.0f;
    if (mip)
        ray.maxDensity = 0;
}

// a is the opacity the sample composites with.
inline void updateRayWithRGBA(RayState& ray, const std::uint8_t* rgba, float a, int density, bool mip) {
    if (mip) {
        if (density <= ray.maxDensity)
            return;
        ray.color[0] = rgba[0];
        ray.color[1] = rgba[1];
        ray.color[2] = rgba[2];
        ray.maxDensity = density;
        ray.color[3] = a;
        return;
    }
    const double tau = 1.0 - double(ray.color[3]);
    ray.color[3] = float(tau * a + ray.color[3]);
    ray.color[0] = float(tau * rgba[0] * a + ray.color[0]);
    ray.color[1] = float(tau * rgba[1] * a + ray.color[1]);
    ray.color[2] = float(tau * rgba[2] * a + ray.color[2]);
}

inline PhongIllumination shadingFor(_Vector orientation) {
    PhongIllumination shading;
    const _Matrix m = MatrixRotate(MakeMatrix(), orientation);
    const _Point view = MatrixTransformPoint(m, MakePoint(0.0f, 0.0f, 1.0f, 0.0f));
    shading.setViewVector(MakeVector(view.x, view.y, view.z));
    return shading;
}

// Ray caster, or maximum intensity projection when mip is set. With opacityCorrection the ray
// caster's samples composite with 1 - (1 - A / 255)^s, s the step's length in finest voxel edges:
// the view direction's length with each axis measured in voxels (the dimension over the scaled
// extent) of that axis's spacing over the finest spacing.
inline Result renderVolume(const VolumeData& volume, TransferFkt& fkt, int maxImageResolution, int quality,
                           bool doShading, _Vector orientation, bool mip, bool opacityCorrection = false) {
    Result result;
    const int areaRadius = int(float(maxImageResolution) * 0.5f + 0.5f);
    const int width = 2 * areaRadius, height = 2 * areaRadius;
    if (areaRadius <= 0)
        return result;
    result.hasImage = true;
    result.image.width = width;
    result.image.height = height;
    result.image.pixels.assign(std::size_t(4) * width * height, 0);
    const PhongIllumination shading = shadingFor(orientation);
    const std::int64_t total = std::int64_t(width) * height;

    const int X = volume.xDim(), Y = volume.yDim(), Z = volume.zDim();
    int m = 0;
    if (X > m)
        m = X;
    if (Y > m)
        m = Y;
    if (Z > m)
        m = Z;
    int xDim = 0, yDim = 0, zDim = 0;
    const std::array<double, 3>& sp = volume.spacing();
    if (m > 0 && !volume.evenSpacing()) {
        // Physical extents: the longest becomes the resolution.
        const double lx = X * sp[0], ly = Y * sp[1], lz = Z * sp[2];
        const double l = lx > ly ? (lx > lz ? lx : lz) : (ly > lz ? ly : lz);
        xDim = int(double(maxImageResolution) * lx / l + 0.5);
        yDim = int(double(maxImageResolution) * ly / l + 0.5);
        zDim = int(double(maxImageResolution) * lz / l + 0.5);
    } else if (m > 0) {
        const float s = float(maxImageResolution) / float(m);
        xDim = int(float(X) * s + 0.5f);
        yDim = int(float(Y) * s + 0.5f);
        zDim = int(float(Z) * s + 0.5f);
    }
    const int hx = xDim / 2, hy = yDim / 2, hz = zDim / 2;
    const _Matrix M = MatrixRotate(MakeMatrix(), orientation);
    const float f = float(0.5 / areaRadius);
    const _Point view = MatrixTransformPoint(M, MakePoint(0.0f, 0.0f, 1.0f, 0.0f));
    const double finest = std::min({sp[0], sp[1], sp[2]});
    auto squared = [finest](float v, int dim, int ext, double spacing) {
        const double t = ext > 0 ? double(v) * double(dim) / double(ext) * (spacing / finest) : 0.0;
        return t * t;
    };
    const double step = std::sqrt(squared(view.x, X, xDim, sp[0]) + squared(view.y, Y, yDim, sp[1]) +
                                  squared(view.z, Z, zDim, sp[2]));
    const bool correct = opacityCorrection && !mip && step > 0.0 && std::isfinite(step);

    int posted = 0;
    std::int64_t finished = 0;
    for (int y = -areaRadius; y < areaRadius; ++y) {
        for (int x = -areaRadius; x < areaRadius; ++x) {
            RayState ray{};
            resetRay(ray, mip);
            const _Point F = MatrixTransformPoint(M, MakePoint(float(x), float(y), float(-areaRadius), 1.0f));
            const _Point B = MatrixTransformPoint(M, MakePoint(float(x), float(y), float(areaRadius), 1.0f));
            const float dx = (B.x - F.x) * f, dy = (B.y - F.y) * f, dz = (B.z - F.z) * f;
            float px = F.x + float(hx), py = F.y + float(hy), pz = F.z + float(hz);
            for (int k = 0; k < 2 * areaRadius; ++k) {
                const bool inside = px >= 0.0f && py >= 0.0f && pz >= 0.0f && px < float(xDim) &&
                                    py < float(yDim) && pz < float(zDim);  // NaN: outside
                if (inside) {
                    const float qx = px / float(xDim), qy = py / float(yDim), qz = pz / float(zDim);
                    int density;
                    if (quality == 0) {
                        density = volume.getDensity(int(qx * float(volume.xDim() - 1)),
                                                    int(qy * float(volume.yDim() - 1)),
                                                    int(qz * float(volume.zDim() - 1)));
                    } else {
                        density = volume.getDensityForRelative(qx, qy, qz);
                    }
                    std::uint8_t rgba[4];
                    fkt.getRGBA(rgba, density);
                    if (rgba[3] != 0) {
                        if (doShading) {
                            const _Vector g = volume.getGradientForRelative(qx, qy, qz);
                            const float t = float(double(float(k)) / (2 * areaRadius));
                            shading.updateRGBA(rgba, g, t);
                        }
                        const float a = correct ? float(1.0 - std::pow(1.0 - rgba[3] / 255.0, step))
                                                : float(rgba[3] / 255.0);
                        updateRayWithRGBA(ray, rgba, a, density, mip);
                        if (ray.color[3] >= 1.0f)
                            break;
                    }
                }
                px = px + dx;
                py = py + dy;
                pz = pz + dz;
            }
            for (int c = 0; c < 3; ++c) {
                if (ray.color[c] > 255.0f)
                    ray.color[c] = 255.0f;
            }
            ray.color[3] = 255.0f;
            const int i = x + areaRadius, j = y + areaRadius;
            std::uint8_t* pixel = &result.image.pixels[std::size_t(4) * (i + std::size_t(width) * j)];
            for (int c = 0; c < 4; ++c)
                pixel[c] = std::uint8_t(int(ray.color[c]));
            ++finished;
            const int percent = int(float(finished) / float(total) * 100.0f);
            if (percent > posted) {
                posted = percent;
                result.progress.push_back(percent);
            }
        }
    }
    return result;
}

}  // namespace qz::reference

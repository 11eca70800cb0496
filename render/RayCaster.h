#pragma once

// The ray loop shared by Volume and MIP. The per-ray accumulator (RayAccumulators.h), the
// sampling quality and the shading switch are template parameters, so the inner loop carries no
// virtual call and no option test. Every pixel comes out byte for byte as the reference ray
// caster in tests/reference/ computes it, stepping every ray sample by sample: rays walk the
// coarse blocks of the volume (BlockWalk.h) and take samples (RayFrame.h) only in blocks where
// some sample could still change them.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <memory>

#include "platform/NotificationCenter.h"
#include "platform/Progress.h"
#include "platform/Threads.h"
#include "render/BlockWalk.h"
#include "render/EmptySpace.h"
#include "render/RayAccumulators.h"
#include "render/RayCastSettings.h"
#include "render/RayFrame.h"
#include "render/Renderer.h"

namespace qz {

namespace raycast {

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
void castAll(const Frame& f, std::uint8_t* pixels, NotificationCenter& center,
             const std::atomic<bool>* cancel) {
    ParallelProgress progress(risingPercentSchedule(std::int64_t(f.size) * f.size), "calculate volume",
                              center);
    // Square tiles of neighbouring rays run one after another, so the voxels one ray brings into
    // the cache are still there for the rays beside it; each tile owns its pixels.
    constexpr int kTile = 8;
    const int tilesPerRow = (f.size + kTile - 1) / kTile;
    parallelChunks(
        std::int64_t(tilesPerRow) * tilesPerRow, 8, [&](std::int64_t tileBegin, std::int64_t tileEnd) {
            // Progress counted per tile: a chunk of a large image takes seconds.
            for (std::int64_t tile = tileBegin; tile < tileEnd; ++tile) {
                if (cancel && cancel->load(std::memory_order_relaxed))
                    break;  // the pixels left are never shown
                const int i0 = int(tile % tilesPerRow) * kTile, j0 = int(tile / tilesPerRow) * kTile;
                const int i1 = std::min(f.size, i0 + kTile), j1 = std::min(f.size, j0 + kTile);
                for (int j = j0; j < j1; ++j) {
                    std::uint8_t* out = pixels + 4 * (std::size_t(f.size) * std::size_t(j) + std::size_t(i0));
                    for (int i = i0; i < i1; ++i, out += 4) {
                        castPixel<Nearest, Shade, Ray>(f, i - f.areaRadius, j - f.areaRadius, out);
                    }
                }
                progress.addDone(std::int64_t(i1 - i0) * (j1 - j0));
            }
        });
    progress.finish();
}

}  // namespace raycast

// Renders one image under settings with the accumulator Ray; null when the image is empty.
template <class Ray>
std::shared_ptr<const RgbaImage> castRays(const std::shared_ptr<const VolumeData>& volume,
                                          const ColorTable& table, const RayCastSettings& settings,
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
        raycast::castAll<true, true, Ray>(*frame, pixels, center, settings.cancel);
    } else if (nearest) {
        raycast::castAll<true, false, Ray>(*frame, pixels, center, settings.cancel);
    } else if (settings.doShading) {
        raycast::castAll<false, true, Ray>(*frame, pixels, center, settings.cancel);
    } else {
        raycast::castAll<false, false, Ray>(*frame, pixels, center, settings.cancel);
    }
    return image;
}

}  // namespace qz

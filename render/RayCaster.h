#pragma once

// The ray-casting pipeline shared by Volume and MIP: the render's fixed quantities (RayFrame.h),
// square tiles of rays spread over the threads, each tile cast by the SIMD kernel (RayKernel.h).
// Every pixel comes out byte for byte as the reference ray caster in tests/reference/ computes it,
// stepping every ray sample by sample; rays walk the coarse blocks of the volume (BlockWalk.h)
// and take samples only in blocks where some sample could still change them.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <type_traits>

#include "platform/NotificationCenter.h"
#include "platform/Progress.h"
#include "platform/Threads.h"
#include "render/EmptySpace.h"
#include "render/RayAccumulators.h"
#include "render/RayCastSettings.h"
#include "render/RayFrame.h"
#include "render/RayKernel.h"
#include "render/Renderer.h"

namespace qz {

namespace raycast {

inline void castAll(const Frame& f, KernelMode mode, std::uint8_t* pixels, NotificationCenter& center,
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
                castTile(f, mode, i0, i1, j0, j1, pixels);
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
    const raycast::KernelMode mode{
        settings.quality == 0, settings.doShading,
        std::is_same_v<Ray, MaximumRay> ? raycast::Accumulation::Maximum : raycast::Accumulation::Composite};
    raycast::castAll(*frame, mode, image->pixels.data(), center, settings.cancel);
    return image;
}

}  // namespace qz

#pragma once

#include <atomic>

#include "data/Vector.h"
#include "render/PhongIllumination.h"

namespace qz {

// What one ray-cast render (Volume or MIP) works from, copied under the renderer's lock when it
// starts.
struct RayCastSettings {
    int maxImageResolution = 0;
    int areaRadius = 0;
    int quality = 1;
    bool doShading = false;
    bool opacityCorrection = false;  // Volume only (OpacityCorrection.h)
    _Vector orientation{0.0f, 0.0f, 0.0f};
    PhongIllumination shading;
    // Set while the render is to stop at its next tile (Renderer::setCancelled); null: never.
    const std::atomic<bool>* cancel = nullptr;
};

}  // namespace qz

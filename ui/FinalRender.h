#pragma once

#include <memory>

namespace qz {

class Renderer;

// A fresh renderer for a final image of what preview shows: the same class, volume and transfer
// function, the preview's orientation, a slice renderer's axis and depth and a volume renderer's
// opacity correction, at quality 1 with the given resolution and shading.
std::shared_ptr<Renderer> finalRendererFor(const Renderer& preview, int resolution, bool shading);

}  // namespace qz

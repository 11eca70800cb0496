#include "ui/FinalRender.h"

#include "render/Slices.h"
#include "render/Volume.h"

namespace qz {

std::shared_ptr<Renderer> finalRendererFor(const Renderer& preview, int resolution, bool shading) {
    std::shared_ptr<Renderer> renderer = preview.createSameClass();
    renderer->setMaxImageResolution(resolution);
    renderer->setQuality(1);
    renderer->setDoShading(shading);
    renderer->setOrientation(preview.orientation());
    const auto* slices = dynamic_cast<const Slices*>(&preview);
    if (auto* copy = dynamic_cast<Slices*>(renderer.get()); copy && slices) {
        copy->setAxis(slices->axis());
        copy->setDepth(slices->depth());
    }
    const auto* volume = dynamic_cast<const Volume*>(&preview);
    if (auto* copy = dynamic_cast<Volume*>(renderer.get()); copy && volume)
        copy->setOpacityCorrection(volume->opacityCorrection());
    return renderer;
}

}  // namespace qz

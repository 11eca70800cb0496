#pragma once

#include "render/PhongIllumination.h"
#include "render/RayCastSettings.h"
#include "render/Renderer.h"

namespace qz {

namespace emptyspace {
struct OpacityCache;
}

// Direct volume rendering: one orthographic ray per pixel, front-to-back compositing, optional
// Phong shading. Square image of 2 * areaRadius pixels a side.
class Volume : public Renderer {
  public:
    Volume(Data& data = Data::sharedInstance(), TransferFkt& transferFkt = TransferFkt::sharedInstance());
    ~Volume() override;
    const char* className() const override { return "Volume"; }
    std::unique_ptr<Renderer> createSameClass() const override;

    void setMaxImageResolution(int resolution) override;
    // Also turns the shading model's light into the viewing direction in volume coordinates.
    void setOrientation(_Vector orientation) override;
    int areaRadius() const;
    // A copy of the shading model as the next render will use it.
    PhongIllumination shading() const;
    // Whether the transfer function's opacities count per voxel length instead of per ray step
    // (render/OpacityCorrection.h), so that images of any resolution agree; off by default. MIP
    // ignores it: a maximum has no opacity to correct.
    void setOpacityCorrection(bool correct);
    bool opacityCorrection() const;

    using Settings = RayCastSettings;

  protected:
    Volume(Data& data, TransferFkt& transferFkt, DeferObservation);
    Settings settings() const;
    std::shared_ptr<const RgbaImage> updateImageRef() override;
    int areaRadius_ = 0;
    bool opacityCorrection_ = false;
    PhongIllumination shading_;
    // Empty-space structures of the last render; used under renderMutex_ only.
    std::shared_ptr<emptyspace::OpacityCache> opacityCache_;
};

}  // namespace qz

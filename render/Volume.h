#pragma once

#include "render/PhongIllumination.h"
#include "render/Renderer.h"

namespace qz {

// Direct volume rendering: one orthographic ray per pixel, front-to-back compositing, optional
// Phong shading. Square image of 2 * areaRadius pixels a side.
class Volume : public Renderer {
public:
    Volume(Data& data = Data::sharedInstance(), TransferFkt& transferFkt = TransferFkt::sharedInstance());
    const char* className() const override { return "Volume"; }

    void setMaxImageResolution(int resolution) override;
    void setOrientation(_Vector orientation) override;
    int areaRadius() const;

protected:
    std::shared_ptr<const RgbaImage> updateImageRef() override;
    int areaRadius_ = 0;
    PhongIllumination shading_;
};

}  // namespace qz

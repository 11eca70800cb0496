#pragma once

#include "render/Volume.h"

namespace qz {

// Maximum intensity projection: each pixel shows the colour of the densest visible sample.
class MIP : public Volume {
  public:
    MIP(Data& data = Data::sharedInstance(), TransferFkt& transferFkt = TransferFkt::sharedInstance());
    ~MIP() override;
    const char* className() const override { return "MIP"; }
    std::unique_ptr<Renderer> createSameClass() const override;

  protected:
    std::shared_ptr<const RgbaImage> updateImageRef() override;
};

}  // namespace qz

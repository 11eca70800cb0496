#pragma once

#include "render/Renderer.h"

namespace qz {

// One axis-aligned section of the volume, coloured by the transfer function. axis 0: x = depth
// (width follows zDim, height yDim); axis 1: y = depth (xDim, zDim); otherwise z = depth (xDim, yDim).
class Slices : public Renderer {
  public:
    Slices(Data& data = Data::sharedInstance(), TransferFkt& transferFkt = TransferFkt::sharedInstance());
    ~Slices() override;
    const char* className() const override { return "Slices"; }
    std::unique_ptr<Renderer> createSameClass() const override;

    void processNewData() override;
    void setMaxImageResolution(int resolution) override;
    void setDepth(float depth);
    float depth() const;
    void setAxis(int axis);
    int axis() const;
    // Size of the section of the current volume; keeps the previous size while no volume is loaded.
    void calcWidthHeight();

  protected:
    std::shared_ptr<const RgbaImage> updateImageRef() override;

  private:
    float depth_ = 0.5f;
    int axis_ = 2;
};

}  // namespace qz

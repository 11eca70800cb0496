#include "render/MIP.h"

#include "render/RayCaster.h"

namespace qz {

MIP::MIP(Data& data, TransferFkt& transferFkt) : Volume(data, transferFkt, DeferObservation{}) {
    observeNewData();
}

MIP::~MIP() {
    stopObservingNewData();
}

std::unique_ptr<Renderer> MIP::createSameClass() const {
    return std::make_unique<MIP>(data_, transferFkt_);
}

std::shared_ptr<const RgbaImage> MIP::updateImageRef() {
    Settings s = settings();
    s.opacityCorrection = false;
    const std::shared_ptr<const VolumeData> volume = data_.volume();
    const ColorTable table = transferFkt_.table();
    if (!opacityCache_)
        opacityCache_ = std::make_shared<emptyspace::OpacityCache>();
    return castRays<MaximumRay>(volume, table, s, *opacityCache_, data_.notificationCenter());
}

}  // namespace qz

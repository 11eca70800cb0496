#include "render/Volume.h"

#include "render/Matrix.h"
#include "render/RayCaster.h"

namespace qz {

Volume::Volume(Data& data, TransferFkt& transferFkt) : Volume(data, transferFkt, DeferObservation{}) {
    observeNewData();
}

Volume::Volume(Data& data, TransferFkt& transferFkt, DeferObservation)
    : Renderer(data, transferFkt, DeferObservation{}) {
    setMaxImageResolution(100);
    shading_.setViewVector(MakeVector(0.0f, 0.0f, 1.0f));
}

Volume::~Volume() {
    stopObservingNewData();
}

std::unique_ptr<Renderer> Volume::createSameClass() const {
    return std::make_unique<Volume>(data_, transferFkt_);
}

void Volume::setMaxImageResolution(int resolution) {
    if (!acceptResolution(resolution))
        return;
    std::lock_guard lock(mutex_);
    maxImageResolution_ = resolution;
    areaRadius_ = static_cast<int>(static_cast<float>(resolution) * 0.5f + 0.5f);
    width_ = height_ = 2 * areaRadius_;
    markStale();
}

void Volume::setOrientation(_Vector orientation) {
    std::lock_guard lock(mutex_);
    orientation_ = orientation;
    // The light sits at the eye: the view direction (0, 0, 1) carried into volume coordinates,
    // which is the rotation's third column.
    const _Matrix volumeFromView = MatrixRotate(MakeMatrix(), orientation);
    const _Point view = MatrixTransformPoint(volumeFromView, MakePoint(0.0f, 0.0f, 1.0f, 0.0f));
    shading_.setViewVector(MakeVector(view.x, view.y, view.z));
    markStale();
}

int Volume::areaRadius() const {
    std::lock_guard lock(mutex_);
    return areaRadius_;
}

PhongIllumination Volume::shading() const {
    std::lock_guard lock(mutex_);
    return shading_;
}

void Volume::setOpacityCorrection(bool correct) {
    std::lock_guard lock(mutex_);
    opacityCorrection_ = correct;
    markStale();
}

bool Volume::opacityCorrection() const {
    std::lock_guard lock(mutex_);
    return opacityCorrection_;
}

Volume::Settings Volume::settings() const {
    std::lock_guard lock(mutex_);
    Settings s;
    s.maxImageResolution = maxImageResolution_;
    s.areaRadius = areaRadius_;
    s.quality = quality_;
    s.doShading = doShading_;
    s.opacityCorrection = opacityCorrection_;
    s.orientation = orientation_;
    s.shading = shading_;
    s.cancel = &cancelled_;
    return s;
}

std::shared_ptr<const RgbaImage> Volume::updateImageRef() {
    const Settings s = settings();
    const std::shared_ptr<const VolumeData> volume = data_.volume();
    const ColorTable table = transferFkt_.table();
    if (!opacityCache_)
        opacityCache_ = std::make_shared<emptyspace::OpacityCache>();
    return castRays<CompositeRay>(volume, table, s, *opacityCache_, data_.notificationCenter());
}

}  // namespace qz

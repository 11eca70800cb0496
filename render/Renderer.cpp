#include "render/Renderer.h"

#include <cstdio>
#include <new>

namespace qz {

std::shared_ptr<RgbaImage> allocateImage(int width, int height) {
    auto image = std::make_shared<RgbaImage>();
    image->width = width;
    image->height = height;
    image->pixels.resize(std::size_t(4) * std::size_t(width) * std::size_t(height));
    return image;
}

Renderer::Renderer(Data& data, TransferFkt& transferFkt) : Renderer(data, transferFkt, DeferObservation{}) {
    observeNewData();
}

Renderer::Renderer(Data& data, TransferFkt& transferFkt, DeferObservation)
    : data_(data), transferFkt_(transferFkt) {}

Renderer::~Renderer() {
    stopObservingNewData();
}

void Renderer::observeNewData() {
    newDataObservation_ = Observation(data_.notificationCenter(), kNewDataAvailable, nullptr,
                                      [this](const Notification&) { processNewData(); });
}

void Renderer::stopObservingNewData() {
    newDataObservation_.reset();
}

std::unique_ptr<Renderer> Renderer::createSameClass() const {
    return std::make_unique<Renderer>(data_, transferFkt_);
}

void Renderer::processNewData() {
    markStale();
}

void Renderer::setNeedsUpdateImage(bool needsUpdate) {
    needsUpdateImage_.store(needsUpdate);
}

bool Renderer::needsUpdateImage() const {
    return needsUpdateImage_.load();
}

bool Renderer::acceptResolution(int resolution) const {
    if (resolution >= 0 && resolution <= kMaxImageSide)
        return true;
    std::printf("%s:Error: image resolution %d outside 0 .. %d, kept %d\n", className(), resolution,
                kMaxImageSide, maxImageResolution());
    std::fflush(stdout);
    return false;
}

void Renderer::setMaxImageResolution(int resolution) {
    if (!acceptResolution(resolution))
        return;
    std::lock_guard lock(mutex_);
    maxImageResolution_ = resolution;
    markStale();
}

int Renderer::maxImageResolution() const {
    std::lock_guard lock(mutex_);
    return maxImageResolution_;
}

void Renderer::setQuality(int quality) {
    std::lock_guard lock(mutex_);
    quality_ = quality;
}

int Renderer::quality() const {
    std::lock_guard lock(mutex_);
    return quality_;
}

void Renderer::setDoShading(bool doShading) {
    std::lock_guard lock(mutex_);
    doShading_ = doShading;
}

bool Renderer::doShading() const {
    std::lock_guard lock(mutex_);
    return doShading_;
}

int Renderer::width() const {
    std::lock_guard lock(mutex_);
    return width_;
}

int Renderer::height() const {
    std::lock_guard lock(mutex_);
    return height_;
}

_Vector Renderer::orientation() const {
    std::lock_guard lock(mutex_);
    return orientation_;
}

void Renderer::setOrientation(_Vector orientation) {
    std::lock_guard lock(mutex_);
    orientation_ = orientation;
    markStale();
}

std::shared_ptr<const RgbaImage> Renderer::imageRef() {
    std::lock_guard renderLock(renderMutex_);
    // Clear first, then render: a change made while the render runs sets the flag again and
    // is picked up by the next call instead of being lost. A call from inside the render (a
    // progress handler on the rendering thread) gets the previous image.
    if (!rendering_ && needsUpdateImage_.exchange(false)) {
        rendering_ = true;
        try {
            std::shared_ptr<const RgbaImage> image = cancelled() ? nullptr : updateImageRef();
            if (cancelled()) {
                markStale();  // stopped part way, or never started
            } else {
                std::lock_guard lock(mutex_);
                image_ = std::move(image);
            }
        } catch (const std::bad_alloc&) {
            std::printf("%s:Error: not enough memory for a %d x %d image, kept the previous one\n",
                        className(), width(), height());
            std::fflush(stdout);
        }
        rendering_ = false;
    }
    std::lock_guard lock(mutex_);
    return image_;
}

void Renderer::hiRes() {
    imageRef();
    data_.notificationCenter().post(kNewHiResAvailable, this);
}

std::shared_ptr<const RgbaImage> Renderer::updateImageRef() {
    std::printf("%s.updateImageRef called, should implemented in subclass\n", className());
    std::fflush(stdout);
    return nullptr;
}

}  // namespace qz

#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "data/Data.h"
#include "data/Vector.h"
#include "platform/NotificationCenter.h"
#include "transfer/TransferFkt.h"

namespace qz {

// A finished picture: width x height RGBA pixels, top row first, rows packed, colour not
// premultiplied. Immutable once handed out.
struct RgbaImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // 4 * width * height bytes
};

// An image of width x height pixels, contents undefined. Throws std::bad_alloc when it does not fit.
std::shared_ptr<RgbaImage> allocateImage(int width, int height);

// Base of the image producers. Consumers ask for imageRef(); the renderer renders first when
// its image is stale. Settings may be changed from the GUI thread while "newDataAvailable"
// arrives on a loading thread; a render works on the volume snapshot and a copy of the transfer
// function table taken when it starts.
class Renderer {
  public:
    Renderer(Data& data = Data::sharedInstance(), TransferFkt& transferFkt = TransferFkt::sharedInstance());
    virtual ~Renderer();
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    virtual const char* className() const { return "Renderer"; }

    // A fresh renderer of the same class on the same volume and transfer function, with its
    // default settings (for a high-resolution request).
    virtual std::unique_ptr<Renderer> createSameClass() const;

    // Handler of "newDataAvailable".
    virtual void processNewData();

    void setNeedsUpdateImage(bool needsUpdate);
    bool needsUpdateImage() const;

    // A resolution the renderer cannot make (negative, or too large to allocate) is refused with
    // a one-line message and leaves the renderer as it was; 0 gives no image.
    virtual void setMaxImageResolution(int resolution);
    int maxImageResolution() const;
    void setQuality(int quality);
    int quality() const;
    void setDoShading(bool doShading);
    bool doShading() const;
    int width() const;
    int height() const;
    _Vector orientation() const;
    virtual void setOrientation(_Vector orientation);

    // The current image, rendered first when stale; null while there is no image. The stale flag
    // is cleared when the render starts, so a change made meanwhile (on any thread) leaves it set
    // and the next call renders again. Renders of one renderer run one at a time; a call made
    // from inside a render (a progress handler) returns the previous image.
    std::shared_ptr<const RgbaImage> imageRef();

    // Renders once on the calling thread (a detached worker), then posts "newHiResAvailable"
    // with this renderer as object.
    void hiRes();

    // While set, a render stops at its next tile (a band of pixels) and every render after it
    // right away: the image stays as it was and stays stale, so a render after clearing the flag
    // makes it. Any thread may set it.
    void setCancelled(bool cancelled) { cancelled_.store(cancelled); }
    bool cancelled() const { return cancelled_.load(); }

    Data& data() const { return data_; }
    TransferFkt& transferFkt() const { return transferFkt_; }

    // The largest image side a renderer makes: 16384^2 RGBA pixels are 1 GiB, the most one
    // picture may reasonably take on the machines this runs on.
    static constexpr int kMaxImageSide = 16384;

  protected:
    // For subclasses: constructs without registering for "newDataAvailable"; the most derived
    // constructor calls observeNewData() once it is complete, and its destructor calls
    // stopObservingNewData() first, so a load on another thread never meets a half-built or
    // half-destroyed object.
    struct DeferObservation {};
    Renderer(Data& data, TransferFkt& transferFkt, DeferObservation);
    void observeNewData();
    void stopObservingNewData();

    // True when resolution is one this renderer can make; otherwise prints
    // "<Class>:Error: ..." and returns false.
    bool acceptResolution(int resolution) const;
    // Marks the image stale. Setters change their setting under mutex_ first, then call this, so
    // a render that already took its snapshot is followed by another one.
    void markStale() { needsUpdateImage_.store(true); }

    // The concrete renderers' rendering step; the base prints a diagnostic and renders nothing.
    // Runs under renderMutex_, after the stale flag was cleared; takes its own snapshot of the
    // settings, the volume and the transfer function table and returns the finished image (null
    // for none).
    virtual std::shared_ptr<const RgbaImage> updateImageRef();

    Data& data_;
    TransferFkt& transferFkt_;
    mutable std::recursive_mutex mutex_;  // guards the settings below and image_
    std::atomic<bool> needsUpdateImage_{true};
    bool doShading_ = false;
    int quality_ = 1;
    int width_ = 0;
    int height_ = 0;
    int maxImageResolution_ = 0;
    _Vector orientation_{0.0f, 0.0f, 0.0f};
    std::shared_ptr<const RgbaImage> image_;
    std::recursive_mutex renderMutex_;  // one render per renderer at a time
    bool rendering_ = false;            // a render is running (guarded by renderMutex_)
    std::atomic<bool> cancelled_{false};
    Observation newDataObservation_;
};

}  // namespace qz

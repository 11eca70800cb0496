#include "ui/PreviewView.h"

#include <algorithm>
#include <cmath>

#include <QElapsedTimer>
#include <QMouseEvent>
#include <QPainter>

#include "platform/Threads.h"
#include "render/Renderer.h"
#include "ui/FinalRender.h"
#include "ui/GuiThread.h"

namespace qz {

// A refinement's renderer and, once the worker has rendered it, its image. The worker writes the
// image before it posts "newHiResAvailable" with the refinement as object; the view reads it only
// in the delivery that post queues.
struct PreviewView::Refinement {
    std::shared_ptr<Renderer> renderer;
    std::shared_ptr<const RgbaImage> image;
};

namespace {

constexpr int kSmallestDragResolution = 32;

QImage wrap(const RgbaImage& image) {
    return QImage(image.pixels.data(), image.width, image.height, 4 * image.width, QImage::Format_RGBA8888);
}

}  // namespace

PreviewView::PreviewView(QWidget* parent, NotificationCenter& center) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    refineTimer_.setSingleShot(true);
    refineTimer_.setInterval(kRefineDelayMs);
    connect(&refineTimer_, &QTimer::timeout, this, &PreviewView::refine);
    // All three may be posted on a loading, editing or rendering thread.
    newDataObservation_ = observeOnGuiThread(center, kNewDataAvailable, this, [this] { updateImage(); });
    transferFktObservation_ =
        observeOnGuiThread(center, kTransferFktChanged, this, [this] { updateImage(); });
    refinedObservation_ = observeOnGuiThread(center, kNewHiResAvailable, this, [this](const Notification& n) {
        const void* refinement = n.object;
        return [this, refinement] { refinementDelivered(refinement); };
    });
}

PreviewView::~PreviewView() {
    // No handler may queue a call to this object once its destruction has begun.
    newDataObservation_.reset();
    transferFktObservation_.reset();
    refinedObservation_.reset();
    if (running_)
        running_->renderer->setCancelled(true);
}

void PreviewView::setRenderer(Renderer* renderer) {
    renderer_ = renderer;
    if (renderer_) {
        applyResolution();
        renderer_->setOrientation(orientation_);
        renderer_->setNeedsUpdateImage(true);
    }
    sceneChanged();
    update();
}

void PreviewView::setPreviewSize(Size size) {
    size_ = size;
    applyResolution();
    sceneChanged();
    update();
}

void PreviewView::setRefinedShading(bool shading) {
    if (shading == refinedShading_)
        return;
    refinedShading_ = shading;
    sceneChanged();
    update();
}

void PreviewView::setOrientation(_Vector angles) {
    rotation_ = trackball::rotationForAngles(angles);
    orientation_ = angles;
    if (renderer_) {
        applyResolution();
        renderer_->setOrientation(orientation_);
    }
    sceneChanged();
    update();
}

void PreviewView::updateImage() {
    if (renderer_) {
        applyResolution();
        renderer_->setNeedsUpdateImage(true);
    }
    sceneChanged();
    update();
}

std::shared_ptr<const RgbaImage> PreviewView::shownImage() const {
    if (refined_)
        return refined_;
    return renderer_ ? renderer_->imageRef() : nullptr;
}

int PreviewView::fittingResolution() const {
    const std::shared_ptr<const RgbaImage> image = renderer_ ? renderer_->imageRef() : nullptr;
    if (!image || image->width <= 0 || image->height <= 0)
        return 0;
    const double ratio = devicePixelRatioF();
    const double scale = std::min(width() * ratio / image->width, height() * ratio / image->height);
    // Even, so that a ray caster's square of 2 * round(resolution / 2) pixels fits as well.
    const int resolution = int(std::max(image->width, image->height) * scale) & ~1;
    return std::clamp(resolution, 0, int(Renderer::kMaxImageSide));
}

void PreviewView::sceneChanged() {
    refined_.reset();
    if (running_ && runningCurrent_)
        running_->renderer->setCancelled(true);  // abandoned: it stops at its next tile
    runningCurrent_ = false;
    refinePending_ = false;
    if (size_ == Size::Fit && renderer_) {
        refineTimer_.start();
    } else {
        refineTimer_.stop();
    }
}

void PreviewView::applyResolution() {
    if (!renderer_)
        return;
    const int resolution = size_ == Size::Fit ? dragResolution_ : kClassicResolution;
    if (renderer_->maxImageResolution() != resolution)
        renderer_->setMaxImageResolution(resolution);
}

void PreviewView::adaptResolution(double milliseconds) {
    const int largest = fittingResolution();
    if (size_ != Size::Fit || largest <= 0)
        return;
    // A volume render's time grows with the cube of its resolution; step gently towards the budget.
    const double factor = std::clamp(std::cbrt(kFrameBudgetMs / std::max(milliseconds, 0.01)), 0.7, 1.4);
    dragResolution_ =
        std::clamp(int(dragResolution_ * factor), std::min(kSmallestDragResolution, largest), largest);
}

void PreviewView::refine() {
    if (size_ != Size::Fit || !renderer_ || !isEnabled())
        return;
    if (running_) {
        refinePending_ = true;
        return;
    }
    const int resolution = fittingResolution();
    if (resolution <= 0 || (refined_ && std::max(refined_->width, refined_->height) == resolution))
        return;
    auto refinement = std::make_shared<Refinement>();
    refinement->renderer = finalRendererFor(*renderer_, resolution, refinedShading_);
    running_ = refinement;
    runningCurrent_ = true;
    detachNewThread([refinement] {
        refinement->image = refinement->renderer->imageRef();
        refinement->renderer->data().notificationCenter().post(kNewHiResAvailable, refinement.get());
    });
}

void PreviewView::refinementDelivered(const void* refinement) {
    if (!running_ || refinement != running_.get())
        return;  // someone else's high-resolution image
    const std::shared_ptr<Refinement> done = std::move(running_);
    if (runningCurrent_ && done->image) {
        refined_ = done->image;
        update();
    }
    if (refinePending_) {
        refinePending_ = false;
        refine();
    }
}

QPointF PreviewView::upwardPosition(const QMouseEvent* event) {
    return QPointF(event->position().x(), -event->position().y());
}

void PreviewView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    if (!renderer_)
        return;
    if (renderer_->needsUpdateImage()) {
        // Also a change this view was not told of (a renderer setting).
        sceneChanged();
        QElapsedTimer clock;
        clock.start();
        renderer_->imageRef();
        adaptResolution(clock.nsecsElapsed() / 1e6);
    }
    const std::shared_ptr<const RgbaImage> image = shownImage();
    if (!image || image->width <= 0 || image->height <= 0)
        return;
    if (size_ == Size::Classic) {
        painter.drawImage(QPoint(0, height() - image->height), wrap(*image));
        return;
    }
    const QSizeF fitted = QSizeF(image->width, image->height).scaled(QSizeF(size()), Qt::KeepAspectRatio);
    const QRectF target(QPointF((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, wrap(*image));
}

void PreviewView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    pressPoint_ = upwardPosition(event);
    pressRotation_ = rotation_;
}

void PreviewView::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton))
        return;
    // The whole travel since the press, never a sum of steps: a position always gives the
    // same orientation, whatever path the mouse took.
    const QPointF travel = upwardPosition(event) - pressPoint_;
    rotation_ = trackball::turned(pressRotation_, travel.x(), travel.y());
    orientation_ = trackball::anglesForRotation(rotation_);
    if (renderer_) {
        applyResolution();
        renderer_->setOrientation(orientation_);
    }
    sceneChanged();
    update();
}

void PreviewView::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // Disabled while the application is busy; the refinement waits until then.
    if (event->type() == QEvent::EnabledChange && isEnabled() && size_ == Size::Fit && renderer_)
        refineTimer_.start();
}

void PreviewView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // The image scales at once; a refinement at the new size follows once the resizing stops.
    if (size_ == Size::Fit && renderer_)
        refineTimer_.start();
}

}  // namespace qz

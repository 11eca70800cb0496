#include "ui/PreviewView.h"

#include <QMouseEvent>
#include <QPainter>

#include "render/Renderer.h"
#include "ui/GuiThread.h"

namespace qz {

PreviewView::PreviewView(QWidget* parent, NotificationCenter& center) : QWidget(parent) {
    // Both notifications may be posted on a loading or editing thread.
    newDataObservation_ = observeOnGuiThread(center, kNewDataAvailable, this, [this] { updateImage(); });
    transferFktObservation_ =
        observeOnGuiThread(center, kTransferFktChanged, this, [this] { updateImage(); });
}

PreviewView::~PreviewView() {
    // No handler may queue a call to this object once its destruction has begun.
    newDataObservation_.reset();
    transferFktObservation_.reset();
}

void PreviewView::setRenderer(Renderer* renderer) {
    renderer_ = renderer;
}

void PreviewView::updateImage() {
    if (renderer_)
        renderer_->setNeedsUpdateImage(true);
    update();
}

float PreviewView::angleForTravel(float d) {
    const float half = d * 0.5f;
    return static_cast<float>((static_cast<double>(half) / 3.141592653589793) * 0.1);
}

_Vector PreviewView::orientationForDrag(_Vector reference, float dx, float dy) {
    return SumVectors(reference, MakeVector(angleForTravel(dy), angleForTravel(dx), 0.0f));
}

QPointF PreviewView::upwardWindowPosition(const QMouseEvent* event) const {
    const QPointF scene = event->scenePosition();
    return QPointF(scene.x(), static_cast<qreal>(window()->height()) - scene.y());
}

void PreviewView::paintEvent(QPaintEvent*) {
    if (!renderer_)
        return;
    // Renders now when the image is stale; the shared_ptr keeps the pixels alive while drawn.
    const std::shared_ptr<const RgbaImage> image = renderer_->imageRef();
    if (!image || image->width <= 0 || image->height <= 0)
        return;
    const QImage wrapped(image->pixels.data(), image->width, image->height, 4 * image->width,
                         QImage::Format_RGBA8888);
    QPainter painter(this);
    // One image pixel per view unit, the image's bottom row on the view's bottom edge.
    painter.drawImage(QPoint(0, height() - image->height), wrapped);
}

void PreviewView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    mouseReferencePoint_ = upwardWindowPosition(event);
    referenceOrientation_ = orientation_;
}

void PreviewView::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton))
        return;
    // The whole travel since the press, never a sum of steps: a position always gives the
    // same orientation, whatever path the mouse took.
    const QPointF p = upwardWindowPosition(event);
    const float dx = static_cast<float>(p.x()) - static_cast<float>(mouseReferencePoint_.x());
    const float dy = static_cast<float>(p.y()) - static_cast<float>(mouseReferencePoint_.y());
    orientation_ = orientationForDrag(referenceOrientation_, dx, dy);
    if (renderer_)
        renderer_->setOrientation(orientation_);
    update();
}

}  // namespace qz

#include "ui/HiResView.h"

#include <QPainter>

#include "render/Renderer.h"
#include "ui/JpegExport.h"

namespace qz {

HiResView::HiResView(QWidget* parent) : QWidget(parent) {}

HiResView::~HiResView() = default;

void HiResView::setRenderer(std::shared_ptr<Renderer> renderer) {
    renderer_ = std::move(renderer);
    // Already rendered on the worker thread; this call only hands out the finished image.
    image_ = renderer_ ? renderer_->imageRef() : nullptr;
    const QSize size = image_ ? QSize(image_->width, image_->height) : QSize(0, 0);
    setFixedSize(size);
}

QRect HiResView::visibleRect() const {
    QRect visible = rect();
    QPoint offset(0, 0);  // from this view to the ancestor being clipped against
    for (const QWidget* w = this; !w->isWindow() && w->parentWidget(); w = w->parentWidget()) {
        offset += w->pos();
        visible &= w->parentWidget()->rect().translated(-offset);
    }
    return visible;
}

QImage HiResView::visibleImage() {
    const QRect visible = visibleRect();
    if (visible.isEmpty())
        return QImage();
    // The paint fills the window's background under the image, so the opaque result holds
    // exactly what the user sees; rendering into a QImage keeps one pixel per view unit.
    QImage out(visible.size(), QImage::Format_RGB32);
    out.fill(palette().color(QPalette::Window));
    render(&out, QPoint(0, 0), QRegion(visible), QWidget::RenderFlags());
    return out;
}

bool HiResView::writeToFile(const QString& path, QString* error) {
    return writeJpegAtomically(visibleImage(), path, error);
}

void HiResView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Window));
    if (!image_ || image_->width <= 0 || image_->height <= 0)
        return;
    const QImage wrapped(image_->pixels.data(), image_->width, image_->height, 4 * image_->width,
                         QImage::Format_RGBA8888);
    painter.drawImage(QPoint(0, height() - image_->height), wrapped);
}

}  // namespace qz

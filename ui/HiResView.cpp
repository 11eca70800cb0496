#include "ui/HiResView.h"

#include <QPainter>

#include "render/Renderer.h"
#include "ui/JpegExport.h"

namespace qz {

HiResView::HiResView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

HiResView::~HiResView() = default;

void HiResView::setRenderer(std::shared_ptr<Renderer> renderer) {
    renderer_ = std::move(renderer);
    // Already rendered on the worker thread; this call only hands out the finished image.
    image_ = renderer_ ? renderer_->imageRef() : nullptr;
    setActualSize(actualSize_);
    update();
}

QSize HiResView::imageSize() const {
    return image_ ? QSize(image_->width, image_->height) : QSize();
}

void HiResView::setActualSize(bool actual) {
    actualSize_ = actual;
    if (actual) {
        setFixedSize(imageSize() / devicePixelRatioF());
    } else {
        setMinimumSize(0, 0);
        setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    }
    update();
}

QRectF HiResView::imageRect() const {
    if (imageSize().isEmpty())
        return QRectF();
    const QSizeF actual = QSizeF(imageSize()) / devicePixelRatioF();
    if (actualSize_)
        return QRectF(QPointF(0, 0), actual);
    // Scaled down to fit, never up.
    const QSizeF fitted = actual.boundedTo(QSizeF(size())) == actual
                              ? actual
                              : actual.scaled(QSizeF(size()), Qt::KeepAspectRatio);
    return QRectF(QPointF((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted);
}

QSize HiResView::sizeHint() const {
    return imageSize().isEmpty() ? QSize(200, 200) : imageSize() / devicePixelRatioF();
}

QImage HiResView::wrapped() const {
    if (!image_ || image_->width <= 0 || image_->height <= 0)
        return QImage();
    return QImage(image_->pixels.data(), image_->width, image_->height, 4 * image_->width,
                  QImage::Format_RGBA8888);
}

bool HiResView::writeToFile(const QString& path, QString* error) const {
    return writeImageAtomically(wrapped(), path, error);
}

void HiResView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    const QImage image = wrapped();
    if (image.isNull())
        return;
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(imageRect(), image);
}

}  // namespace qz

#pragma once

#include <memory>

#include <QImage>
#include <QWidget>

namespace qz {

class Renderer;
struct RgbaImage;

// Shows one finished high-resolution image over black, centred: scaled down smoothly where it is
// larger than the view, keeping its aspect, or at its actual size (one image pixel per device
// pixel, the view sized to the image). Writes the image itself. The view takes the renderer's
// image when it is given the renderer and keeps showing it: a volume loaded later does not make a
// finished window re-render at full size on the GUI thread.
class HiResView : public QWidget {
    Q_OBJECT

  public:
    explicit HiResView(QWidget* parent = nullptr);
    ~HiResView() override;

    // Shares ownership, so the renderer outlives both the render thread and this view's use.
    void setRenderer(std::shared_ptr<Renderer> renderer);
    const std::shared_ptr<Renderer>& renderer() const { return renderer_; }
    // The image's size in pixels (empty without one).
    QSize imageSize() const;

    void setActualSize(bool actual);
    bool actualSize() const { return actualSize_; }
    // Where the image is drawn, in view coordinates.
    QRectF imageRect() const;

    // Writes the whole image, atomically, as PNG (the renderer's RGBA bytes exactly) or JPEG
    // (quality 95, over black) as the path's extension says; false with a reason on failure.
    bool writeToFile(const QString& path, QString* error = nullptr) const;

    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QImage wrapped() const;

    std::shared_ptr<Renderer> renderer_;
    std::shared_ptr<const RgbaImage> image_;
    bool actualSize_ = false;
};

}  // namespace qz

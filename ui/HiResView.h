#pragma once

#include <memory>

#include <QImage>
#include <QWidget>

namespace qz {

class Renderer;
struct RgbaImage;

// Shows one finished high-resolution image unscaled and writes what is visible of it as JPEG.
// The view takes the renderer's image when it is given the renderer and keeps showing it: a
// volume loaded later does not make a finished window re-render at full size on the GUI thread.
class HiResView : public QWidget {
    Q_OBJECT

  public:
    explicit HiResView(QWidget* parent = nullptr);
    ~HiResView() override;

    // Shares ownership, so the renderer outlives both the render thread and this view's use.
    // Sizes the view to the image.
    void setRenderer(std::shared_ptr<Renderer> renderer);
    const std::shared_ptr<Renderer>& renderer() const { return renderer_; }

    // The part of the view not cut off by its parents or the window's edges, in view coordinates.
    QRect visibleRect() const;
    // What the visible part shows, one pixel per view unit, transparency flattened onto the
    // window's background colour. Null when nothing is visible.
    QImage visibleImage();
    // Writes visibleImage() as JPEG, atomically; false with a reason on failure.
    bool writeToFile(const QString& path, QString* error = nullptr);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    std::shared_ptr<Renderer> renderer_;
    std::shared_ptr<const RgbaImage> image_;
};

}  // namespace qz

#pragma once

#include <memory>

#include <QPointF>
#include <QTimer>
#include <QWidget>

#include "data/Vector.h"
#include "platform/NotificationCenter.h"
#include "ui/Trackball.h"

namespace qz {

class Renderer;
struct RgbaImage;

// Shows the selected renderer's image over black and turns the volume by dragging (a trackball
// about the screen's axes). The renderer's own image is rendered lazily, inside the paint,
// through imageRef().
//
// Fit (the default): the image is scaled smoothly to fill the view, keeping its aspect. The
// renderer renders at a resolution that keeps each frame within about kFrameBudgetMs, adapted
// frame by frame from 100 pixels; kRefineDelayMs after the last change (a drag step, an edit, a
// new volume, a resize) a fresh renderer of the same kind renders the view's pixel size at
// quality 1 on a worker thread, with shading as setRefinedShading says, and its image replaces
// the preview's until the next change, which abandons a refinement still running.
// Classic: the renderer's image at 100 pixels, unscaled at the view's lower-left corner.
//
// The rotation survives a change of renderer.
class PreviewView : public QWidget {
    Q_OBJECT

  public:
    enum class Size { Fit, Classic };
    static constexpr int kClassicResolution = 100;
    static constexpr int kFrameBudgetMs = 30;
    static constexpr int kRefineDelayMs = 200;

    explicit PreviewView(QWidget* parent = nullptr,
                         NotificationCenter& center = NotificationCenter::defaultCenter());
    ~PreviewView() override;

    // Not owned; renders again (its image may have gone stale while it was hidden).
    void setRenderer(Renderer* renderer);
    Renderer* renderer() const { return renderer_; }

    void setPreviewSize(Size size);
    Size previewSize() const { return size_; }
    void setRefinedShading(bool shading);
    bool refinedShading() const { return refinedShading_; }

    // The angles handed to the renderer, and the rotation they come from.
    _Vector orientation() const { return orientation_; }
    const trackball::Rotation& rotation() const { return rotation_; }
    // Turns to these angles (Home, the standard views).
    void setOrientation(_Vector angles);

    // The volume, the transfer function or a setting of the renderer changed: render again.
    void updateImage();

    // What the view shows: the refinement while it is current, otherwise the renderer's image.
    std::shared_ptr<const RgbaImage> shownImage() const;
    bool isRefined() const { return refined_ != nullptr; }
    // A refinement renders on a worker thread (possibly one already abandoned).
    bool isRefining() const { return running_ != nullptr; }
    // The resolution the renderer gets for the next interactive frame (Fit).
    int dragResolution() const { return dragResolution_; }
    // The resolution whose image fills the view's pixels (0 when nothing is shown).
    int fittingResolution() const;

    QSize sizeHint() const override { return QSize(480, 360); }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    struct Refinement;

    // Mouse position with y growing upward, the convention of the drag's angles.
    static QPointF upwardPosition(const QMouseEvent* event);
    // The interactive image is about to change: the refinement is out of date.
    void sceneChanged();
    void applyResolution();
    void adaptResolution(double milliseconds);
    void refine();
    void refinementDelivered(const void* refinement);

    Renderer* renderer_ = nullptr;
    Size size_ = Size::Fit;
    bool refinedShading_ = false;
    trackball::Rotation rotation_ = trackball::rotationForAngles(MakeVector(0.0f, 0.0f, 0.0f));
    trackball::Rotation pressRotation_ = rotation_;
    _Vector orientation_{0.0f, 0.0f, 0.0f};
    QPointF pressPoint_{0.0, 0.0};
    int dragResolution_ = kClassicResolution;

    QTimer refineTimer_;
    std::shared_ptr<Refinement> running_;  // at most one refinement renders at a time
    bool runningCurrent_ = false;          // its image is still wanted
    bool refinePending_ = false;           // another one is due once it is back
    std::shared_ptr<const RgbaImage> refined_;

    Observation newDataObservation_;
    Observation transferFktObservation_;
    Observation refinedObservation_;
};

}  // namespace qz

#pragma once

#include <QPointF>
#include <QWidget>

#include "data/Vector.h"
#include "platform/NotificationCenter.h"

namespace qz {

class Renderer;

// Shows the selected renderer's image unscaled at the view's lower-left corner and turns the
// volume by dragging. The image is rendered lazily, inside the paint, through imageRef(). The
// view keeps an orientation of its own that survives a change of renderer.
class PreviewView : public QWidget {
    Q_OBJECT

  public:
    explicit PreviewView(QWidget* parent = nullptr,
                         NotificationCenter& center = NotificationCenter::defaultCenter());
    ~PreviewView() override;

    // Not owned; the caller asks for the redraw.
    void setRenderer(Renderer* renderer);
    Renderer* renderer() const { return renderer_; }

    _Vector orientation() const { return orientation_; }
    _Vector referenceOrientation() const { return referenceOrientation_; }

    // The volume or the transfer function changed: mark the shown image stale and redraw.
    void updateImage();

    // Angle step for a mouse travel of d units: ((d * 0.5f) / pi) * 0.1, the last two steps in
    // double precision, rounded to float.
    static float angleForTravel(float d);
    // reference + (angle(dy), angle(dx), 0); dy grows upward.
    static _Vector orientationForDrag(_Vector reference, float dx, float dy);

    QSize sizeHint() const override { return QSize(320, 140); }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

  private:
    // Mouse position in window coordinates with y growing upward, the convention the rotation
    // is defined in; the only place where Qt's downward y is flipped.
    QPointF upwardWindowPosition(const QMouseEvent* event) const;

    Renderer* renderer_ = nullptr;
    _Vector orientation_{0.0f, 0.0f, 0.0f};
    _Vector referenceOrientation_{0.0f, 0.0f, 0.0f};
    QPointF mouseReferencePoint_{0.0, 0.0};
    Observation newDataObservation_;
    Observation transferFktObservation_;
};

}  // namespace qz

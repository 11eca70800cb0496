#pragma once

#include <QColor>
#include <QPainterPath>
#include <QPointF>
#include <QSize>
#include <QTransform>
#include <QWidget>
#include <cstdint>
#include <functional>

#include "data/Data.h"
#include "platform/NotificationCenter.h"
#include "transfer/TransferFkt.h"

class QColorDialog;
class QPainter;

namespace qz {

class TransferFktHistory;

// Display scale of the editor's vertical axis: three decades, 0 -> 0 and 1 -> 1.
float linToLog(float v);
// Inverse of linToLog: a height fraction back to a value in 0 .. 1.
float logToLin(float h);

// Gradient colour at parameter t (0 at the left edge, 1 at the right) read from an RGBA table of
// kMaxDensity entries: out = red, green, blue, alpha in 0 .. 1.
void calculateShadingValues(const std::uint8_t* table, const float* in, float* out);

// The transfer function editor: a colour bar along the bottom, the loaded volume's histogram on a
// logarithmic scale above it, both filled with the transfer function's colours, the opacity curve
// and markers on the reference points. Mouse gestures, keys, the shared colour panel and the
// editing calls below edit the model; with a history, each gesture or call is one undo step.
//
// Internally everything is computed in the editor's own coordinates: origin at the lower left,
// y growing upward; editorToWidget() is the one place that maps them to Qt's downward y.
class TransferFktView : public QWidget {
    Q_OBJECT

  public:
    explicit TransferFktView(QWidget* parent = nullptr, TransferFkt& fkt = TransferFkt::sharedInstance(),
                             Data& data = Data::sharedInstance());
    ~TransferFktView() override;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // Height of the colour bar and lower edge of the histogram area.
    static constexpr int kDataPathStartsAtY = 15;
    // Areas of a press.
    static constexpr int kNoArea = 0;
    static constexpr int kColorBarArea = 1;
    static constexpr int kHistogramArea = 2;

    // The one non-modal colour panel of the application, created on first use.
    static QColorDialog* sharedColorPanel();

    TransferFkt& fkt() const { return fkt_; }

    // Editor coordinates (y up) to widget coordinates (y down); it is its own inverse.
    QTransform editorToWidget() const;

    // The outlines as last built, in editor coordinates.
    const QPainterPath& dataPath() const { return dataPath_; }
    const QPainterPath& opacityPath() const { return opacityPath_; }

    // Mappings of the mouse handlers, positions in editor coordinates.
    int densityOfPress(float x) const;
    int densityOfDrag(float x) const;
    float heightFraction(float y) const;
    static std::uint8_t opacityByte(float heightFraction);

    // The reference point of the area's kind (kColorBarArea: colour, otherwise opacity) at or
    // within the hit tolerance of density; -1 for none.
    int nextReferencePointForDensity(int density, int mouseArea) const;

    int selectedOpacityReferencePoint() const { return selectedOpacityReferencePoint_; }
    int selectedRGBReferencePoint() const { return selectedRGBReferencePoint_; }
    // The kind of the last pressed point, which keys act on: kHistogramArea (opacity), kColorBarArea.
    int activeKind() const { return activeKind_; }

    // Where the edits are recorded; none by default.
    void setHistory(TransferFktHistory* history) { history_ = history; }

    // Edits of the selected point of a kind (kHistogramArea or kColorBarArea), each one undo step.
    // A move lands as a drag released there would (covering a point there); the end points stay.
    void moveSelectedPoint(int kind, int density);
    void setSelectedOpacity(int opacity);
    void removeSelectedPoint(int kind);
    // Moves the active kind's point by densities (stopping before a neighbour), an opacity point
    // also by opacity steps; a run of nudges is one undo step.
    void nudgeSelectedPoint(int densities, int opacities);
    // Opens the colour panel on the selected colour point.
    void editSelectedColor();
    bool isMouseDown() const { return isMouseDown_; }
    int mouseDownInArea() const { return mouseDownInArea_; }

    // Delay before a held press adds a point (one second); the hold timers already started keep theirs.
    void setHoldInterval(int milliseconds) { holdInterval_ = milliseconds; }
    int holdInterval() const { return holdInterval_; }
    // Hold timers started and not yet fired.
    int pendingHoldCount() const { return pendingHolds_; }

  public slots:
    void redraw();
    void updateDataPath();
    void updateOpacityPath();

    // Hold handlers, run by the one-second timers a press starts.
    void showColorPanel(int density);
    void mayAddNewOpacityReferencePoint(int density, float opacity);
    // The colour panel's continuous action: recolours the selected colour point.
    void changeColor(const QColor& color);

  signals:
    // The selection or the function changed.
    void selectionChanged();
    // What lies under the mouse (density, voxel count, the table's RGBA); empty once it leaves.
    void readout(const QString& text);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    // Gesture handlers, positions in editor coordinates.
    void mouseDown(QPointF position, bool control);
    void rightMouseDown(QPointF position);
    void mouseDragged(QPointF position);
    void mouseUp();

    void drawOpacityReferencePointForDensity(int density, QPainter& painter);
    void drawRGBReferencePointForDensity(int density, QPainter& painter);
    float xOfDensity(int density) const;
    float yOfValue(float value) const;

    QPointF toEditor(QPointF widgetPosition) const;
    void startHold(int density, float opacity, bool colorBar);
    void openColorPanel(int density);
    void showReadout(QPointF position);
    // One undo step: the edits between beginStep() and endStep(text).
    void beginStep();
    void endStep(const QString& text, int mergeKey = 0);
    // Runs edit as one step of its own, or as part of the gesture under way.
    void editStep(const QString& text, int mergeKey, const std::function<void()>& edit);
    // Moves a point to a density, replacing any point of its kind there, and selects it.
    void movePoint(bool colour, int from, int to);

    TransferFkt& fkt_;
    Data& data_;
    QPainterPath dataPath_;
    QPainterPath opacityPath_;

    bool isMouseDown_ = false;
    int mouseDownInArea_ = kNoArea;
    int selectedOpacityReferencePoint_ = -1;
    int selectedRGBReferencePoint_ = -1;
    int clickedRGBReferencePoint_ = -1;
    int clickedRGBPoint_ = -1;
    int clickedOpacityPoint_ = -1;
    int mouseDraggedOldRGBReferencePoint_ = -1;
    std::uint8_t mouseDraggedOldRGBReferencePointRGBA_[4] = {0, 0, 0, 0};
    int mouseDraggedOldOpacityReferencePoint_ = -1;
    float mouseDraggedOldOpacityReferencePointOpacity_ = 0.0f;

    int activeKind_ = kNoArea;
    TransferFktHistory* history_ = nullptr;
    QString gestureStep_;  // what the gesture under way has done, named for its undo step

    int holdInterval_ = 1000;
    int pendingHolds_ = 0;

    Observation newDataObservation_;
    Observation changedObservation_;
};

}  // namespace qz

#include "ui/TransferFktView.h"

#include <QColorDialog>
#include <QCoreApplication>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>
#include <QPointer>
#include <QSignalBlocker>
#include <QTimer>
#include <algorithm>
#include <cmath>

#include "ui/GuiThread.h"
#include "ui/TransferFktHistory.h"

namespace qz {

namespace {

constexpr int D = kMaxDensity;
constexpr double kByteToUnit = 0.00392156862745098;
// Merge keys of the undo steps that run together: nudges of one kind, colour panel changes of a point.
constexpr int kNudgeStep = 1;
constexpr int kRecolourStep = 3;

QColor outlineGrey() {
    return QColor::fromRgbF(0.75f, 0.75f, 0.75f, 1.0f);
}
QColor selectedGrey() {
    return QColor::fromRgbF(0.3f, 0.3f, 0.3f, 1.0f);
}

QPen strokePen(const QColor& color, qreal width, Qt::PenJoinStyle join) {
    // Butt caps as the editor's outlines have always been drawn; joins as each outline asks.
    return QPen(color, width, Qt::SolidLine, Qt::FlatCap, join);
}

QColor toQColor(const Color& c) {
    return QColor::fromRgbF(c.red, c.green, c.blue, c.alpha);
}

// The application's one colour panel and the view its changes go to.
struct ColorPanel {
    QPointer<QColorDialog> dialog;
    QPointer<TransferFktView> target;
};

ColorPanel& colorPanel() {
    static ColorPanel panel;
    return panel;
}

void deleteColorPanel() {
    // Runs while the application object still exists, so the dialog goes down with it.
    delete colorPanel().dialog.data();
}

// Sets the panel's colour without it reporting a change: only the user's changes recolour points.
void setPanelColor(const Color& color) {
    QColorDialog* dialog = TransferFktView::sharedColorPanel();
    const QSignalBlocker blocker(dialog);
    dialog->setCurrentColor(toQColor(color));
}

}  // namespace

float linToLog(float v) {
    return float(std::log10(999.0 * double(v) + 1.0) / 3.0);
}

float logToLin(float h) {
    return float((std::exp(3.0 * double(h) * std::log(10.0)) - 1.0) / 999.0);
}

void calculateShadingValues(const std::uint8_t* table, const float* in, float* out) {
    const int d = std::clamp(int(in[0] * float(D)), 0, D - 1);
    for (int c = 0; c < 4; ++c)
        out[c] = float(table[4 * d + c] * kByteToUnit);
}

TransferFktView::TransferFktView(QWidget* parent, TransferFkt& fkt, Data& data)
    : QWidget(parent), fkt_(fkt), data_(data) {
    // Notifications may arrive on a loader's or a renderer's thread; there the handlers only hand
    // the rebuild over to the GUI thread. Changes made on the GUI thread rebuild at once.
    newDataObservation_ = observeOnGuiThread(
        data_.notificationCenter(), kNewDataAvailable, this, [this] { updateDataPath(); },
        GuiDelivery::DirectOnReceiverThread);
    changedObservation_ = observeOnGuiThread(
        fkt_.notificationCenter(), kTransferFktChanged, this, [this] { redraw(); },
        GuiDelivery::DirectOnReceiverThread);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setToolTip(
        tr("Above the bar, opacity points: hold the button still for a second, or double-click, on an "
           "empty spot to add one; drag a point to move it.\n"
           "In the colour bar, colour points: hold or double-click to add one and open the colours.\n"
           "Right-click or Control-click removes a point. Delete removes the selected point, the arrow "
           "keys nudge it (Shift: 10 at a time)."));
    updateDataPath();
    updateOpacityPath();
}

TransferFktView::~TransferFktView() {
    // No handler may reach this view once its destruction has begun.
    newDataObservation_.reset();
    changedObservation_.reset();
}

QSize TransferFktView::sizeHint() const {
    return QSize(400, 150);
}

QSize TransferFktView::minimumSizeHint() const {
    return QSize(100, 40);
}

QColorDialog* TransferFktView::sharedColorPanel() {
    ColorPanel& panel = colorPanel();
    if (!panel.dialog) {
        auto* dialog = new QColorDialog();
        dialog->setOptions(QColorDialog::NoButtons | QColorDialog::DontUseNativeDialog);
        dialog->setModal(false);
        dialog->setWindowTitle(QStringLiteral("Colors"));
        QObject::connect(dialog, &QColorDialog::currentColorChanged, [](const QColor& color) {
            if (colorPanel().target)
                colorPanel().target->changeColor(color);
        });
        panel.dialog = dialog;
        qAddPostRoutine(deleteColorPanel);
    }
    return panel.dialog;
}

QTransform TransferFktView::editorToWidget() const {
    // The single flip between the editor's upward y and Qt's downward y.
    return QTransform(1.0, 0.0, 0.0, -1.0, 0.0, qreal(height()));
}

QPointF TransferFktView::toEditor(QPointF widgetPosition) const {
    return editorToWidget().map(widgetPosition);
}

float TransferFktView::xOfDensity(int density) const {
    return (float(width()) / float(D)) * float(density);
}

float TransferFktView::yOfValue(float value) const {
    return linToLog(value) * (float(height()) - float(kDataPathStartsAtY)) + float(kDataPathStartsAtY);
}

int TransferFktView::densityOfPress(float x) const {
    const int d = int((x / float(width())) * float(D));
    return std::clamp(d, 0, D - 1);
}

int TransferFktView::densityOfDrag(float x) const {
    const float w = float(width());
    x = std::max(1.0f, std::min(x, w - 1.0f));
    const int d = int((x / w) * float(D - 1));
    // Only views wider than D - 1 points could reach an end this way; the ends never move sideways.
    return std::clamp(d, 1, D - 2);
}

float TransferFktView::heightFraction(float y) const {
    return (y - float(kDataPathStartsAtY)) / (float(height()) - float(kDataPathStartsAtY));
}

std::uint8_t TransferFktView::opacityByte(float heightFraction) {
    const float scaled = logToLin(heightFraction) * 255.0f;
    return std::uint8_t(std::clamp(int(scaled), 0, 255));
}

int TransferFktView::nextReferencePointForDensity(int density, int mouseArea) const {
    auto isReference = [&](int d) {
        return mouseArea == kColorBarArea ? fkt_.isRGBReferencePoint(d) : fkt_.isOpacityReferencePoint(d);
    };
    if (isReference(density))
        return density;

    // The densities that 5 points of width span.
    const int tolerance = int((5.0f * float(D)) / float(width()));
    int below = 0;
    for (int k = 1; k <= tolerance - 1 && density - k >= 0; ++k) {
        if (isReference(density - k)) {
            below = k;
            break;
        }
    }
    int above = 0;
    for (int k = 1; k <= tolerance - 1 && density + k < D; ++k) {
        if (isReference(density + k)) {
            above = k;
            break;
        }
    }
    // Points on both sides: the nearer one wins, the lower one on a tie.
    if (below != 0 && (above == 0 || below <= above))
        return density - below;
    if (above != 0)
        return density + above;
    return -1;
}

void TransferFktView::redraw() {
    // An undo or a new function may have taken the selected points away.
    if (selectedOpacityReferencePoint_ >= 0 && !fkt_.isOpacityReferencePoint(selectedOpacityReferencePoint_))
        selectedOpacityReferencePoint_ = -1;
    if (selectedRGBReferencePoint_ >= 0 && !fkt_.isRGBReferencePoint(selectedRGBReferencePoint_))
        selectedRGBReferencePoint_ = -1;
    updateDataPath();
    updateOpacityPath();
    update();
    emit selectionChanged();
}

void TransferFktView::updateDataPath() {
    const float w = float(width());
    const float h = float(height());
    QPainterPath path;
    path.moveTo(0.0, 0.0);
    path.lineTo(0.0, kDataPathStartsAtY);

    // Columns 3 points apart, each climbing to the largest histogram value of its densities.
    const int columns = int(double(width()) / 3.0);
    if (columns > 0) {
        const int perColumn = D / columns;
        const std::shared_ptr<const VolumeData> volume = data_.volume();
        const std::array<float, kMaxDensity>& occurrence = volume->occurrence();
        for (int c = 0; c < columns; ++c) {
            const float x = c == 0 ? 0.0f : (c == columns - 1 ? w : float(3 * c + 1));
            float m = 0.0f;
            for (int k = 0; k < perColumn; ++k) {
                m = std::max(m, occurrence[std::size_t(c * perColumn + k)]);
                const float l = linToLog(m);
                if (l > 0.0f)
                    path.lineTo(x, l * (h - float(kDataPathStartsAtY)) + float(kDataPathStartsAtY));
            }
        }
    }
    path.lineTo(w, kDataPathStartsAtY);
    path.lineTo(w, 0.0);
    path.closeSubpath();
    dataPath_ = path;
    update();
}

void TransferFktView::updateOpacityPath() {
    // Built aside: reading the model may run a pending walk whose notification rebuilds it too.
    QPainterPath path;
    for (int d = 0; d < D; ++d) {
        if (!fkt_.isOpacityReferencePoint(d))
            continue;
        const QPointF point(xOfDensity(d), yOfValue(fkt_.getColorForDensity(d).alpha));
        if (d == 0) {
            path.moveTo(point);
        } else {
            path.lineTo(point);
        }
    }
    opacityPath_ = path;
    update();
}

void TransferFktView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    redraw();
}

void TransferFktView::paintEvent(QPaintEvent*) {
    const qreal w = width();
    const qreal h = height();
    // Copies: a model read below may rebuild the members while this pass uses them.
    const QPainterPath dataPath = dataPath_;
    const QPainterPath opacityPath = opacityPath_;

    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setWorldTransform(editorToWidget());

    painter.setPen(strokePen(Qt::black, 1.0, Qt::MiterJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRectF(0.0, 0.0, w, h));

    // Colour bar and histogram silhouette: each device pixel column shows the table's colour of
    // the density under its centre, blended by that density's opacity.
    const qreal ratio = devicePixelRatioF();
    const int pixelColumns = std::max(1, int(std::ceil(w * ratio)));
    QImage shading(pixelColumns, 1, QImage::Format_ARGB32);
    const ColorTable table = fkt_.tableAsIs();
    for (int i = 0; i < pixelColumns; ++i) {
        const float t = w > 0.0 ? float(((i + 0.5) / ratio) / w) : 0.0f;
        float rgba[4];
        calculateShadingValues(table.data(), &t, rgba);
        shading.setPixelColor(i, 0, QColor::fromRgbF(rgba[0], rgba[1], rgba[2], rgba[3]));
    }
    QBrush gradient(shading);
    gradient.setTransform(QTransform::fromScale(1.0 / ratio, 1.0 / ratio));
    painter.save();
    painter.fillPath(dataPath, gradient);
    painter.restore();

    painter.setClipRect(QRectF(0.0, 0.0, w, h));
    const QPen outline = strokePen(outlineGrey(), 2.0, Qt::RoundJoin);
    painter.strokePath(dataPath, outline);
    painter.setPen(outline);
    painter.drawLine(QPointF(0.0, kDataPathStartsAtY), QPointF(w, kDataPathStartsAtY));
    painter.strokePath(opacityPath, strokePen(outlineGrey(), 3.0, Qt::RoundJoin));

    for (int d = 0; d < D; ++d) {
        if (fkt_.isOpacityReferencePoint(d))
            drawOpacityReferencePointForDensity(d, painter);
        if (fkt_.isRGBReferencePoint(d))
            drawRGBReferencePointForDensity(d, painter);
    }
    // The selected markers again, on top of any neighbour they overlap.
    if (selectedOpacityReferencePoint_ >= 0)
        drawOpacityReferencePointForDensity(selectedOpacityReferencePoint_, painter);
    if (selectedRGBReferencePoint_ >= 0)
        drawRGBReferencePointForDensity(selectedRGBReferencePoint_, painter);
}

void TransferFktView::drawOpacityReferencePointForDensity(int density, QPainter& painter) {
    const QPointF centre(xOfDensity(density), yOfValue(fkt_.getColorForDensity(density).alpha));
    QPainterPath circle;
    circle.addEllipse(centre, 3.0, 3.0);
    painter.fillPath(circle, Qt::black);
    const QColor stroke = density == selectedOpacityReferencePoint_ ? selectedGrey() : outlineGrey();
    painter.strokePath(circle, strokePen(stroke, 2.0, Qt::MiterJoin));
}

void TransferFktView::drawRGBReferencePointForDensity(int density, QPainter& painter) {
    const float x = xOfDensity(density);
    const Color color = fkt_.getColorForDensity(density);
    QPainterPath triangle;
    triangle.moveTo(x - 5.0f, 0.0);
    triangle.lineTo(x + 5.0f, 0.0);
    triangle.lineTo(x, kDataPathStartsAtY);
    triangle.closeSubpath();
    // The colour alone: the density's opacity does not show on its marker.
    painter.fillPath(triangle, QColor::fromRgbF(color.red, color.green, color.blue, 1.0f));
    const QColor stroke = density == selectedRGBReferencePoint_ ? selectedGrey() : outlineGrey();
    painter.strokePath(triangle, strokePen(stroke, 2.0, Qt::MiterJoin));
}

void TransferFktView::mousePressEvent(QMouseEvent* event) {
    const QPointF position = toEditor(event->position());
    if (event->button() == Qt::LeftButton) {
        mouseDown(position, event->modifiers().testFlag(Qt::ControlModifier));
    } else if (event->button() == Qt::RightButton) {
        rightMouseDown(position);
    }
    event->accept();
}

void TransferFktView::mouseDoubleClickEvent(QMouseEvent* event) {
    // A press like any other whose hold ends at once: adds a point on an empty spot, and in the
    // colour bar opens the colour panel.
    mousePressEvent(event);
    if (event->button() != Qt::LeftButton || !isMouseDown_)
        return;
    if (mouseDownInArea_ == kColorBarArea) {
        showColorPanel(clickedRGBPoint_);
    } else if (selectedOpacityReferencePoint_ < 0) {
        mayAddNewOpacityReferencePoint(clickedOpacityPoint_,
                                       heightFraction(float(toEditor(event->position()).y())));
    }
}

void TransferFktView::mouseMoveEvent(QMouseEvent* event) {
    if (event->buttons().testFlag(Qt::LeftButton))
        mouseDragged(toEditor(event->position()));
    showReadout(toEditor(event->position()));
    event->accept();
}

void TransferFktView::leaveEvent(QEvent* event) {
    emit readout(QString());
    QWidget::leaveEvent(event);
}

void TransferFktView::showReadout(QPointF position) {
    const int d = densityOfPress(float(position.x()));
    std::uint8_t rgba[4];
    fkt_.getRGBA(rgba, d);
    emit readout(tr("Density %1    Count %2    RGBA %3 %4 %5 %6")
                     .arg(d)
                     .arg(data_.volume()->voxelCount(d))
                     .arg(rgba[0])
                     .arg(rgba[1])
                     .arg(rgba[2])
                     .arg(rgba[3]));
}

void TransferFktView::keyPressEvent(QKeyEvent* event) {
    const int step = event->modifiers().testFlag(Qt::ShiftModifier) ? 10 : 1;
    switch (event->key()) {
        case Qt::Key_Delete:
        case Qt::Key_Backspace:
            removeSelectedPoint(activeKind_);
            break;
        case Qt::Key_Left:
            nudgeSelectedPoint(-step, 0);
            break;
        case Qt::Key_Right:
            nudgeSelectedPoint(step, 0);
            break;
        case Qt::Key_Down:
            nudgeSelectedPoint(0, -step);
            break;
        case Qt::Key_Up:
            nudgeSelectedPoint(0, step);
            break;
        default:
            QWidget::keyPressEvent(event);
            return;
    }
    event->accept();
}

void TransferFktView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        mouseUp();
    event->accept();
}

void TransferFktView::startHold(int density, float opacity, bool colorBar) {
    // Never cancelled: the handler itself checks that the same press is still held, undragged.
    ++pendingHolds_;
    QTimer::singleShot(holdInterval_, this, [this, density, opacity, colorBar] {
        --pendingHolds_;
        if (colorBar) {
            showColorPanel(density);
        } else {
            mayAddNewOpacityReferencePoint(density, opacity);
        }
    });
}

void TransferFktView::beginStep() {
    if (history_)
        history_->begin();
}

void TransferFktView::endStep(const QString& text, int mergeKey) {
    if (history_)
        history_->record(text, mergeKey);
}

void TransferFktView::editStep(const QString& text, int mergeKey, const std::function<void()>& edit) {
    // Within a gesture the edit is part of the gesture's step.
    const bool own = mouseDownInArea_ == kNoArea;
    if (own)
        beginStep();
    edit();
    if (own)
        endStep(text, mergeKey);
    update();
    emit selectionChanged();
}

void TransferFktView::mouseDown(QPointF position, bool control) {
    if (control) {
        rightMouseDown(position);
        return;
    }
    beginStep();
    gestureStep_.clear();
    isMouseDown_ = true;
    const int d = densityOfPress(float(position.x()));
    const float y = float(position.y());

    // A press with no point within reach deselects, so a drag from there moves nothing.
    if (y < kDataPathStartsAtY) {
        mouseDownInArea_ = kColorBarArea;
        clickedRGBPoint_ = d;
        const int r = nextReferencePointForDensity(d, kColorBarArea);
        selectedRGBReferencePoint_ = r;
        if (r >= 0) {
            clickedRGBPoint_ = r;
            clickedRGBReferencePoint_ = r;
            setPanelColor(fkt_.getColorForDensity(r));
        }
        startHold(r >= 0 ? r : d, 0.0f, true);
    } else {
        mouseDownInArea_ = kHistogramArea;
        clickedOpacityPoint_ = d;
        const int r = nextReferencePointForDensity(d, kHistogramArea);
        selectedOpacityReferencePoint_ = r;
        if (r < 0)
            startHold(d, heightFraction(y), false);
    }
    activeKind_ = mouseDownInArea_;
    update();
    emit selectionChanged();
}

void TransferFktView::showColorPanel(int density) {
    if (!isMouseDown_ || mouseDownInArea_ != kColorBarArea || clickedRGBPoint_ != density)
        return;
    if (density != selectedRGBReferencePoint_) {
        // A new colour point with the colour the function already has there.
        std::uint8_t rgba[4];
        fkt_.getRGBA(rgba, density);
        fkt_.addRGBReferencePointForDensity(density, rgba);
        selectedRGBReferencePoint_ = density;
        gestureStep_ = tr("Add Colour Point");
        emit selectionChanged();
    }
    openColorPanel(density);
}

void TransferFktView::openColorPanel(int density) {
    colorPanel().target = this;
    setPanelColor(fkt_.getColorForDensity(density));
    QColorDialog* dialog = sharedColorPanel();
    dialog->show();
    dialog->raise();
    update();
}

void TransferFktView::editSelectedColor() {
    if (selectedRGBReferencePoint_ >= 0)
        openColorPanel(selectedRGBReferencePoint_);
}

void TransferFktView::changeColor(const QColor& color) {
    // The panel may still report changes after its point was removed.
    if (selectedRGBReferencePoint_ == -1 || !color.isValid())
        return;
    const QColor rgb = color.toRgb();
    const int s = selectedRGBReferencePoint_;
    editStep(tr("Recolour Point"), kRecolourStep + s, [&] {
        std::uint8_t rgba[4];
        fkt_.getRGBA(rgba, s);
        rgba[0] = std::uint8_t(int(double(rgb.redF()) * 255.0));
        rgba[1] = std::uint8_t(int(double(rgb.greenF()) * 255.0));
        rgba[2] = std::uint8_t(int(double(rgb.blueF()) * 255.0));
        fkt_.addRGBReferencePointForDensity(s, rgba);
        fkt_.update();
    });
}

void TransferFktView::mayAddNewOpacityReferencePoint(int density, float opacity) {
    if (!isMouseDown_ || mouseDownInArea_ != kHistogramArea || clickedOpacityPoint_ != density)
        return;
    if (density == selectedOpacityReferencePoint_)
        return;
    fkt_.addOpacityReferencePointForDensity(density, opacityByte(opacity));
    selectedOpacityReferencePoint_ = density;
    gestureStep_ = tr("Add Opacity Point");
    fkt_.update();
    update();
}

void TransferFktView::rightMouseDown(QPointF position) {
    const int d = densityOfPress(float(position.x()));
    editStep(tr("Remove Point"), 0, [&] {
        if (float(position.y()) >= kDataPathStartsAtY) {
            const int r = nextReferencePointForDensity(d, kHistogramArea);
            if (r > 0 && r < D - 1)
                fkt_.removeOpacityReferencePointForDensity(r);
            // A selected end point is deselected, though never removed.
            if (selectedOpacityReferencePoint_ == r)
                selectedOpacityReferencePoint_ = -1;
            fkt_.update();
        } else {
            const int r = nextReferencePointForDensity(d, kColorBarArea);
            if (r > 0 && r < D - 1)
                fkt_.removeRGBReferencePointForDensity(r);
            if (selectedRGBReferencePoint_ == r)
                selectedRGBReferencePoint_ = -1;
        }
    });
}

void TransferFktView::movePoint(bool colour, int from, int to) {
    std::uint8_t rgba[4];
    fkt_.getRGBA(rgba, from);
    if (colour) {
        fkt_.removeRGBReferencePointForDensity(from);
        fkt_.addRGBReferencePointForDensity(to, rgba);
        selectedRGBReferencePoint_ = to;
    } else {
        fkt_.removeOpacityReferencePointForDensity(from);
        fkt_.addOpacityReferencePointForDensity(to, rgba[3]);
        selectedOpacityReferencePoint_ = to;
    }
    fkt_.update();
}

void TransferFktView::moveSelectedPoint(int kind, int density) {
    const bool colour = kind == kColorBarArea;
    const int s = colour ? selectedRGBReferencePoint_ : selectedOpacityReferencePoint_;
    density = std::clamp(density, 1, D - 2);
    if (s <= 0 || s >= D - 1 || density == s)
        return;
    editStep(tr("Move Point"), 0, [&] { movePoint(colour, s, density); });
}

void TransferFktView::setSelectedOpacity(int opacity) {
    const int s = selectedOpacityReferencePoint_;
    if (s < 0)
        return;
    editStep(tr("Change Opacity"), 0, [&] {
        fkt_.addOpacityReferencePointForDensity(s, std::uint8_t(std::clamp(opacity, 0, 255)));
        fkt_.update();
    });
}

void TransferFktView::removeSelectedPoint(int kind) {
    const bool colour = kind == kColorBarArea;
    int& s = colour ? selectedRGBReferencePoint_ : selectedOpacityReferencePoint_;
    if (s <= 0 || s >= D - 1)
        return;
    editStep(tr("Remove Point"), 0, [&] {
        colour ? fkt_.removeRGBReferencePointForDensity(s) : fkt_.removeOpacityReferencePointForDensity(s);
        s = -1;
        fkt_.update();
    });
}

void TransferFktView::nudgeSelectedPoint(int densities, int opacities) {
    const bool colour = activeKind_ == kColorBarArea;
    const int s = colour ? selectedRGBReferencePoint_ : selectedOpacityReferencePoint_;
    if (s < 0)
        return;
    auto isReference = [&](int d) {
        return colour ? fkt_.isRGBReferencePoint(d) : fkt_.isOpacityReferencePoint(d);
    };
    // Inner points move up to the next point of their kind, never onto it; the ends stay put.
    int target = s;
    if (densities != 0 && s > 0 && s < D - 1) {
        const int direction = densities > 0 ? 1 : -1;
        const int limit = std::clamp(s + densities, 1, D - 2);
        while (target != limit && !isReference(target + direction))
            target += direction;
    }
    editStep(tr("Nudge Point"), kNudgeStep + (colour ? 1 : 0), [&] {
        if (target != s)
            movePoint(colour, s, target);
        if (!colour && opacities != 0) {
            std::uint8_t rgba[4];
            fkt_.getRGBA(rgba, target);
            fkt_.addOpacityReferencePointForDensity(target,
                                                    std::uint8_t(std::clamp(rgba[3] + opacities, 0, 255)));
            fkt_.update();
        }
    });
}

void TransferFktView::mouseDragged(QPointF position) {
    // Any movement disarms a pending hold.
    isMouseDown_ = false;
    const int d = densityOfDrag(float(position.x()));

    if (mouseDownInArea_ == kColorBarArea) {
        const int s = selectedRGBReferencePoint_;
        if (clickedRGBReferencePoint_ > 0 && clickedRGBReferencePoint_ < D - 1 && s >= 0) {
            std::uint8_t moving[4];
            fkt_.getRGBA(moving, s);
            fkt_.removeRGBReferencePointForDensity(s);
            // The point covered earlier at s comes back as the dragged point moves on.
            if (s == mouseDraggedOldRGBReferencePoint_) {
                fkt_.addRGBReferencePointForDensity(s, mouseDraggedOldRGBReferencePointRGBA_);
                mouseDraggedOldRGBReferencePoint_ = -1;
            }
            if (fkt_.isRGBReferencePoint(d)) {
                mouseDraggedOldRGBReferencePoint_ = d;
                fkt_.getRGBA(mouseDraggedOldRGBReferencePointRGBA_, d);
            }
            fkt_.addRGBReferencePointForDensity(d, moving);
            selectedRGBReferencePoint_ = d;
            clickedRGBReferencePoint_ = d;
            fkt_.update();
            if (gestureStep_.isEmpty())
                gestureStep_ = tr("Move Point");
        }
    } else if (mouseDownInArea_ == kHistogramArea && selectedOpacityReferencePoint_ >= 0) {
        const float fraction = std::clamp(heightFraction(float(position.y())), 0.0f, 1.0f);
        const std::uint8_t a = opacityByte(fraction);
        const int s = selectedOpacityReferencePoint_;
        if (s == 0 || s == D - 1) {
            // The end points only move up and down.
            fkt_.addOpacityReferencePointForDensity(s, a);
        } else {
            fkt_.removeOpacityReferencePointForDensity(s);
            if (s == mouseDraggedOldOpacityReferencePoint_) {
                const float restored = mouseDraggedOldOpacityReferencePointOpacity_ * 255.0f;
                fkt_.addOpacityReferencePointForDensity(s, std::uint8_t(int(restored)));
                mouseDraggedOldOpacityReferencePoint_ = -1;
            }
            if (fkt_.isOpacityReferencePoint(d)) {
                std::uint8_t rgba[4];
                fkt_.getRGBA(rgba, d);
                mouseDraggedOldOpacityReferencePoint_ = d;
                mouseDraggedOldOpacityReferencePointOpacity_ = float(rgba[3]) / 255.0f;
            }
            fkt_.addOpacityReferencePointForDensity(d, a);
            selectedOpacityReferencePoint_ = d;
        }
        fkt_.update();
        if (gestureStep_.isEmpty())
            gestureStep_ = tr("Move Point");
    }
    update();
}

void TransferFktView::mouseUp() {
    if (mouseDownInArea_ != kNoArea)
        endStep(gestureStep_.isEmpty() ? tr("Edit Transfer Function") : gestureStep_);
    isMouseDown_ = false;
    mouseDownInArea_ = kNoArea;
    clickedRGBReferencePoint_ = -1;
    clickedRGBPoint_ = -1;
    clickedOpacityPoint_ = -1;
    // A point still covered at the release is gone for good.
    mouseDraggedOldRGBReferencePoint_ = -1;
    mouseDraggedOldOpacityReferencePoint_ = -1;
}

}  // namespace qz

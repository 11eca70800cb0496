#include "ui/TransferFktPointPanel.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QPixmap>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/TransferFktView.h"

namespace qz {

namespace {

// A spin box that reports a value once it is entered (Return, focus out, arrows), not per keystroke.
QSpinBox* makeBox(int maximum, const QString& toolTip) {
    auto* box = new QSpinBox;
    box->setRange(0, maximum);
    box->setKeyboardTracking(false);
    box->setToolTip(toolTip);
    return box;
}

}  // namespace

TransferFktPointPanel::TransferFktPointPanel(TransferFktView* view, QWidget* parent)
    : QWidget(parent), view_(view) {
    opacityGroup_ = new QGroupBox(tr("Opacity point"));
    opacityDensity_ = makeBox(kMaxDensity - 1, tr("Density of the selected opacity point"));
    opacity_ = makeBox(255, tr("Opacity of the selected point: 0 transparent, 255 opaque"));
    auto* opacityForm = new QFormLayout(opacityGroup_);
    opacityForm->addRow(tr("Density"), opacityDensity_);
    opacityForm->addRow(tr("Opacity"), opacity_);

    colorGroup_ = new QGroupBox(tr("Colour point"));
    colorDensity_ = makeBox(kMaxDensity - 1, tr("Density of the selected colour point"));
    color_ = new QToolButton;
    color_->setToolTip(tr("Colour of the selected point: opens the colour panel"));
    color_->setIconSize(QSize(40, 14));
    auto* colorForm = new QFormLayout(colorGroup_);
    colorForm->addRow(tr("Density"), colorDensity_);
    colorForm->addRow(tr("Colour"), color_);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(opacityGroup_);
    layout->addWidget(colorGroup_);
    layout->addStretch(1);

    connect(opacityDensity_, &QSpinBox::valueChanged, view_,
            [this](int d) { view_->moveSelectedPoint(TransferFktView::kHistogramArea, d); });
    connect(opacity_, &QSpinBox::valueChanged, view_, &TransferFktView::setSelectedOpacity);
    connect(colorDensity_, &QSpinBox::valueChanged, view_,
            [this](int d) { view_->moveSelectedPoint(TransferFktView::kColorBarArea, d); });
    connect(color_, &QToolButton::clicked, view_, &TransferFktView::editSelectedColor);
    connect(view_, &TransferFktView::selectionChanged, this, &TransferFktPointPanel::refresh);
    refresh();
}

void TransferFktPointPanel::refresh() {
    // Values set here are not edits.
    const QSignalBlocker b1(opacityDensity_), b2(opacity_), b3(colorDensity_);
    auto isEnd = [](int d) { return d == 0 || d == kMaxDensity - 1; };

    const int o = view_->selectedOpacityReferencePoint();
    opacityGroup_->setEnabled(o >= 0);
    if (o >= 0) {
        opacityDensity_->setValue(o);
        std::uint8_t rgba[4];
        view_->fkt().getRGBA(rgba, o);
        opacity_->setValue(rgba[3]);
    }
    opacityDensity_->setEnabled(!isEnd(o));

    const int c = view_->selectedRGBReferencePoint();
    colorGroup_->setEnabled(c >= 0);
    QPixmap swatch(color_->iconSize());
    swatch.fill(Qt::transparent);
    if (c >= 0) {
        colorDensity_->setValue(c);
        std::uint8_t rgba[4];
        view_->fkt().getRGBA(rgba, c);
        swatch.fill(QColor(rgba[0], rgba[1], rgba[2]));
    }
    colorDensity_->setEnabled(!isEnd(c));
    color_->setIcon(QIcon(swatch));
}

}  // namespace qz

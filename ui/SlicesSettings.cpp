#include "ui/SlicesSettings.h"

#include <QButtonGroup>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLabel>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>

#include <cmath>

namespace qz {

SlicesSettings::SlicesSettings(QWidget* parent) : QWidget(parent) {
    auto* axisBox = new QGroupBox(tr("Axis"), this);
    auto* axisLayout = new QVBoxLayout(axisBox);
    axisGroup_ = new QButtonGroup(this);
    const char* names[] = {"X", "Y", "Z"};
    for (int axis = 0; axis < 3; ++axis) {
        auto* button = new QRadioButton(QString::fromLatin1(names[axis]), axisBox);
        axisGroup_->addButton(button, axis);
        axisLayout->addWidget(button);
    }
    // The slice renderer starts on axis 2 at depth 0.5.
    axisGroup_->button(2)->setChecked(true);

    auto* depthBox = new QGroupBox(tr("Depth"), this);
    auto* depthLayout = new QVBoxLayout(depthBox);
    slider_ = new QSlider(Qt::Horizontal, depthBox);
    slider_->setRange(0, kSliderSteps);
    slider_->setValue(kSliderSteps / 2);
    field_ = new QDoubleSpinBox(depthBox);
    field_->setRange(0.0, 1.0);
    field_->setDecimals(3);
    field_->setSingleStep(0.01);
    field_->setValue(0.5);
    depthLayout->addWidget(slider_);
    depthLayout->addWidget(field_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(axisBox);
    layout->addWidget(depthBox);
    layout->addStretch(1);

    connect(axisGroup_, &QButtonGroup::idToggled, this, [this](int id, bool checked) {
        if (checked)
            emit axisChanged(id);
    });
    // Each control moves the other silently, so one change sends one depth.
    connect(slider_, &QSlider::valueChanged, this, [this](int value) {
        const double depth = static_cast<double>(value) / kSliderSteps;
        const QSignalBlocker block(field_);
        field_->setValue(depth);
        emit depthChanged(static_cast<float>(depth));
    });
    connect(field_, &QDoubleSpinBox::valueChanged, this, [this](double depth) {
        const QSignalBlocker block(slider_);
        slider_->setValue(static_cast<int>(std::lround(depth * kSliderSteps)));
        emit depthChanged(static_cast<float>(depth));
    });
}

int SlicesSettings::axis() const {
    return axisGroup_->checkedId();
}

double SlicesSettings::depth() const {
    return field_->value();
}

}  // namespace qz

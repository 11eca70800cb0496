#pragma once

#include <QWidget>

class QButtonGroup;
class QDoubleSpinBox;
class QSlider;

namespace qz {

// The slice renderer's settings: the axis as three radio buttons (0 = x, 1 = y, 2 = z) and the
// relative depth 0..1 as a slider with a numeric field, kept in step with each other.
class SlicesSettings : public QWidget {
    Q_OBJECT

  public:
    explicit SlicesSettings(QWidget* parent = nullptr);

    int axis() const;
    double depth() const;

  signals:
    void axisChanged(int axis);
    void depthChanged(float depth);

  private:
    static constexpr int kSliderSteps = 1000;
    QButtonGroup* axisGroup_ = nullptr;
    QSlider* slider_ = nullptr;
    QDoubleSpinBox* field_ = nullptr;
};

}  // namespace qz

#pragma once

#include <QDialog>

#include "data/VolumeReader.h"

class QCheckBox;
class QDoubleSpinBox;

namespace qz {

// How scans become densities: the automatic rule, or a window LO .. HI of the scan's own values
// (Hounsfield units for CT) mapped onto 0 .. 4095.
class DensityWindowDialog : public QDialog {
    Q_OBJECT

  public:
    explicit DensityWindowDialog(const ReadOptions& options, QWidget* parent = nullptr);

    ReadOptions options() const;
    QCheckBox* windowBox() const { return useWindow_; }
    QDoubleSpinBox* loBox() const { return lo_; }
    QDoubleSpinBox* hiBox() const { return hi_; }

  private:
    QCheckBox* useWindow_ = nullptr;
    QDoubleSpinBox* lo_ = nullptr;
    QDoubleSpinBox* hi_ = nullptr;
};

}  // namespace qz

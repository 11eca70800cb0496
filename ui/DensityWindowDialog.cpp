#include "ui/DensityWindowDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace qz {

DensityWindowDialog::DensityWindowDialog(const ReadOptions& options, QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("Density Window"));
    useWindow_ = new QCheckBox(tr("Map a window of the scan's values onto the densities"), this);
    useWindow_->setChecked(options.useWindow);
    auto spin = [this](double value) {
        auto* box = new QDoubleSpinBox(this);
        box->setRange(-1e9, 1e9);
        box->setDecimals(2);
        box->setValue(value);
        return box;
    };
    const bool set = options.window.lo < options.window.hi;
    lo_ = spin(set ? options.window.lo : -1000.0);
    hi_ = spin(set ? options.window.hi : 2000.0);
    auto* note =
        new QLabel(tr("Without a window, Hounsfield units map to HU + 1024, unsigned 12-bit data stays "
                      "as it is and anything else spreads its own minimum .. maximum over 0 .. 4095. "
                      "Applies to DICOM, NIfTI, NRRD and MetaImage scans (a .dat holds densities)."),
                   this);
    note->setWordWrap(true);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto update = [this, buttons] {
        lo_->setEnabled(useWindow_->isChecked());
        hi_->setEnabled(useWindow_->isChecked());
        buttons->button(QDialogButtonBox::Ok)
            ->setEnabled(!useWindow_->isChecked() || lo_->value() < hi_->value());
    };
    connect(useWindow_, &QCheckBox::toggled, this, update);
    connect(lo_, &QDoubleSpinBox::valueChanged, this, update);
    connect(hi_, &QDoubleSpinBox::valueChanged, this, update);
    update();

    auto* form = new QFormLayout;
    form->addRow(QString(), useWindow_);
    form->addRow(tr("Lowest (density 0):"), lo_);
    form->addRow(tr("Highest (density 4095):"), hi_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(note);
    layout->addWidget(buttons);
}

ReadOptions DensityWindowDialog::options() const {
    ReadOptions options;
    options.useWindow = useWindow_->isChecked() && lo_->value() < hi_->value();
    options.window = DensityWindow{lo_->value(), hi_->value()};
    return options;
}

}  // namespace qz

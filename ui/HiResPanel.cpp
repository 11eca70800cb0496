#include "ui/HiResPanel.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace qz {

HiResPanel::HiResPanel(QWidget* parent) : QDialog(parent, Qt::Sheet) {
    setWindowModality(Qt::WindowModal);
    setWindowTitle(tr("High Resolution"));

    resolution_ = new QSpinBox(this);
    resolution_->setRange(1, kMaxResolution);
    resolution_->setValue(kInitialResolution);
    resolution_->setSuffix(tr(" px"));
    shading_ = new QCheckBox(tr("Shading"), this);

    auto* buttons = new QDialogButtonBox(this);
    render_ = buttons->addButton(tr("Render"), QDialogButtonBox::AcceptRole);
    cancel_ = buttons->addButton(QDialogButtonBox::Cancel);
    render_->setDefault(true);
    // Render is wired by the controller; Cancel and Escape reject.
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);

    auto* form = new QFormLayout;
    form->addRow(tr("Resolution:"), resolution_);
    form->addRow(QString(), shading_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

}  // namespace qz

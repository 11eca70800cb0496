#include "ui/ProgressSheet.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace qz {

ProgressSheet::ProgressSheet(QWidget* parent) : QDialog(parent, Qt::Sheet) {
    setWindowTitle(tr("Working"));
    info_ = new QLabel(this);
    info_->setMinimumWidth(280);
    bar_ = new QProgressBar(this);
    bar_->setRange(0, 100);
    bar_->setValue(0);
    auto* buttons = new QDialogButtonBox(this);
    cancel_ = buttons->addButton(QDialogButtonBox::Cancel);
    connect(cancel_, &QPushButton::clicked, this, &ProgressSheet::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(info_);
    layout->addWidget(bar_);
    layout->addWidget(buttons);
}

void ProgressSheet::setInfo(const QString& info) {
    info_->setText(info);
}

QString ProgressSheet::info() const {
    return info_->text();
}

void ProgressSheet::setProgress(double percent) {
    bar_->setValue(static_cast<int>(percent));
}

int ProgressSheet::progress() const {
    return bar_->value();
}

}  // namespace qz

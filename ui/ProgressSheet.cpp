#include "ui/ProgressSheet.h"

#include <QLabel>
#include <QProgressBar>
#include <QVBoxLayout>

namespace qz {

ProgressSheet::ProgressSheet(QWidget* parent) : QDialog(parent, Qt::Sheet) {
    setWindowModality(Qt::WindowModal);
    setWindowTitle(tr("Working"));
    info_ = new QLabel(this);
    info_->setMinimumWidth(280);
    bar_ = new QProgressBar(this);
    bar_->setRange(0, 100);
    bar_->setValue(0);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(info_);
    layout->addWidget(bar_);
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

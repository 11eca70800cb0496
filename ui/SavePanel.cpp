#include "ui/SavePanel.h"

#include <QFileDialog>

namespace qz {

QString askSavePath(QWidget* parent, const QString& title, const QString& folder, const QString& filter,
                    const QString& defaultSuffix) {
    QFileDialog dialog(parent, title, folder, filter);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(defaultSuffix);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return dialog.selectedFiles().constFirst();
}

}  // namespace qz

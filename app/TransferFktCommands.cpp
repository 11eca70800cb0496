#include "app/TransferFktCommands.h"

#include <QAction>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QSettings>
#include <QUndoStack>

#include "app/MainWindow.h"
#include "platform/AtomicWrite.h"
#include "transfer/TransferFkt.h"
#include "transfer/TransferFktText.h"
#include "ui/SavePanel.h"
#include "ui/TransferFktHistory.h"

namespace qz {

namespace {

const QString kRememberedKey = QStringLiteral("transferFunction/points");
const QString kFileFilter = QStringLiteral("Transfer functions (*.tf)");

}  // namespace

TransferFktCommands::TransferFktCommands(MainWindow* window, TransferFkt& fkt, QObject* parent)
    : QObject(parent), window_(window), fkt_(fkt) {
    const MainWindow::TransferFktActions& actions = window_->transferFktActions();
    connect(actions.open, &QAction::triggered, this, &TransferFktCommands::open);
    connect(actions.saveAs, &QAction::triggered, this, &TransferFktCommands::saveAs);
    connect(actions.reset, &QAction::triggered, this, &TransferFktCommands::resetToGreyRamp);
    for (QAction* preset : actions.presets)
        connect(preset, &QAction::triggered, this,
                [this, preset] { applyPreset(preset->data().toString()); });
    connect(window_, &MainWindow::transferFktDropped, this, &TransferFktCommands::openWithMessage);
}

void TransferFktCommands::apply(const TransferFktPoints& points, const QString& step) {
    window_->transferFktHistory()->apply(points, step);
}

bool TransferFktCommands::openFile(const QString& path, QString* reason) {
    TransferFktPoints points;
    std::string error;
    if (!transferFktPointsFromFile(QFile::encodeName(path).toStdString(), &points, &error)) {
        *reason = QString::fromStdString(error);
        return false;
    }
    apply(points, tr("Open %1").arg(QFileInfo(path).fileName()));
    return true;
}

bool TransferFktCommands::saveFile(const QString& path, QString* reason) {
    // Written as every Quarzelle file is (platform/AtomicWrite.h).
    const std::string text = transferFktText(fkt_.referencePoints());
    std::string error;
    if (!writeFileAtomically(QFile::encodeName(path).toStdString(), text.data(), text.size(), &error)) {
        *reason = QString::fromLocal8Bit(error.c_str());
        return false;
    }
    return true;
}

bool TransferFktCommands::applyPreset(const QString& name) {
    QFile file(QStringLiteral(":/presets/%1.tf").arg(name));
    TransferFktPoints points;
    if (!file.open(QIODevice::ReadOnly) ||
        !transferFktPointsFromText(file.readAll().toStdString(), &points, nullptr))
        return false;
    apply(points, tr("Preset %1").arg(name));
    return true;
}

void TransferFktCommands::resetToGreyRamp() {
    apply(TransferFktPoints::greyRamp(), tr("Reset to Grey Ramp"));
}

void TransferFktCommands::open() {
    const QString path =
        QFileDialog::getOpenFileName(window_, tr("Open Transfer Function"), lastFolder_, kFileFilter);
    if (!path.isEmpty())
        openWithMessage(path);
}

void TransferFktCommands::openWithMessage(const QString& path) {
    lastFolder_ = QFileInfo(path).absolutePath();
    QString reason;
    if (!openFile(path, &reason)) {
        QMessageBox::warning(window_, tr("Open Transfer Function"),
                             tr("The transfer function \"%1\" could not be opened: %2.").arg(path, reason));
    }
}

void TransferFktCommands::saveAs() {
    const QString path =
        askSavePath(window_, tr("Save Transfer Function"), lastFolder_, kFileFilter, QStringLiteral("tf"));
    if (path.isEmpty())
        return;
    lastFolder_ = QFileInfo(path).absolutePath();
    QString reason;
    if (!saveFile(path, &reason)) {
        QMessageBox::warning(window_, tr("Save Transfer Function"),
                             tr("The transfer function could not be saved as \"%1\": %2.").arg(path, reason));
    }
}

void TransferFktCommands::restoreRemembered() {
    const QString text = QSettings().value(kRememberedKey).toString();
    TransferFktPoints points;
    // The start of this run, not a step to undo; a damaged entry leaves the grey ramp.
    if (!text.isEmpty() && transferFktPointsFromText(text.toStdString(), &points, nullptr)) {
        fkt_.setReferencePoints(points);
        window_->transferFktHistory()->begin();
    }
    connect(window_->transferFktHistory()->stack(), &QUndoStack::indexChanged, this,
            &TransferFktCommands::remember, Qt::UniqueConnection);
}

void TransferFktCommands::remember() {
    QSettings().setValue(kRememberedKey, QString::fromStdString(transferFktText(fkt_.referencePoints())));
}

}  // namespace qz

#include "app/MainWindow.h"

#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

#include "data/VolumeReader.h"

namespace qz {

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    setAcceptDrops(true);
}

QString MainWindow::droppedVolumePath(const QMimeData* mime) {
    // One file only, as in the open panel.
    if (!mime || !mime->hasUrls() || mime->urls().size() != 1)
        return QString();
    const QUrl url = mime->urls().front();
    if (!url.isLocalFile())
        return QString();
    // A .dat file, or anything a scan reader takes (a scan file, a DICOM file or folder).
    const QString path = url.toLocalFile();
    if (QFileInfo(path).suffix().compare(QLatin1String("dat"), Qt::CaseInsensitive) != 0 &&
        !volumeReaderFor(QFile::encodeName(path).toStdString()))
        return QString();
    return path;
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!droppedVolumePath(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
    const QString path = droppedVolumePath(event->mimeData());
    if (path.isEmpty())
        return;
    event->acceptProposedAction();
    emit volumeDropped(path);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    QMainWindow::closeEvent(event);
    if (event->isAccepted())
        emit closed();
}

}  // namespace qz

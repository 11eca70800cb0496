#include "app/MainWindow.h"

#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

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
    const QString path = url.toLocalFile();
    if (QFileInfo(path).suffix().compare(QLatin1String("dat"), Qt::CaseInsensitive) != 0)
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

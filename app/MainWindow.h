#pragma once

#include <QMainWindow>

class QMimeData;

namespace qz {

// The main window: accepts one dropped volume (a .dat file, a scan file or a DICOM folder) and
// reports it, and reports being closed.
class MainWindow : public QMainWindow {
    Q_OBJECT

  public:
    explicit MainWindow(QWidget* parent = nullptr);

    // The local volume a drop of these data would open, or an empty string.
    static QString droppedVolumePath(const QMimeData* mime);

  signals:
    void volumeDropped(const QString& path);
    void closed();

  protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
};

}  // namespace qz

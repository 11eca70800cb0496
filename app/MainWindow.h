#pragma once

#include <QMainWindow>

class QAction;
class QActionGroup;
class QDockWidget;
class QMenu;
class QMimeData;

namespace qz {

class Data;
class HiResPanel;
class PreviewView;
class ProgressSheet;
class SlicesSettings;
class TransferFkt;

// The main window: the preview above the transfer function editor, the slice settings in a side
// dock, the progress sheet and the high-resolution panel, and the menus File, View and Render.
// The controller gives the actions their work and enables them. The window accepts one dropped
// .dat file and reports it, and reports being closed.
class MainWindow : public QMainWindow {
    Q_OBJECT

  public:
    // Edge of the preview images, in pixels.
    static constexpr int kPreviewResolution = 100;

    // The menus' commands; the controller gives them their work.
    struct Actions {
        QAction* open = nullptr;
        QAction* close = nullptr;
        QAction* saveAs = nullptr;
        QAction* quit = nullptr;
        // Exactly the three renderers, one checked at a time: what the preview views.
        QActionGroup* renderers = nullptr;
        QAction* slices = nullptr;
        QAction* volume = nullptr;
        QAction* mip = nullptr;
        QAction* hiRes = nullptr;
    };

    MainWindow(Data& data, TransferFkt& transferFkt, QWidget* parent = nullptr);

    const Actions& actions() const { return actions_; }
    // Also the menu of every high-resolution window.
    QMenu* fileMenu() const { return fileMenu_; }
    PreviewView* previewView() const { return previewView_; }
    // The dock that shows the slice settings while slices are selected.
    QDockWidget* slicesDrawer() const { return drawer_; }
    SlicesSettings* slicesSettings() const { return slicesSettings_; }
    ProgressSheet* progressSheet() const { return progressSheet_; }
    HiResPanel* hiResPanel() const { return hiResPanel_; }

    // The local .dat file a drop of these data would open, or an empty string.
    static QString droppedVolumePath(const QMimeData* mime);

  signals:
    void volumeDropped(const QString& path);
    void closed();

  protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildMenus();

    Actions actions_;
    QMenu* fileMenu_ = nullptr;
    PreviewView* previewView_ = nullptr;
    QDockWidget* drawer_ = nullptr;
    SlicesSettings* slicesSettings_ = nullptr;
    ProgressSheet* progressSheet_ = nullptr;
    HiResPanel* hiResPanel_ = nullptr;
};

}  // namespace qz

#pragma once

#include <QList>
#include <QMainWindow>

#include "data/Vector.h"

class QAction;
class QActionGroup;
class QDockWidget;
class QLabel;
class QMenu;
class QMimeData;
class QSplitter;

namespace qz {

class Data;
class HiResPanel;
class PreviewView;
class ProgressSheet;
class SlicesSettings;
class TransferFkt;

// The main window: the preview above the transfer function editor (a splitter gives the preview
// the free space), the slice settings in a side dock, the volume's summary in the status bar, the
// progress sheet and the high-resolution panel, and the menus File, View and Render. The
// controller gives the actions their work and enables them. The window opens at two thirds of
// the screen; its geometry and the View menu's settings are remembered (QSettings). The window
// accepts one dropped .dat file and reports it, and reports being closed.
class MainWindow : public QMainWindow {
    Q_OBJECT

  public:
    // The menus' commands. Quit closes every window; the others are the controller's.
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
        // Checkable, remembered: shading of the refined preview and the high-resolution
        // panel's default; opacity per voxel length in the volume renderers.
        QAction* shading = nullptr;
        QAction* consistentOpacity = nullptr;
        // Preview Size: exactly one checked, remembered.
        QActionGroup* previewSizes = nullptr;
        QAction* fitPreview = nullptr;
        QAction* classicPreview = nullptr;
        // The standard views, in the order of kStandardViews; Front is also Home.
        QList<QAction*> views;
        QAction* hiRes = nullptr;
    };
    // The angles of the views Front, Back, Left, Right, Top and Bottom.
    static const _Vector kStandardViews[6];

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
    // The permanent part of the status bar: the loaded volume's summary.
    QLabel* volumeLabel() const { return volumeLabel_; }

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
    void restoreLayout();

    Actions actions_;
    QMenu* fileMenu_ = nullptr;
    PreviewView* previewView_ = nullptr;
    QDockWidget* drawer_ = nullptr;
    SlicesSettings* slicesSettings_ = nullptr;
    ProgressSheet* progressSheet_ = nullptr;
    HiResPanel* hiResPanel_ = nullptr;
    QSplitter* splitter_ = nullptr;
    QLabel* volumeLabel_ = nullptr;
};

}  // namespace qz

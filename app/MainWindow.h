#pragma once

#include <QList>
#include <QMainWindow>

#include "data/Vector.h"

class QAction;
class QActionGroup;
class QBoxLayout;
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
class TransferFktHistory;
class TransferFktPointPanel;
class TransferFktView;

// The main window: the preview above the transfer function editor and its point panel (a splitter
// gives the preview the free space), the slice settings in a side dock, the volume's summary in the
// status bar, the progress sheet and the high-resolution panel, and the menus File, Edit, View,
// Transfer Function and Render. The controller gives the actions their work and enables them. The
// window opens at two thirds of the screen; its geometry and the View menu's settings are
// remembered (QSettings). The window accepts one dropped .dat or .tf file and reports it, and
// reports being closed.
class MainWindow : public QMainWindow {
    Q_OBJECT

  public:
    // The menus' commands; the controller gives them their work.
    struct Actions {
        QAction* open = nullptr;
        QAction* openFolder = nullptr;     // a DICOM series
        QAction* densityWindow = nullptr;  // how scans become densities
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

    // The Edit and Transfer Function menus' commands. Undo and Redo are the history's; the others,
    // each preset by its name, are the controller's.
    struct TransferFktActions {
        QAction* undo = nullptr;
        QAction* redo = nullptr;
        QAction* open = nullptr;
        QAction* saveAs = nullptr;
        QList<QAction*> presets;
        QAction* reset = nullptr;
    };

    MainWindow(Data& data, TransferFkt& transferFkt, QWidget* parent = nullptr);

    const Actions& actions() const { return actions_; }
    const TransferFktActions& transferFktActions() const { return transferFktActions_; }
    TransferFktView* transferFktView() const { return transferFktView_; }
    TransferFktPointPanel* transferFktPointPanel() const { return transferFktPointPanel_; }
    TransferFktHistory* transferFktHistory() const { return transferFktHistory_; }
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

    // The local volume a drop of these data would open (a .dat file, a scan file or a DICOM folder),
    // or an empty string.
    static QString droppedVolumePath(const QMimeData* mime);
    // The local .tf file a drop of these data would open, or an empty string.
    static QString droppedTransferFktPath(const QMimeData* mime);

  signals:
    void volumeDropped(const QString& path);
    void transferFktDropped(const QString& path);
    void closed();

  protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildMenus();
    void restoreLayout();
    void buildTransferFktEditor(TransferFkt& transferFkt, Data& data, QBoxLayout* layout);
    void buildEditMenu();
    void buildTransferFktMenu();

    Actions actions_;
    QMenu* fileMenu_ = nullptr;
    PreviewView* previewView_ = nullptr;
    QDockWidget* drawer_ = nullptr;
    SlicesSettings* slicesSettings_ = nullptr;
    ProgressSheet* progressSheet_ = nullptr;
    HiResPanel* hiResPanel_ = nullptr;
    QSplitter* splitter_ = nullptr;
    QLabel* volumeLabel_ = nullptr;

    TransferFktActions transferFktActions_;
    TransferFktView* transferFktView_ = nullptr;
    TransferFktPointPanel* transferFktPointPanel_ = nullptr;
    TransferFktHistory* transferFktHistory_ = nullptr;
};

}  // namespace qz

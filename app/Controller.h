#pragma once

#include <map>
#include <memory>

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include "data/VolumeReader.h"
#include "platform/NotificationCenter.h"
#include "ui/HiResWindow.h"  // complete type for the signal's meta type

class QAction;
class QActionGroup;
class QDockWidget;
class QMenu;
class QWidget;

namespace qz {

class Data;
class HiResPanel;
class MIP;
class MainWindow;
class PreviewView;
class ProgressSheet;
class Renderer;
class Slices;
class SlicesSettings;
class TransferFkt;
class TransferFktView;
class Volume;

// Ties the user interface to the core: owns the three preview renderers, builds the main window
// with its menus, dock and sheets, loads volumes on a worker thread behind the progress sheet,
// starts high-resolution renders and opens their windows. Notifications posted on worker
// threads reach it through queued calls, so everything here runs on the GUI thread.
class Controller : public QObject {
    Q_OBJECT

  public:
    explicit Controller(Data& data, TransferFkt& transferFkt, QObject* parent = nullptr);
    Controller();
    ~Controller() override;

    // File commands.
    void openData();    // the open panel: a .dat file or a scan file
    void openFolder();  // the folder panel: a DICOM series
    // Loads path (a file or a DICOM folder) as if it had been chosen in the open panel; false
    // (and nothing starts) while a load or a large render is running.
    bool openFile(const QString& path);
    // Asks how scans opened from now on become densities (the density window dialog), and
    // reopens the current scan when the choice changed.
    void chooseDensityWindow();
    void close();   // closes the key high-resolution window
    void saveAs();  // the save panel for the key high-resolution window
    // Saves window's visible image under the name jpegSavePath() makes of chosenPath. Clears the
    // unsaved-changes mark on success; on failure tells the user (path and reason), keeps the
    // mark and returns false.
    bool saveHiResWindow(HiResWindow* window, const QString& chosenPath);

    // Renderer selection; the menu's check marks are the action group's.
    void renderSlices();
    void renderVolume();
    void renderMIP();

    // Slice settings: always the slice renderer's, whichever renderer is shown.
    void slicesAxis(int axis);
    void slicesDepth(float depth);

    // High-resolution commands.
    void displayHiResPanel();
    void closeHiResPanel();
    void setHiResQuality(int resolution) { hiResQuality_ = resolution; }
    void setHiResShading(bool shading) { doShading_ = shading; }
    void createHiRes();

    // Progress panel.
    void displayProgressPanel();
    void closeProgressPanel();
    void updateProgressBarPanel(const QString& info, int progress);

    // Enables every command by the current state (key window, volume, running work).
    void updateCommandStates();
    // The window with the keyboard focus, or none.
    static QWidget* keyWindow();

    // Accessors for the application and for tests.
    MainWindow* mainWindow() const { return mainWindow_; }
    PreviewView* previewView() const { return previewView_; }
    TransferFktView* transferFktView() const { return transferFktView_; }
    QDockWidget* drawer() const { return drawer_; }
    SlicesSettings* slicesView() const { return slicesView_; }
    ProgressSheet* progressPanel() const { return progressPanel_; }
    HiResPanel* hiResPanel() const { return hiResPanel_; }
    QMenu* fileMenu() const { return fileMenu_; }
    QMenu* rendererMenu() const { return rendererMenu_; }
    QAction* openAction() const { return openAction_; }
    QAction* closeAction() const { return closeAction_; }
    QAction* saveAsAction() const { return saveAsAction_; }
    QAction* quitAction() const { return quitAction_; }
    QAction* hiResAction() const { return hiResAction_; }
    QAction* slicesAction() const { return slicesAction_; }
    QAction* volumeAction() const { return volumeAction_; }
    QAction* mipAction() const { return mipAction_; }
    Slices* rendererSlices() const { return rendererSlices_.get(); }
    Volume* rendererVolume() const { return rendererVolume_.get(); }
    MIP* rendererMIP() const { return rendererMIP_.get(); }
    int hiResQuality() const { return hiResQuality_; }
    bool doShading() const { return doShading_; }
    int untitledCounter() const { return untitledCounter_; }
    bool isLoading() const { return loading_; }
    bool isRenderingHiRes() const { return !pendingHiRes_.empty(); }
    bool isBusy() const { return isLoading() || isRenderingHiRes(); }
    QList<HiResWindow*> hiResWindows() const;

  signals:
    // A high-resolution window has been opened.
    void hiResWindowOpened(HiResWindow* window);

  private:
    void buildMainWindow();
    void buildMenus();
    void loadFinished();
    void loadFailed(const QString& reason);
    void displayHiResWindow(const void* renderer);

    Data& data_;
    TransferFkt& transferFkt_;

    std::unique_ptr<Slices> rendererSlices_;
    std::unique_ptr<Volume> rendererVolume_;
    std::unique_ptr<MIP> rendererMIP_;

    MainWindow* mainWindow_ = nullptr;  // owned, deleted first in the destructor
    PreviewView* previewView_ = nullptr;
    TransferFktView* transferFktView_ = nullptr;
    QDockWidget* drawer_ = nullptr;
    SlicesSettings* slicesView_ = nullptr;
    ProgressSheet* progressPanel_ = nullptr;
    HiResPanel* hiResPanel_ = nullptr;

    QMenu* fileMenu_ = nullptr;
    QMenu* rendererMenu_ = nullptr;
    QAction* openAction_ = nullptr;
    QAction* openFolderAction_ = nullptr;
    QAction* densityWindowAction_ = nullptr;
    QAction* closeAction_ = nullptr;
    QAction* saveAsAction_ = nullptr;
    QAction* quitAction_ = nullptr;
    QAction* hiResAction_ = nullptr;
    QActionGroup* rendererGroup_ = nullptr;
    QAction* slicesAction_ = nullptr;
    QAction* volumeAction_ = nullptr;
    QAction* mipAction_ = nullptr;

    int hiResQuality_ = 0;
    bool doShading_ = false;
    int untitledCounter_ = 0;

    bool loading_ = false;
    QString loadingPath_;
    ReadOptions readOptions_;  // for scans: the automatic density rule or a window
    // High-resolution renderers between their start and their window, by address.
    std::map<const void*, std::shared_ptr<Renderer>> pendingHiRes_;
    QList<QPointer<HiResWindow>> hiResWindows_;

    Observation progressObservation_;
    Observation newDataObservation_;
    Observation loadFailedObservation_;
    Observation hiResObservation_;
};

}  // namespace qz

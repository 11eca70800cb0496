#pragma once

#include <atomic>
#include <map>
#include <memory>

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include "data/VolumeReader.h"
#include "platform/NotificationCenter.h"

class QWidget;

namespace qz {

class Data;
class HiResWindow;
class MIP;
class MainWindow;
class Renderer;
class Slices;
class TransferFkt;
class TransferFktCommands;
class Volume;

// Ties the main window to the core: owns the three preview renderers, gives the window's commands
// their work and enables them, loads volumes on a worker thread behind the progress sheet, starts
// high-resolution renders and opens their windows. The sheet's Cancel stops the load or render;
// closing a window with an unsaved picture asks first, and Quit or closing the main window asks
// once for all of them, then stops running work before the windows go. Notifications posted on
// worker threads reach it through queued calls, so everything here runs on the GUI thread.
class Controller : public QObject {
    Q_OBJECT

  public:
    explicit Controller(Data& data, TransferFkt& transferFkt, QObject* parent = nullptr);
    Controller();
    ~Controller() override;

    MainWindow* mainWindow() const { return mainWindow_; }
    // The Transfer Function menu's work.
    TransferFktCommands* transferFktCommands() const { return transferFktCommands_; }

    // Loads path as if it had been chosen in the open panel; false (and nothing starts) while a
    // load or a large render is running.
    bool openFile(const QString& path);
    // Saves window's image under the name imageSavePath() makes of chosenPath and chosenFilter:
    // what Save As does with the path and filter its panel returns. A name that differs from
    // chosenPath and exists already is replaced only when the user confirms. Clears the
    // unsaved-changes mark on success; on failure tells the user (path and reason), keeps the mark
    // and returns false.
    bool saveHiResWindow(HiResWindow* window, const QString& chosenPath,
                         const QString& chosenFilter = QString());

  protected:
    // Closing a high-resolution window or the main window asks about unsaved pictures first.
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void connectMainWindow();

    // File commands.
    void openData();    // the open panel: a .dat file or a scan file
    void openFolder();  // the folder panel: a DICOM series
    // Asks how scans opened from now on become densities (the density window dialog), and
    // reopens the current scan when the choice changed.
    void chooseDensityWindow();
    void close();   // closes the key high-resolution window
    void saveAs();  // the save panel for the key high-resolution window
    void quit();    // asks about unsaved pictures, stops running work, closes every window
    bool saveWithDialog(HiResWindow* window);
    // Whether window may close: true when its picture is saved, or the user saves or discards it.
    bool confirmClose(HiResWindow* window);
    // Asks once about all unsaved pictures; when the user goes on, stops running work and lets
    // every window close. False when the user cancels.
    bool prepareToQuit();
    bool confirmReplace(QWidget* parent, const QString& path);
    void loadFinished();
    void loadFailed(const QString& reason);

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
    void createHiRes();
    void displayHiResWindow(const void* renderer);

    // Running work: the sheet's Cancel stops it; stopWork also waits up to a second for the
    // threads to let go of it (before quitting).
    void cancelWork();
    void stopWork();

    // Progress panel.
    void displayProgressPanel();
    void closeProgressPanel();
    void updateProgressBarPanel(const QString& info, int progress);

    // Enables every command by the current state (key window, volume, running work).
    void updateCommandStates();
    bool isBusy() const { return loading_ || !pendingHiRes_.empty(); }
    // The window with the keyboard focus, or none.
    static QWidget* keyWindow();

    Data& data_;
    TransferFkt& transferFkt_;

    std::unique_ptr<Slices> rendererSlices_;
    std::unique_ptr<Volume> rendererVolume_;
    std::unique_ptr<MIP> rendererMIP_;

    MainWindow* mainWindow_ = nullptr;  // owned, deleted first in the destructor
    TransferFktCommands* transferFktCommands_ = nullptr;

    int hiResQuality_ = 0;
    bool doShading_ = false;
    int untitledCounter_ = 0;

    bool loading_ = false;
    bool quitting_ = false;  // the windows close without asking
    QString loadingPath_;
    ReadOptions readOptions_;                        // for scans: the automatic density rule or a window
    std::shared_ptr<std::atomic<bool>> loadCancel_;  // the running load's stop flag
    // High-resolution renderers between their start and their window, by address; cancelled ones
    // until their thread reports the end (they get no window).
    std::map<const void*, std::shared_ptr<Renderer>> pendingHiRes_;
    std::map<const void*, std::shared_ptr<Renderer>> cancelledHiRes_;
    QElapsedTimer hiResClock_;  // since Render was chosen
    QList<QPointer<HiResWindow>> hiResWindows_;

    Observation progressObservation_;
    Observation newDataObservation_;
    Observation loadFailedObservation_;
    Observation hiResObservation_;
};

}  // namespace qz

#include "app/Controller.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QDockWidget>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QStatusBar>
#include <QThread>
#include <QWindow>

#include "app/MainWindow.h"
#include "app/TransferFktCommands.h"
#include "app/VolumeStatus.h"
#include "data/Data.h"
#include "io/Readers.h"
#include "platform/RegularFile.h"
#include "platform/Threads.h"
#include "render/MIP.h"
#include "render/Slices.h"
#include "render/Volume.h"
#include "transfer/TransferFkt.h"
#include "ui/DensityWindowDialog.h"
#include "ui/FinalRender.h"
#include "ui/GuiThread.h"
#include "ui/HiResPanel.h"
#include "ui/HiResView.h"
#include "ui/HiResWindow.h"
#include "ui/JpegExport.h"
#include "ui/PreviewView.h"
#include "ui/ProgressSheet.h"
#include "ui/SavePanel.h"
#include "ui/SlicesSettings.h"

namespace qz {

namespace {

// A path or file name in double quotes, control characters escaped, for a one-line message.
QString quoted(const QString& path) {
    return QString::fromStdString(quotedPath(path.toStdString(), '"'));
}

// A high-resolution window's title without the unsaved-changes placeholder.
QString pictureName(const QWidget* window) {
    return QString(window->windowTitle()).remove(QStringLiteral("[*]"));
}

}  // namespace

Controller::Controller() : Controller(Data::sharedInstance(), TransferFkt::sharedInstance()) {}

Controller::Controller(Data& data, TransferFkt& transferFkt, QObject* parent)
    : QObject(parent), data_(data), transferFkt_(transferFkt) {
    io::registerScanReaders();
    // Unshaded previews without interpolation keep dragging interactive; the preview view sets
    // their resolution and refines the picture once the mouse stops.
    rendererSlices_ = std::make_unique<Slices>(data_, transferFkt_);
    rendererSlices_->setMaxImageResolution(PreviewView::kClassicResolution);
    rendererVolume_ = std::make_unique<Volume>(data_, transferFkt_);
    rendererVolume_->setMaxImageResolution(PreviewView::kClassicResolution);
    rendererVolume_->setDoShading(false);
    rendererVolume_->setQuality(0);
    rendererMIP_ = std::make_unique<MIP>(data_, transferFkt_);
    rendererMIP_->setMaxImageResolution(PreviewView::kClassicResolution);
    rendererMIP_->setDoShading(false);
    rendererMIP_->setQuality(0);

    // A file without samples is refused like a broken one: the loaded volume stays.
    data_.setRefusesEmptyVolumes(true);
    mainWindow_ = new MainWindow(data_, transferFkt_);
    // The View menu's remembered settings.
    const MainWindow::Actions& actions = mainWindow_->actions();
    rendererVolume_->setOpacityCorrection(actions.consistentOpacity->isChecked());
    mainWindow_->previewView()->setRefinedShading(actions.shading->isChecked());
    mainWindow_->previewView()->setPreviewSize(actions.fitPreview->isChecked() ? PreviewView::Size::Fit
                                                                               : PreviewView::Size::Classic);
    mainWindow_->hiResPanel()->shadingBox()->setChecked(actions.shading->isChecked());
    mainWindow_->volumeLabel()->setText(volumeSummary(*data_.volume()));
    mainWindow_->installEventFilter(this);
    connectMainWindow();
    transferFktCommands_ = new TransferFktCommands(mainWindow_, transferFkt_, this);
    hiResQuality_ = mainWindow_->hiResPanel()->resolutionBox()->value();
    doShading_ = mainWindow_->hiResPanel()->shadingBox()->isChecked();

    renderSlices();

    // Handlers run on the posting thread: they copy what they need and queue the rest to this object.
    NotificationCenter& center = data_.notificationCenter();
    progressObservation_ =
        observeOnGuiThread(center, kUpdateProgressBar, this, [this](const Notification& n) {
            const QString info = QString::fromStdString(n.stringValue("info"));
            const int progress = n.intValue("progress");
            return [this, info, progress] { updateProgressBarPanel(info, progress); };
        });
    newDataObservation_ = observeOnGuiThread(center, kNewDataAvailable, this, [this] { loadFinished(); });
    loadFailedObservation_ = observeOnGuiThread(center, kDataLoadFailed, this, [this](const Notification& n) {
        const QString reason = QString::fromStdString(n.stringValue("info"));
        return [this, reason] { loadFailed(reason); };
    });
    hiResObservation_ = observeOnGuiThread(center, kNewHiResAvailable, this, [this](const Notification& n) {
        const void* renderer = n.object;
        return [this, renderer] { displayHiResWindow(renderer); };
    });

    connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, &Controller::updateCommandStates);
    updateCommandStates();
}

Controller::~Controller() {
    // No handler may queue a call once destruction has begun.
    progressObservation_.reset();
    newDataObservation_.reset();
    loadFailedObservation_.reset();
    hiResObservation_.reset();
    // Work still running stops at its next chunk; its threads hold what they use.
    if (loadCancel_)
        loadCancel_->store(true);
    for (const auto& [address, renderer] : pendingHiRes_)
        renderer->setCancelled(true);
    // Closing windows moves the focus; the menus' actions are about to go with the main window.
    disconnect(qGuiApp, nullptr, this, nullptr);
    for (const QPointer<HiResWindow>& window : hiResWindows_) {
        if (window)
            disconnect(window.data(), nullptr, this, nullptr);
        delete window.data();
    }
    // The views refer to the renderers, so the windows go before them.
    delete mainWindow_;
}

void Controller::connectMainWindow() {
    const MainWindow::Actions& actions = mainWindow_->actions();
    connect(actions.open, &QAction::triggered, this, &Controller::openData);
    connect(actions.openFolder, &QAction::triggered, this, &Controller::openFolder);
    connect(actions.densityWindow, &QAction::triggered, this, &Controller::chooseDensityWindow);
    connect(actions.close, &QAction::triggered, this, &Controller::close);
    connect(actions.saveAs, &QAction::triggered, this, &Controller::saveAs);
    connect(actions.quit, &QAction::triggered, this, &Controller::quit);
    connect(actions.slices, &QAction::triggered, this, &Controller::renderSlices);
    connect(actions.volume, &QAction::triggered, this, &Controller::renderVolume);
    connect(actions.mip, &QAction::triggered, this, &Controller::renderMIP);
    connect(actions.hiRes, &QAction::triggered, this, &Controller::displayHiResPanel);
    PreviewView* preview = mainWindow_->previewView();
    connect(actions.shading, &QAction::toggled, this, [this, preview](bool on) {
        preview->setRefinedShading(on);
        mainWindow_->hiResPanel()->shadingBox()->setChecked(on);
    });
    connect(actions.consistentOpacity, &QAction::toggled, this, [this, preview](bool on) {
        rendererVolume_->setOpacityCorrection(on);
        preview->updateImage();
    });
    connect(actions.fitPreview, &QAction::toggled, preview, [preview](bool on) {
        preview->setPreviewSize(on ? PreviewView::Size::Fit : PreviewView::Size::Classic);
    });
    for (int i = 0; i < actions.views.size(); ++i)
        connect(actions.views[i], &QAction::triggered, preview,
                [preview, i] { preview->setOrientation(MainWindow::kStandardViews[i]); });

    SlicesSettings* slices = mainWindow_->slicesSettings();
    connect(slices, &SlicesSettings::axisChanged, this, &Controller::slicesAxis);
    connect(slices, &SlicesSettings::depthChanged, this, &Controller::slicesDepth);

    HiResPanel* panel = mainWindow_->hiResPanel();
    connect(panel->resolutionBox(), &QSpinBox::valueChanged, this,
            [this](int value) { hiResQuality_ = value; });
    connect(panel->shadingBox(), &QCheckBox::toggled, this, [this](bool checked) { doShading_ = checked; });
    connect(panel->renderButton(), &QPushButton::clicked, this, &Controller::createHiRes);
    connect(panel, &QDialog::rejected, this, &Controller::closeHiResPanel);

    connect(mainWindow_, &MainWindow::volumeDropped, this, &Controller::openFile);
    connect(mainWindow_->progressSheet(), &ProgressSheet::cancelRequested, this, &Controller::cancelWork);
}

QWidget* Controller::keyWindow() {
    // The focus window is up to date when focusWindowChanged is emitted, the active window not
    // yet; but an open menu takes the focus without becoming the key window.
    if (const QWindow* focus = QGuiApplication::focusWindow()) {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->windowHandle() == focus && widget->windowType() != Qt::Popup)
                return widget;
        }
    }
    return QApplication::activeWindow();
}

void Controller::updateCommandStates() {
    const bool hiResKey = qobject_cast<HiResWindow*>(keyWindow()) != nullptr;
    const bool busy = isBusy();
    const MainWindow::Actions& actions = mainWindow_->actions();
    actions.close->setEnabled(hiResKey);
    actions.saveAs->setEnabled(hiResKey);
    actions.hiRes->setEnabled(!hiResKey && data_.hasData() && !busy);
    // Nothing may render or load while a volume loads or a large image renders.
    actions.open->setEnabled(!busy);
    actions.openFolder->setEnabled(!busy);
    actions.densityWindow->setEnabled(!busy);
    actions.renderers->setEnabled(!busy);
    actions.consistentOpacity->setEnabled(!busy);
    actions.previewSizes->setEnabled(!busy);
    for (QAction* view : actions.views)
        view->setEnabled(!busy);
    mainWindow_->previewView()->setEnabled(!busy);  // no drags, no refinements
}

// ---- Loading

void Controller::openData() {
    if (isBusy())
        return;
    const QString path = QFileDialog::getOpenFileName(
        mainWindow_, tr("Open Volume"), QString(),
        tr("Volumes and scans (*.dat *.nii *.nii.gz *.nrrd *.nhdr *.mha *.mhd *.dcm *.ima);;"
           "Quarzelle volume (*.dat);;NIfTI (*.nii *.nii.gz);;NRRD (*.nrrd *.nhdr);;MetaImage (*.mha *.mhd);;"
           "DICOM file of a series (*)"));
    if (!path.isEmpty())
        openFile(path);
}

void Controller::openFolder() {
    if (isBusy())
        return;
    const QString path = QFileDialog::getExistingDirectory(mainWindow_, tr("Open DICOM Folder"));
    if (!path.isEmpty())
        openFile(path);
}

void Controller::chooseDensityWindow() {
    if (isBusy())
        return;
    DensityWindowDialog dialog(readOptions_, mainWindow_);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const ReadOptions chosen = dialog.options();
    const bool changed = chosen.useWindow != readOptions_.useWindow ||
                         (chosen.useWindow && (chosen.window.lo != readOptions_.window.lo ||
                                               chosen.window.hi != readOptions_.window.hi));
    readOptions_ = chosen;
    // The current scan shows the new choice at once; a .dat holds densities already.
    const QString current = QString::fromStdString(data_.filename());
    if (changed && data_.hasData() && !current.endsWith(QLatin1String(".dat"), Qt::CaseInsensitive))
        openFile(QFile::decodeName(data_.filename().c_str()));
}

bool Controller::openFile(const QString& path) {
    if (isBusy())
        return false;
    loading_ = true;
    loadingPath_ = path;
    loadCancel_ = std::make_shared<std::atomic<bool>>(false);
    displayProgressPanel();
    updateCommandStates();
    Data* data = &data_;
    const std::string localPath = QFile::encodeName(path).toStdString();
    // The thread holds the flag the options point to.
    const std::shared_ptr<const std::atomic<bool>> cancel = loadCancel_;
    ReadOptions options = readOptions_;
    options.cancel = cancel.get();
    if (!detachNewThread(
            [data, localPath, options, cancel] { data->loadFromFileName(localPath, options); })) {
        loadFailed(tr("no thread could be started"));
        return false;
    }
    return true;
}

void Controller::loadFinished() {
    if (!loading_) {
        // Someone else replaced the volume: only the enabling may change.
        updateCommandStates();
        return;
    }
    loading_ = false;
    if (data_.hasData()) {
        mainWindow_->setWindowTitle(QStringLiteral("Quarzelle - ") + QFileInfo(loadingPath_).fileName());
    }
    mainWindow_->volumeLabel()->setText(volumeSummary(*data_.volume()));
    mainWindow_->statusBar()->clearMessage();
    mainWindow_->statusBar()->setToolTip(QString());
    closeProgressPanel();
    updateCommandStates();
}

void Controller::loadFailed(const QString& reason) {
    if (!loading_)
        return;
    // The previous volume and title stay; the panel must not stay up.
    loading_ = false;
    closeProgressPanel();
    const QString file = quoted(QFileInfo(loadingPath_).fileName());
    mainWindow_->statusBar()->showMessage(
        loadCancel_->load() ? tr("Opening %1 was cancelled").arg(file)
                            : tr("Could not open %1: %2").arg(file, plainLoadError(reason, loadingPath_)));
    mainWindow_->statusBar()->setToolTip(reason);
    updateCommandStates();
}

// ---- Running work

void Controller::cancelWork() {
    // A load goes on being busy until the loader reports; a cancelled render needs nothing more
    // from the GUI, so another may start at once.
    if (loading_)
        loadCancel_->store(true);
    for (const auto& [address, renderer] : pendingHiRes_) {
        renderer->setCancelled(true);
        cancelledHiRes_[address] = renderer;
    }
    pendingHiRes_.clear();
    closeProgressPanel();
    updateCommandStates();
}

void Controller::stopWork() {
    cancelWork();
    // The threads stop at their next chunk or tile, and report it through the event queue.
    QElapsedTimer clock;
    clock.start();
    while ((loading_ || !cancelledHiRes_.empty()) && clock.elapsed() < 1000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
}

// ---- Progress panel

void Controller::displayProgressPanel() {
    // The info line keeps its text until the first update.
    mainWindow_->progressSheet()->setProgress(0.0);
    mainWindow_->progressSheet()->show();
    mainWindow_->progressSheet()->raise();
}

void Controller::closeProgressPanel() {
    mainWindow_->progressSheet()->hide();
    mainWindow_->progressSheet()->setInfo(QString());
    mainWindow_->progressSheet()->setProgress(0.0);
    mainWindow_->previewView()->update();
}

void Controller::updateProgressBarPanel(const QString& info, int progress) {
    // Also while hidden: preview renders report progress too.
    mainWindow_->progressSheet()->setInfo(info);
    mainWindow_->progressSheet()->setProgress(static_cast<double>(progress));
}

// ---- Renderers and slice settings

void Controller::renderSlices() {
    mainWindow_->slicesDrawer()->setWidget(mainWindow_->slicesSettings());
    mainWindow_->slicesDrawer()->show();
    mainWindow_->previewView()->setRenderer(rendererSlices_.get());
}

void Controller::renderVolume() {
    mainWindow_->slicesDrawer()->hide();
    mainWindow_->previewView()->setRenderer(rendererVolume_.get());
}

void Controller::renderMIP() {
    mainWindow_->slicesDrawer()->hide();
    mainWindow_->previewView()->setRenderer(rendererMIP_.get());
}

void Controller::slicesAxis(int axis) {
    rendererSlices_->setAxis(axis);
    mainWindow_->previewView()->update();
}

void Controller::slicesDepth(float depth) {
    rendererSlices_->setDepth(depth);
    mainWindow_->previewView()->update();
}

// ---- High resolution

void Controller::displayHiResPanel() {
    updateCommandStates();
    if (!mainWindow_->actions().hiRes->isEnabled())
        return;
    mainWindow_->hiResPanel()->open();
}

void Controller::closeHiResPanel() {
    mainWindow_->hiResPanel()->hide();
}

void Controller::createHiRes() {
    Renderer* preview = mainWindow_->previewView()->renderer();
    if (!preview || isBusy() || !data_.hasData())
        return;
    // A fresh renderer of what the preview shows, at quality 1 with the requested size and shading.
    std::shared_ptr<Renderer> renderer = finalRendererFor(*preview, hiResQuality_, doShading_);
    closeHiResPanel();
    pendingHiRes_[renderer.get()] = renderer;
    hiResClock_.start();
    displayProgressPanel();
    updateCommandStates();
    // The thread holds its own reference, so the renderer outlives it whatever the GUI does.
    if (!detachNewThread([renderer] { renderer->hiRes(); })) {
        pendingHiRes_.erase(renderer.get());
        closeProgressPanel();
        updateCommandStates();
        mainWindow_->statusBar()->showMessage(tr("Could not render: no thread could be started"));
    }
}

void Controller::displayHiResWindow(const void* rendererAddress) {
    if (cancelledHiRes_.erase(rendererAddress) != 0)
        return;  // cancelled: its thread has let go, nothing is shown
    const auto pending = pendingHiRes_.find(rendererAddress);
    if (pending == pendingHiRes_.end())
        return;  // not a render this controller started
    const std::shared_ptr<Renderer> renderer = pending->second;
    pendingHiRes_.erase(pending);
    closeProgressPanel();

    auto* window = new HiResWindow;
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->menuBar()->addMenu(mainWindow_->fileMenu());
    auto* view = new HiResView;
    view->setRenderer(renderer);
    window->setHiResView(view);
    ++untitledCounter_;
    window->setWindowTitle(QStringLiteral("Untitled%1[*]").arg(untitledCounter_));
    window->setWindowModified(true);

    QScreen* screen = mainWindow_->screen() ? mainWindow_->screen() : QGuiApplication::primaryScreen();
    window->placeInArea(screen->availableGeometry());
    hiResWindows_.append(window);
    window->installEventFilter(this);
    connect(window, &QObject::destroyed, this, &Controller::updateCommandStates, Qt::QueuedConnection);
    window->show();
    window->placeInArea(screen->availableGeometry());
    window->raise();
    window->activateWindow();
    updateCommandStates();
    // QZ_LOG_TIMING=1: how long Render took to give this window, beside quarzelle-render --time.
    if (qEnvironmentVariableIsSet("QZ_LOG_TIMING"))
        qInfo("high resolution: Render to window %.3f s", hiResClock_.nsecsElapsed() * 1e-9);
}

// ---- Closing and saving

void Controller::close() {
    if (auto* window = qobject_cast<HiResWindow*>(keyWindow()))
        window->close();
}

void Controller::saveAs() {
    if (auto* window = qobject_cast<HiResWindow*>(keyWindow()))
        saveWithDialog(window);
}

bool Controller::saveWithDialog(HiResWindow* window) {
    // The panel asks about the name it returns; saveHiResWindow asks about any other it writes.
    const QPointer<HiResWindow> alive(window);
    QString filter;
    const QString path =
        askSavePath(window, tr("Save As"), QString(),
                    QLatin1String(kJpegFilter) + QLatin1String(";;") + QLatin1String(kPngFilter),
                    QStringLiteral("jpeg"), &filter);
    return !path.isEmpty() && alive && saveHiResWindow(window, path, filter);
}

bool Controller::confirmReplace(QWidget* parent, const QString& path) {
    QMessageBox box(
        QMessageBox::Warning, tr("Save As"),
        tr("%1 already exists. Do you want to replace it?").arg(quoted(QFileInfo(path).fileName())),
        QMessageBox::Cancel, parent);
    const QPushButton* replace = box.addButton(tr("Replace"), QMessageBox::DestructiveRole);
    box.setDefaultButton(QMessageBox::Cancel);
    box.exec();
    return box.clickedButton() == replace;
}

bool Controller::saveHiResWindow(HiResWindow* window, const QString& chosenPath,
                                 const QString& chosenFilter) {
    if (!window || !window->hiResView())
        return false;
    const QString path = imageSavePath(chosenPath, chosenFilter);
    if (path != chosenPath && QFileInfo::exists(path) && !confirmReplace(window, path))
        return false;
    QString reason;
    if (!window->hiResView()->writeToFile(path, &reason)) {
        QMessageBox::warning(window, tr("Save As"),
                             tr("The image could not be saved as %1: %2.").arg(quoted(path), reason));
        return false;
    }
    window->setWindowModified(false);
    return true;
}

bool Controller::confirmClose(HiResWindow* window) {
    if (!window || !window->isWindowModified())
        return true;
    QMessageBox box(QMessageBox::Warning, tr("Close"),
                    tr("Do you want to save %1 before closing it?").arg(quoted(pictureName(window))),
                    QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, window);
    box.setInformativeText(tr("The picture is lost if you don't save it."));
    box.setDefaultButton(QMessageBox::Save);
    const int answer = box.exec();
    return answer == QMessageBox::Discard || (answer == QMessageBox::Save && saveWithDialog(window));
}

bool Controller::prepareToQuit() {
    QList<HiResWindow*> unsaved;
    for (const QPointer<HiResWindow>& window : hiResWindows_) {
        if (window && window->isWindowModified())
            unsaved.append(window.data());
    }
    if (unsaved.size() == 1 && !confirmClose(unsaved.front()))
        return false;
    if (unsaved.size() > 1) {
        QMessageBox box(QMessageBox::Warning, tr("Quit"),
                        tr("%1 pictures have not been saved.").arg(unsaved.size()), QMessageBox::Cancel,
                        mainWindow_);
        box.setInformativeText(tr("They are lost if you quit now."));
        const QPushButton* discard = box.addButton(tr("Quit Without Saving"), QMessageBox::DestructiveRole);
        box.setDefaultButton(QMessageBox::Cancel);
        box.exec();
        if (box.clickedButton() != discard)
            return false;
    }
    stopWork();
    quitting_ = true;
    return true;
}

void Controller::quit() {
    if (prepareToQuit())
        QApplication::closeAllWindows();
}

bool Controller::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::Close || quitting_)
        return QObject::eventFilter(watched, event);
    // The application ends with its main window.
    const bool allowed =
        watched == mainWindow_ ? prepareToQuit() : confirmClose(qobject_cast<HiResWindow*>(watched));
    if (!allowed) {
        event->ignore();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

}  // namespace qz

#include "app/Controller.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QDockWidget>
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
#include <QWindow>

#include "app/MainWindow.h"
#include "app/TransferFktCommands.h"
#include "app/VolumeStatus.h"
#include "data/Data.h"
#include "io/Readers.h"
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
#include "ui/SlicesSettings.h"

namespace qz {

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

    mainWindow_ = new MainWindow(data_, transferFkt_);
    // The View menu's remembered settings.
    const MainWindow::Actions& actions = mainWindow_->actions();
    rendererVolume_->setOpacityCorrection(actions.consistentOpacity->isChecked());
    mainWindow_->previewView()->setRefinedShading(actions.shading->isChecked());
    mainWindow_->previewView()->setPreviewSize(actions.fitPreview->isChecked() ? PreviewView::Size::Fit
                                                                               : PreviewView::Size::Classic);
    mainWindow_->hiResPanel()->shadingBox()->setChecked(actions.shading->isChecked());
    mainWindow_->volumeLabel()->setText(volumeSummary(*data_.volume()));
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
    displayProgressPanel();
    updateCommandStates();
    Data* data = &data_;
    const std::string localPath = QFile::encodeName(path).toStdString();
    const ReadOptions options = readOptions_;
    detachNewThread([data, localPath, options] { data->loadFromFileName(localPath, options); });
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
    const QString file = QFileInfo(loadingPath_).fileName();
    mainWindow_->statusBar()->showMessage(
        tr("Could not open %1: %2").arg(file, plainLoadError(reason, loadingPath_)));
    mainWindow_->statusBar()->setToolTip(reason);
    updateCommandStates();
}

// ---- Progress panel

void Controller::displayProgressPanel() {
    // The info line keeps its text until the first update.
    mainWindow_->progressSheet()->setProgress(0.0);
    mainWindow_->progressSheet()->open();
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
    displayProgressPanel();
    updateCommandStates();
    // The thread holds its own reference, so the renderer outlives it whatever the GUI does.
    detachNewThread([renderer] { renderer->hiRes(); });
}

void Controller::displayHiResWindow(const void* rendererAddress) {
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
    connect(window, &QObject::destroyed, this, &Controller::updateCommandStates, Qt::QueuedConnection);
    window->show();
    window->placeInArea(screen->availableGeometry());
    window->raise();
    window->activateWindow();
    updateCommandStates();
}

// ---- Closing and saving

void Controller::close() {
    if (auto* window = qobject_cast<HiResWindow*>(keyWindow()))
        window->close();
}

void Controller::saveAs() {
    auto* window = qobject_cast<HiResWindow*>(keyWindow());
    if (!window)
        return;
    QString filter = QLatin1String(kJpegFilter);
    const QString path = QFileDialog::getSaveFileName(
        window, tr("Save As"), QString(),
        QLatin1String(kJpegFilter) + QLatin1String(";;") + QLatin1String(kPngFilter), &filter);
    if (path.isEmpty())
        return;
    saveHiResWindow(window, path, filter);
}

bool Controller::saveHiResWindow(HiResWindow* window, const QString& chosenPath,
                                 const QString& chosenFilter) {
    if (!window || !window->hiResView())
        return false;
    const QString path = imageSavePath(chosenPath, chosenFilter);
    QString reason;
    if (!window->hiResView()->writeToFile(path, &reason)) {
        QMessageBox::warning(window, tr("Save As"),
                             tr("The image could not be saved as \"%1\": %2.").arg(path, reason));
        return false;
    }
    window->setWindowModified(false);
    return true;
}

}  // namespace qz

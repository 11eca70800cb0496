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
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QStatusBar>
#include <QVBoxLayout>
#include <QWindow>

#include "app/MainWindow.h"
#include "data/Data.h"
#include "io/Readers.h"
#include "platform/Threads.h"
#include "render/MIP.h"
#include "render/Slices.h"
#include "render/Volume.h"
#include "transfer/TransferFkt.h"
#include "transfer/TransferFktView.h"
#include "ui/DensityWindowDialog.h"
#include "ui/HiResPanel.h"
#include "ui/HiResView.h"
#include "ui/HiResWindow.h"
#include "ui/JpegExport.h"
#include "ui/PreviewView.h"
#include "ui/ProgressSheet.h"
#include "ui/SlicesSettings.h"

namespace qz {

namespace {
constexpr int kPreviewResolution = 100;
}

Controller::Controller() : Controller(Data::sharedInstance(), TransferFkt::sharedInstance()) {}

Controller::Controller(Data& data, TransferFkt& transferFkt, QObject* parent)
    : QObject(parent), data_(data), transferFkt_(transferFkt) {
    io::registerScanReaders();
    // Small, unshaded previews without interpolation keep dragging interactive.
    rendererSlices_ = std::make_unique<Slices>(data_, transferFkt_);
    rendererSlices_->setMaxImageResolution(kPreviewResolution);
    rendererVolume_ = std::make_unique<Volume>(data_, transferFkt_);
    rendererVolume_->setMaxImageResolution(kPreviewResolution);
    rendererVolume_->setDoShading(false);
    rendererVolume_->setQuality(0);
    rendererMIP_ = std::make_unique<MIP>(data_, transferFkt_);
    rendererMIP_->setMaxImageResolution(kPreviewResolution);
    rendererMIP_->setDoShading(false);
    rendererMIP_->setQuality(0);

    buildMainWindow();
    buildMenus();
    hiResQuality_ = hiResPanel_->resolutionBox()->value();
    doShading_ = hiResPanel_->shadingBox()->isChecked();

    renderSlices();

    // Handlers run on the posting thread: copy what they need and queue the rest to this object.
    NotificationCenter& center = data_.notificationCenter();
    progressObservation_ = Observation(center, kUpdateProgressBar, nullptr, [this](const Notification& n) {
        const QString info = QString::fromStdString(n.stringValue("info"));
        const int progress = n.intValue("progress");
        QMetaObject::invokeMethod(
            this, [this, info, progress] { updateProgressBarPanel(info, progress); }, Qt::QueuedConnection);
    });
    newDataObservation_ = Observation(center, kNewDataAvailable, nullptr, [this](const Notification&) {
        QMetaObject::invokeMethod(
            this, [this] { loadFinished(); }, Qt::QueuedConnection);
    });
    loadFailedObservation_ = Observation(center, kDataLoadFailed, nullptr, [this](const Notification& n) {
        const QString reason = QString::fromStdString(n.stringValue("info"));
        QMetaObject::invokeMethod(
            this, [this, reason] { loadFailed(reason); }, Qt::QueuedConnection);
    });
    hiResObservation_ = Observation(center, kNewHiResAvailable, nullptr, [this](const Notification& n) {
        const void* renderer = n.object;
        QMetaObject::invokeMethod(
            this, [this, renderer] { displayHiResWindow(renderer); }, Qt::QueuedConnection);
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

void Controller::buildMainWindow() {
    mainWindow_ = new MainWindow;
    mainWindow_->setWindowTitle(QStringLiteral("Quarzelle"));

    auto* central = new QWidget(mainWindow_);
    auto* layout = new QVBoxLayout(central);
    previewView_ = new PreviewView(central, data_.notificationCenter());
    previewView_->setMinimumSize(kPreviewResolution + 2, kPreviewResolution + 2);
    transferFktView_ = new TransferFktView(central, transferFkt_, data_);
    // The preview images are at most 100 pixels a side; the editor takes the remaining height.
    layout->addWidget(previewView_, 0);
    layout->addWidget(transferFktView_, 1);
    mainWindow_->setCentralWidget(central);
    mainWindow_->statusBar();

    // The drawer: a side dock that shows the slice settings while slices are selected.
    drawer_ = new QDockWidget(tr("Slices"), mainWindow_);
    drawer_->setObjectName(QStringLiteral("slicesDrawer"));
    drawer_->setFeatures(QDockWidget::DockWidgetMovable | QDockWidget::DockWidgetFloatable);
    slicesView_ = new SlicesSettings(drawer_);
    drawer_->setWidget(slicesView_);
    mainWindow_->addDockWidget(Qt::RightDockWidgetArea, drawer_);
    connect(slicesView_, &SlicesSettings::axisChanged, this, &Controller::slicesAxis);
    connect(slicesView_, &SlicesSettings::depthChanged, this, &Controller::slicesDepth);

    progressPanel_ = new ProgressSheet(mainWindow_);

    hiResPanel_ = new HiResPanel(mainWindow_);
    connect(hiResPanel_->resolutionBox(), &QSpinBox::valueChanged, this, &Controller::setHiResQuality);
    connect(hiResPanel_->shadingBox(), &QCheckBox::toggled, this, &Controller::setHiResShading);
    connect(hiResPanel_->renderButton(), &QPushButton::clicked, this, &Controller::createHiRes);
    connect(hiResPanel_, &QDialog::rejected, this, &Controller::closeHiResPanel);

    connect(mainWindow_, &MainWindow::volumeDropped, this, &Controller::openFile);
    mainWindow_->resize(560, 560);
}

namespace {

// The platform's key for a standard command; some platforms (plain X11) define none for Save As.
void setStandardShortcut(QAction* action, QKeySequence::StandardKey key, const QKeySequence& fallback) {
    const QList<QKeySequence> keys = QKeySequence::keyBindings(key);
    if (keys.isEmpty()) {
        action->setShortcut(fallback);
    } else {
        action->setShortcuts(keys);
    }
}

}  // namespace

void Controller::buildMenus() {
    fileMenu_ = mainWindow_->menuBar()->addMenu(tr("&File"));
    openAction_ = fileMenu_->addAction(tr("&Open…"), this, &Controller::openData);
    setStandardShortcut(openAction_, QKeySequence::Open, QKeySequence(Qt::CTRL | Qt::Key_O));
    openFolderAction_ = fileMenu_->addAction(tr("Open DICOM &Folder…"), this, &Controller::openFolder);
    densityWindowAction_ =
        fileMenu_->addAction(tr("Density &Window…"), this, &Controller::chooseDensityWindow);
    closeAction_ = fileMenu_->addAction(tr("&Close"), this, &Controller::close);
    setStandardShortcut(closeAction_, QKeySequence::Close, QKeySequence(Qt::CTRL | Qt::Key_W));
    saveAsAction_ = fileMenu_->addAction(tr("Save &As…"), this, &Controller::saveAs);
    setStandardShortcut(saveAsAction_, QKeySequence::SaveAs, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    fileMenu_->addSeparator();
    quitAction_ = fileMenu_->addAction(tr("&Quit"), qApp, &QApplication::closeAllWindows);
    setStandardShortcut(quitAction_, QKeySequence::Quit, QKeySequence(Qt::CTRL | Qt::Key_Q));
    quitAction_->setMenuRole(QAction::QuitRole);

    // Exactly the three renderers, one checked at a time: what the preview views.
    rendererMenu_ = mainWindow_->menuBar()->addMenu(tr("&View"));
    rendererGroup_ = new QActionGroup(this);
    rendererGroup_->setExclusive(true);
    slicesAction_ = rendererMenu_->addAction(tr("Slices"), this, &Controller::renderSlices);
    volumeAction_ = rendererMenu_->addAction(tr("Volume"), this, &Controller::renderVolume);
    mipAction_ = rendererMenu_->addAction(tr("MIP"), this, &Controller::renderMIP);
    for (QAction* action : {slicesAction_, volumeAction_, mipAction_}) {
        action->setCheckable(true);
        rendererGroup_->addAction(action);
    }
    slicesAction_->setChecked(true);

    QMenu* renderMenu = mainWindow_->menuBar()->addMenu(tr("&Render"));
    hiResAction_ = renderMenu->addAction(tr("&High Resolution…"), this, &Controller::displayHiResPanel);
    hiResAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
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
    closeAction_->setEnabled(hiResKey);
    saveAsAction_->setEnabled(hiResKey);
    hiResAction_->setEnabled(!hiResKey && data_.hasData() && !busy);
    // Nothing may render or load while a volume loads or a large image renders.
    openAction_->setEnabled(!busy);
    openFolderAction_->setEnabled(!busy);
    densityWindowAction_->setEnabled(!busy);
    rendererGroup_->setEnabled(!busy);
}

QList<HiResWindow*> Controller::hiResWindows() const {
    QList<HiResWindow*> windows;
    for (const QPointer<HiResWindow>& window : hiResWindows_) {
        if (window)
            windows.append(window.data());
    }
    return windows;
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
    mainWindow_->statusBar()->clearMessage();
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
    mainWindow_->statusBar()->showMessage(reason.isEmpty() ? tr("Could not open %1").arg(file)
                                                           : tr("Could not open %1: %2").arg(file, reason));
    updateCommandStates();
}

// ---- Progress panel

void Controller::displayProgressPanel() {
    // The info line keeps its text until the first update.
    progressPanel_->setProgress(0.0);
    progressPanel_->open();
}

void Controller::closeProgressPanel() {
    progressPanel_->hide();
    progressPanel_->setInfo(QString());
    progressPanel_->setProgress(0.0);
    previewView_->update();
}

void Controller::updateProgressBarPanel(const QString& info, int progress) {
    // Also while hidden: preview renders report progress too.
    progressPanel_->setInfo(info);
    progressPanel_->setProgress(static_cast<double>(progress));
}

// ---- Renderers and slice settings

void Controller::renderSlices() {
    drawer_->setWidget(slicesView_);
    drawer_->show();
    previewView_->setRenderer(rendererSlices_.get());
    previewView_->update();
}

void Controller::renderVolume() {
    drawer_->hide();
    previewView_->setRenderer(rendererVolume_.get());
    previewView_->update();
}

void Controller::renderMIP() {
    drawer_->hide();
    previewView_->setRenderer(rendererMIP_.get());
    previewView_->update();
}

void Controller::slicesAxis(int axis) {
    rendererSlices_->setAxis(axis);
    previewView_->update();
}

void Controller::slicesDepth(float depth) {
    rendererSlices_->setDepth(depth);
    previewView_->update();
}

// ---- High resolution

void Controller::displayHiResPanel() {
    updateCommandStates();
    if (!hiResAction_->isEnabled())
        return;
    hiResPanel_->open();
}

void Controller::closeHiResPanel() {
    hiResPanel_->hide();
}

void Controller::createHiRes() {
    Renderer* preview = previewView_->renderer();
    if (!preview || isBusy() || !data_.hasData())
        return;
    // A fresh renderer of the preview's class: its own defaults (quality 1, a slice renderer's
    // axis 2 at depth 0.5), the requested size and shading, the preview's orientation.
    std::shared_ptr<Renderer> renderer = preview->createSameClass();
    renderer->setMaxImageResolution(hiResQuality_);
    renderer->setDoShading(doShading_);
    renderer->setOrientation(preview->orientation());
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
    window->menuBar()->addMenu(fileMenu_);
    auto* view = new HiResView;
    view->setRenderer(renderer);
    view->setParent(window->canvas());
    window->setHiResView(view);
    ++untitledCounter_;
    window->setWindowTitle(QStringLiteral("Untitled%1[*]").arg(untitledCounter_));
    window->setWindowModified(true);

    QScreen* screen = mainWindow_->screen() ? mainWindow_->screen() : QGuiApplication::primaryScreen();
    window->placeAtLowerLeft(view->size(), screen->availableGeometry());
    hiResWindows_.append(window);
    connect(window, &QObject::destroyed, this, &Controller::updateCommandStates, Qt::QueuedConnection);
    window->show();
    window->placeAtLowerLeft(view->size(), screen->availableGeometry());
    window->raise();
    window->activateWindow();
    updateCommandStates();
    emit hiResWindowOpened(window);
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
    const QString path =
        QFileDialog::getSaveFileName(window, tr("Save As"), QString(), tr("JPEG image (*.jpeg *.jpg)"));
    if (path.isEmpty())
        return;
    saveHiResWindow(window, path);
}

bool Controller::saveHiResWindow(HiResWindow* window, const QString& chosenPath) {
    if (!window || !window->hiResView())
        return false;
    const QString path = jpegSavePath(chosenPath);
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

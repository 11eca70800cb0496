#include "app/MainWindow.h"
#include "data/VolumeReader.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QDir>
#include <QDockWidget>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QRegularExpression>
#include <QScreen>
#include <QSettings>
#include <QSplitter>
#include <QStatusBar>
#include <QUndoStack>
#include <QUrl>
#include <QVBoxLayout>

#include <numbers>

#include "data/Data.h"
#include "transfer/TransferFkt.h"
#include "ui/HiResPanel.h"
#include "ui/PreviewView.h"
#include "ui/ProgressSheet.h"
#include "ui/SlicesSettings.h"
#include "ui/TransferFktHistory.h"
#include "ui/TransferFktPointPanel.h"
#include "ui/TransferFktView.h"

namespace qz {

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

QAction* addNamedAction(QMenu* menu, const QString& text, const char* name) {
    QAction* action = menu->addAction(text);
    action->setObjectName(QLatin1String(name));
    return action;
}

// The one local file of a drop, with the suffix (any case) unless that is empty, or an empty string.
QString droppedLocalFile(const QMimeData* mime, const QString& suffix) {
    // One file only, as in the open panel.
    if (!mime || !mime->hasUrls() || mime->urls().size() != 1)
        return QString();
    const QUrl url = mime->urls().front();
    if (!url.isLocalFile())
        return QString();
    const QString path = url.toLocalFile();
    if (!suffix.isEmpty() && QFileInfo(path).suffix().compare(suffix, Qt::CaseInsensitive) != 0)
        return QString();
    return path;
}

}  // namespace

MainWindow::MainWindow(Data& data, TransferFkt& transferFkt, QWidget* parent) : QMainWindow(parent) {
    setAcceptDrops(true);
    setWindowTitle(QStringLiteral("Quarzelle"));

    splitter_ = new QSplitter(Qt::Vertical, this);
    splitter_->setObjectName(QStringLiteral("previewSplitter"));
    previewView_ = new PreviewView(splitter_, data.notificationCenter());
    previewView_->setObjectName(QStringLiteral("previewView"));
    previewView_->setMinimumSize(PreviewView::kClassicResolution + 2, PreviewView::kClassicResolution + 2);
    auto* editor = new QWidget(splitter_);
    auto* layout = new QVBoxLayout(editor);
    layout->setContentsMargins(0, 0, 0, 0);
    buildTransferFktEditor(transferFkt, data, layout);
    // The preview takes what the window gains; the editor keeps its height.
    splitter_->addWidget(previewView_);
    splitter_->addWidget(editor);
    splitter_->setStretchFactor(0, 1);
    splitter_->setStretchFactor(1, 0);
    splitter_->setChildrenCollapsible(false);
    setCentralWidget(splitter_);
    volumeLabel_ = new QLabel(this);
    volumeLabel_->setObjectName(QStringLiteral("volumeLabel"));
    statusBar()->addPermanentWidget(volumeLabel_);

    drawer_ = new QDockWidget(tr("Slices"), this);
    drawer_->setObjectName(QStringLiteral("slicesDrawer"));
    drawer_->setFeatures(QDockWidget::DockWidgetMovable | QDockWidget::DockWidgetFloatable);
    slicesSettings_ = new SlicesSettings(drawer_);
    slicesSettings_->setObjectName(QStringLiteral("slicesSettings"));
    drawer_->setWidget(slicesSettings_);
    addDockWidget(Qt::RightDockWidgetArea, drawer_);

    progressSheet_ = new ProgressSheet(this);
    progressSheet_->setObjectName(QStringLiteral("progressSheet"));
    hiResPanel_ = new HiResPanel(this);
    hiResPanel_->setObjectName(QStringLiteral("hiResPanel"));

    buildMenus();
    restoreLayout();
}

const _Vector MainWindow::kStandardViews[6] = {
    {0.0f, 0.0f, 0.0f},
    {0.0f, std::numbers::pi_v<float>, 0.0f},
    {0.0f, std::numbers::pi_v<float> / 2, 0.0f},
    {0.0f, -std::numbers::pi_v<float> / 2, 0.0f},
    {-std::numbers::pi_v<float> / 2, 0.0f, 0.0f},
    {std::numbers::pi_v<float> / 2, 0.0f, 0.0f},
};

void MainWindow::restoreLayout() {
    QSettings settings;
    if (!restoreGeometry(settings.value(QStringLiteral("mainWindow/geometry")).toByteArray())) {
        // Two thirds of the screen, centred; the editor a quarter of the height.
        const QRect area = (screen() ? screen() : QGuiApplication::primaryScreen())->availableGeometry();
        const QSize size = area.size() * 2 / 3;
        resize(size);
        move(area.center() - QPoint(size.width() / 2, size.height() / 2));
        splitter_->setSizes({size.height() * 3 / 4, size.height() / 4});
    }
    splitter_->restoreState(settings.value(QStringLiteral("mainWindow/splitter")).toByteArray());
}

void MainWindow::buildTransferFktEditor(TransferFkt& transferFkt, Data& data, QBoxLayout* layout) {
    QWidget* central = layout->parentWidget();
    transferFktHistory_ = new TransferFktHistory(transferFkt, this);
    transferFktView_ = new TransferFktView(central, transferFkt, data);
    transferFktView_->setObjectName(QStringLiteral("transferFktView"));
    transferFktView_->setHistory(transferFktHistory_);
    transferFktPointPanel_ = new TransferFktPointPanel(transferFktView_, central);
    transferFktPointPanel_->setObjectName(QStringLiteral("transferFktPointPanel"));
    auto* row = new QHBoxLayout;
    row->addWidget(transferFktView_, 1);
    row->addWidget(transferFktPointPanel_, 0);
    layout->addLayout(row, 1);
    connect(transferFktView_, &TransferFktView::readout, this, [this](const QString& text) {
        text.isEmpty() ? statusBar()->clearMessage() : statusBar()->showMessage(text);
    });
}

void MainWindow::buildEditMenu() {
    QMenu* editMenu = menuBar()->addMenu(tr("&Edit"));
    editMenu->setObjectName(QStringLiteral("editMenu"));
    TransferFktActions& a = transferFktActions_;
    a.undo = transferFktHistory_->stack()->createUndoAction(this, tr("&Undo"));
    a.undo->setObjectName(QStringLiteral("undoAction"));
    setStandardShortcut(a.undo, QKeySequence::Undo, QKeySequence(Qt::CTRL | Qt::Key_Z));
    a.redo = transferFktHistory_->stack()->createRedoAction(this, tr("&Redo"));
    a.redo->setObjectName(QStringLiteral("redoAction"));
    setStandardShortcut(a.redo, QKeySequence::Redo, QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z));
    editMenu->addAction(a.undo);
    editMenu->addAction(a.redo);
}

void MainWindow::buildTransferFktMenu() {
    QMenu* menu = menuBar()->addMenu(tr("&Transfer Function"));
    menu->setObjectName(QStringLiteral("transferFktMenu"));
    TransferFktActions& a = transferFktActions_;
    a.open = addNamedAction(menu, tr("&Open…"), "openTransferFktAction");
    a.saveAs = addNamedAction(menu, tr("Save &As…"), "saveTransferFktAction");
    menu->addSection(tr("Presets"));
    // The presets are the resource files :/presets/NAME.tf, listed by name.
    QStringList names = QDir(QStringLiteral(":/presets")).entryList({QStringLiteral("*.tf")}, QDir::Files);
    names.replaceInStrings(QRegularExpression(QStringLiteral("\\.tf$")), QString());
    names.sort();
    for (const QString& name : names) {
        QAction* preset = menu->addAction(name);
        preset->setData(name);
        a.presets.append(preset);
    }
    menu->addSeparator();
    a.reset = addNamedAction(menu, tr("&Reset to Grey Ramp"), "resetTransferFktAction");
}

void MainWindow::buildMenus() {
    fileMenu_ = menuBar()->addMenu(tr("&File"));
    fileMenu_->setObjectName(QStringLiteral("fileMenu"));
    actions_.open = addNamedAction(fileMenu_, tr("&Open…"), "openAction");
    setStandardShortcut(actions_.open, QKeySequence::Open, QKeySequence(Qt::CTRL | Qt::Key_O));
    actions_.openFolder = addNamedAction(fileMenu_, tr("Open DICOM &Folder…"), "openFolderAction");
    actions_.densityWindow = addNamedAction(fileMenu_, tr("Density &Window…"), "densityWindowAction");
    actions_.close = addNamedAction(fileMenu_, tr("&Close"), "closeAction");
    setStandardShortcut(actions_.close, QKeySequence::Close, QKeySequence(Qt::CTRL | Qt::Key_W));
    actions_.saveAs = addNamedAction(fileMenu_, tr("Save &As…"), "saveAsAction");
    setStandardShortcut(actions_.saveAs, QKeySequence::SaveAs,
                        QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    fileMenu_->addSeparator();
    actions_.quit = addNamedAction(fileMenu_, tr("&Quit"), "quitAction");
    setStandardShortcut(actions_.quit, QKeySequence::Quit, QKeySequence(Qt::CTRL | Qt::Key_Q));
    actions_.quit->setMenuRole(QAction::QuitRole);

    buildEditMenu();

    QMenu* viewMenu = menuBar()->addMenu(tr("&View"));
    viewMenu->setObjectName(QStringLiteral("viewMenu"));
    actions_.renderers = new QActionGroup(this);
    actions_.renderers->setExclusive(true);
    actions_.slices = addNamedAction(viewMenu, tr("Slices"), "slicesAction");
    actions_.volume = addNamedAction(viewMenu, tr("Volume"), "volumeAction");
    actions_.mip = addNamedAction(viewMenu, tr("MIP"), "mipAction");
    for (QAction* action : {actions_.slices, actions_.volume, actions_.mip}) {
        action->setCheckable(true);
        actions_.renderers->addAction(action);
    }
    actions_.slices->setChecked(true);
    viewMenu->addSeparator();

    // Remembered settings: checked as last time, written whenever they change.
    auto remembered = [](QMenu* menu, const QString& text, const char* name, const QString& key,
                         bool initial) {
        QAction* action = addNamedAction(menu, text, name);
        action->setCheckable(true);
        action->setChecked(QSettings().value(key, initial).toBool());
        QObject::connect(action, &QAction::toggled, [key](bool on) { QSettings().setValue(key, on); });
        return action;
    };
    actions_.shading =
        remembered(viewMenu, tr("Shading"), "shadingAction", QStringLiteral("view/shading"), true);
    actions_.consistentOpacity = remembered(viewMenu, tr("Consistent Opacity"), "consistentOpacityAction",
                                            QStringLiteral("view/consistentOpacity"), true);
    QMenu* sizeMenu = viewMenu->addMenu(tr("Preview Size"));
    sizeMenu->setObjectName(QStringLiteral("previewSizeMenu"));
    actions_.fitPreview =
        remembered(sizeMenu, tr("Fit Window"), "fitPreviewAction", QStringLiteral("view/fitPreview"), true);
    actions_.classicPreview = addNamedAction(sizeMenu, tr("100 Pixels"), "classicPreviewAction");
    actions_.classicPreview->setCheckable(true);
    actions_.classicPreview->setChecked(!actions_.fitPreview->isChecked());
    actions_.previewSizes = new QActionGroup(this);
    actions_.previewSizes->addAction(actions_.fitPreview);
    actions_.previewSizes->addAction(actions_.classicPreview);
    viewMenu->addSeparator();

    const QString viewNames[6] = {tr("Front"), tr("Back"), tr("Left"), tr("Right"), tr("Top"), tr("Bottom")};
    for (int i = 0; i < 6; ++i) {
        QAction* view = viewMenu->addAction(viewNames[i]);
        view->setObjectName(QStringLiteral("view%1Action").arg(i));
        view->setShortcut(QKeySequence(Qt::CTRL | Qt::Key(Qt::Key_1 + i)));
        actions_.views.append(view);
    }
    actions_.views[0]->setShortcuts({QKeySequence(Qt::Key_Home), QKeySequence(Qt::CTRL | Qt::Key_1)});

    buildTransferFktMenu();

    QMenu* renderMenu = menuBar()->addMenu(tr("&Render"));
    renderMenu->setObjectName(QStringLiteral("renderMenu"));
    actions_.hiRes = addNamedAction(renderMenu, tr("&High Resolution…"), "hiResAction");
    actions_.hiRes->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
}

QString MainWindow::droppedVolumePath(const QMimeData* mime) {
    // A .dat file, or anything a scan reader takes (a scan file, a DICOM file or folder).
    if (QString path = droppedLocalFile(mime, QString());
        !path.isEmpty() &&
        (QFileInfo(path).suffix().compare(QLatin1String("dat"), Qt::CaseInsensitive) == 0 ||
         volumeReaderFor(QFile::encodeName(path).toStdString())))
        return path;
    return QString();
}

QString MainWindow::droppedTransferFktPath(const QMimeData* mime) {
    return droppedLocalFile(mime, QStringLiteral("tf"));
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!droppedVolumePath(event->mimeData()).isEmpty() ||
        !droppedTransferFktPath(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
    if (const QString tf = droppedTransferFktPath(event->mimeData()); !tf.isEmpty()) {
        event->acceptProposedAction();
        emit transferFktDropped(tf);
        return;
    }
    const QString path = droppedVolumePath(event->mimeData());
    if (path.isEmpty())
        return;
    event->acceptProposedAction();
    emit volumeDropped(path);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    QMainWindow::closeEvent(event);
    if (!event->isAccepted())
        return;
    QSettings settings;
    settings.setValue(QStringLiteral("mainWindow/geometry"), saveGeometry());
    settings.setValue(QStringLiteral("mainWindow/splitter"), splitter_->saveState());
    emit closed();
}

}  // namespace qz

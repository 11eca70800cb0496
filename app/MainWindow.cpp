#include "app/MainWindow.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QDockWidget>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QStatusBar>
#include <QUrl>
#include <QVBoxLayout>

#include "data/Data.h"
#include "transfer/TransferFkt.h"
#include "ui/HiResPanel.h"
#include "ui/PreviewView.h"
#include "ui/ProgressSheet.h"
#include "ui/SlicesSettings.h"
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

}  // namespace

MainWindow::MainWindow(Data& data, TransferFkt& transferFkt, QWidget* parent) : QMainWindow(parent) {
    setAcceptDrops(true);
    setWindowTitle(QStringLiteral("Quarzelle"));

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    previewView_ = new PreviewView(central, data.notificationCenter());
    previewView_->setObjectName(QStringLiteral("previewView"));
    previewView_->setMinimumSize(kPreviewResolution + 2, kPreviewResolution + 2);
    auto* transferFktView = new TransferFktView(central, transferFkt, data);
    transferFktView->setObjectName(QStringLiteral("transferFktView"));
    // The preview images are at most 100 pixels a side; the editor takes the remaining height.
    layout->addWidget(previewView_, 0);
    layout->addWidget(transferFktView, 1);
    setCentralWidget(central);
    statusBar();

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
    resize(560, 560);
}

void MainWindow::buildMenus() {
    fileMenu_ = menuBar()->addMenu(tr("&File"));
    fileMenu_->setObjectName(QStringLiteral("fileMenu"));
    actions_.open = addNamedAction(fileMenu_, tr("&Open…"), "openAction");
    setStandardShortcut(actions_.open, QKeySequence::Open, QKeySequence(Qt::CTRL | Qt::Key_O));
    actions_.close = addNamedAction(fileMenu_, tr("&Close"), "closeAction");
    setStandardShortcut(actions_.close, QKeySequence::Close, QKeySequence(Qt::CTRL | Qt::Key_W));
    actions_.saveAs = addNamedAction(fileMenu_, tr("Save &As…"), "saveAsAction");
    setStandardShortcut(actions_.saveAs, QKeySequence::SaveAs,
                        QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    fileMenu_->addSeparator();
    actions_.quit = addNamedAction(fileMenu_, tr("&Quit"), "quitAction");
    setStandardShortcut(actions_.quit, QKeySequence::Quit, QKeySequence(Qt::CTRL | Qt::Key_Q));
    actions_.quit->setMenuRole(QAction::QuitRole);

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

    QMenu* renderMenu = menuBar()->addMenu(tr("&Render"));
    renderMenu->setObjectName(QStringLiteral("renderMenu"));
    actions_.hiRes = addNamedAction(renderMenu, tr("&High Resolution…"), "hiResAction");
    actions_.hiRes->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
}

QString MainWindow::droppedVolumePath(const QMimeData* mime) {
    // One file only, as in the open panel.
    if (!mime || !mime->hasUrls() || mime->urls().size() != 1)
        return QString();
    const QUrl url = mime->urls().front();
    if (!url.isLocalFile())
        return QString();
    const QString path = url.toLocalFile();
    if (QFileInfo(path).suffix().compare(QLatin1String("dat"), Qt::CaseInsensitive) != 0)
        return QString();
    return path;
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!droppedVolumePath(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
    const QString path = droppedVolumePath(event->mimeData());
    if (path.isEmpty())
        return;
    event->acceptProposedAction();
    emit volumeDropped(path);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    QMainWindow::closeEvent(event);
    if (event->isAccepted())
        emit closed();
}

}  // namespace qz

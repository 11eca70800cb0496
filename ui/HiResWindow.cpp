#include "ui/HiResWindow.h"

#include <QAction>
#include <QMenuBar>
#include <QScrollArea>

#include "ui/HiResView.h"

namespace qz {

HiResWindow::HiResWindow(QWidget* parent) : QMainWindow(parent) {
    scrollArea_ = new QScrollArea(this);
    scrollArea_->setFrameShape(QFrame::NoFrame);
    scrollArea_->setAlignment(Qt::AlignCenter);
    scrollArea_->setWidgetResizable(true);
    QPalette black = scrollArea_->palette();
    black.setColor(QPalette::Window, Qt::black);
    scrollArea_->setPalette(black);
    setCentralWidget(scrollArea_);

    actualSize_ = new QAction(tr("Actual Size"), this);
    actualSize_->setObjectName(QStringLiteral("actualSizeAction"));
    actualSize_->setCheckable(true);
    actualSize_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_0));
    connect(actualSize_, &QAction::toggled, this, &HiResWindow::showActualSize);
}

void HiResWindow::setHiResView(HiResView* view) {
    hiResView_ = view;
    scrollArea_->setWidget(view);
    // After the menus the owner adds (File first).
    QMenu* viewMenu = new QMenu(tr("&View"), this);
    viewMenu->addAction(actualSize_);
    menuBar()->addMenu(viewMenu);
}

void HiResWindow::showActualSize(bool actual) {
    if (!hiResView_)
        return;
    // The scroll area sizes a fitting view to its viewport and leaves an actual-size one alone.
    scrollArea_->setWidgetResizable(!actual);
    hiResView_->setActualSize(actual);
    if (!actual)
        hiResView_->resize(scrollArea_->viewport()->size());
}

void HiResWindow::placeInArea(const QRect& area) {
    const QSize image = hiResView_ ? hiResView_->sizeHint() : QSize(200, 200);
    // Before the window manager has framed the window the frame is the window itself.
    const QSize frame = frameGeometry().size() - size();
    const int menuHeight = menuBar()->isVisibleTo(this) ? menuBar()->sizeHint().height() : 0;
    const QSize room = area.size() - frame - QSize(0, menuHeight);
    const QSize content = image.width() <= room.width() && image.height() <= room.height()
                              ? image
                              : image.scaled(room.expandedTo(QSize(1, 1)), Qt::KeepAspectRatio);
    resize(content.width(), content.height() + menuHeight);
    move(area.left(), area.bottom() + 1 - frameGeometry().height());
}

}  // namespace qz

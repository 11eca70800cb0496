#include "ui/HiResWindow.h"

#include <QMenuBar>
#include <QResizeEvent>

namespace qz {

namespace {

// Keeps each child's lower-left corner on its own lower-left corner.
class LowerLeftCanvas : public QWidget {
  public:
    using QWidget::QWidget;

  protected:
    void resizeEvent(QResizeEvent* event) override {
        QWidget::resizeEvent(event);
        pinChildren();
    }
    void childEvent(QChildEvent* event) override {
        QWidget::childEvent(event);
        // A child that changes its own size is pinned again as well.
        if (event->type() == QEvent::ChildAdded) {
            event->child()->installEventFilter(this);
            pinChildren();
        }
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Resize)
            pinChildren();
        return QWidget::eventFilter(watched, event);
    }

  private:
    void pinChildren() {
        for (QObject* object : children()) {
            if (auto* child = qobject_cast<QWidget*>(object))
                child->move(0, height() - child->height());
        }
    }
};

}  // namespace

HiResWindow::HiResWindow(QWidget* parent) : QMainWindow(parent) {
    canvas_ = new LowerLeftCanvas(this);
    setCentralWidget(canvas_);
}

void HiResWindow::placeAtLowerLeft(const QSize& contentSize, const QRect& area) {
    const int menuHeight = menuBar()->isVisibleTo(this) ? menuBar()->sizeHint().height() : 0;
    resize(contentSize.width(), contentSize.height() + menuHeight);
    // move() places the frame; before the window manager has framed the window the frame is
    // the window itself.
    const int frameHeight = frameGeometry().height();
    move(area.left(), area.bottom() + 1 - frameHeight);
}

}  // namespace qz

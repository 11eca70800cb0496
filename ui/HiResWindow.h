#pragma once

#include <QMainWindow>
#include <QRect>

class QAction;
class QScrollArea;

namespace qz {

class HiResView;

// A window showing one high-resolution image, scaled down to fit the window where it is larger;
// View ▸ Actual Size shows it at 100 %, scrolling where it is larger than the window.
class HiResWindow : public QMainWindow {
    Q_OBJECT

  public:
    explicit HiResWindow(QWidget* parent = nullptr);

    // Takes the view and shows it.
    void setHiResView(HiResView* view);
    HiResView* hiResView() const { return hiResView_; }
    QScrollArea* scrollArea() const { return scrollArea_; }
    QAction* actualSizeAction() const { return actualSize_; }

    // Sizes the window to show the whole image within area (the screen's available area): at its
    // actual size when that fits, else scaled down; puts the window's lower-left corner at the
    // area's.
    void placeInArea(const QRect& area);

  private:
    void showActualSize(bool actual);

    QScrollArea* scrollArea_ = nullptr;
    HiResView* hiResView_ = nullptr;
    QAction* actualSize_ = nullptr;
};

}  // namespace qz

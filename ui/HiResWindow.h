#pragma once

#include <QMainWindow>
#include <QRect>

namespace qz {

class HiResView;

// A window showing one high-resolution image. Its canvas keeps the view pinned to the lower-left
// corner: the view never follows the window's size, so a larger window leaves empty space
// above and to the right, and a smaller one hides the image's top and right parts.
class HiResWindow : public QMainWindow {
    Q_OBJECT

  public:
    explicit HiResWindow(QWidget* parent = nullptr);

    // The widget the view is to be a child of.
    QWidget* canvas() const { return canvas_; }
    HiResView* hiResView() const { return hiResView_; }
    void setHiResView(HiResView* view) { hiResView_ = view; }

    // Sizes the window so that the canvas has exactly contentSize and puts the window's
    // lower-left corner at that of area (the screen's available area).
    void placeAtLowerLeft(const QSize& contentSize, const QRect& area);

  private:
    QWidget* canvas_ = nullptr;
    HiResView* hiResView_ = nullptr;
};

}  // namespace qz

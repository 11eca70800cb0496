#pragma once

#include <QWidget>

class QGroupBox;
class QSpinBox;
class QToolButton;

namespace qz {

class TransferFktView;

// The selected points of an editor as numbers: the opacity point's density and opacity (0 .. 255),
// the colour point's density and colour (a swatch that opens the colour panel). Editing a field
// edits the point through the editor, as a drag would.
class TransferFktPointPanel : public QWidget {
    Q_OBJECT

  public:
    explicit TransferFktPointPanel(TransferFktView* view, QWidget* parent = nullptr);

    QSpinBox* opacityDensityBox() const { return opacityDensity_; }
    QSpinBox* opacityBox() const { return opacity_; }
    QSpinBox* colorDensityBox() const { return colorDensity_; }
    QToolButton* colorButton() const { return color_; }

  public slots:
    // Shows the editor's selection as it stands.
    void refresh();

  private:
    TransferFktView* view_;
    QGroupBox* opacityGroup_;
    QGroupBox* colorGroup_;
    QSpinBox* opacityDensity_;
    QSpinBox* opacity_;
    QSpinBox* colorDensity_;
    QToolButton* color_;
};

}  // namespace qz

#pragma once

#include <QDialog>

class QCheckBox;
class QPushButton;
class QSpinBox;

namespace qz {

// Settings of a high-resolution request: the renderer's maximum image resolution and whether the
// image is shaded. Kept between uses: nothing resets the controls when the panel is shown again.
class HiResPanel : public QDialog {
    Q_OBJECT

  public:
    // 8192^2 RGBA pixels take 4 bytes each, 256 MiB for the renderer's bitmap alone (plus the
    // JPEG encoder's copy of what is saved): the largest image a desktop machine renders and
    // shows comfortably, and far beyond any screen.
    static constexpr int kMaxResolution = 8192;
    static constexpr int kInitialResolution = 512;

    explicit HiResPanel(QWidget* parent = nullptr);

    QSpinBox* resolutionBox() const { return resolution_; }
    QCheckBox* shadingBox() const { return shading_; }
    QPushButton* renderButton() const { return render_; }

  private:
    QSpinBox* resolution_ = nullptr;
    QCheckBox* shading_ = nullptr;
    QPushButton* render_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

}  // namespace qz

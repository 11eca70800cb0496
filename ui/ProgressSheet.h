#pragma once

#include <QDialog>

class QLabel;
class QProgressBar;

namespace qz {

// The progress panel: an info line and a percentage bar, shown window-modal over the main window
// while a volume loads or a large image renders. Only its owner closes it: Escape and the
// window's close button are refused, since the work behind it cannot be cancelled.
class ProgressSheet : public QDialog {
    Q_OBJECT

  public:
    explicit ProgressSheet(QWidget* parent = nullptr);

    void setInfo(const QString& info);
    QString info() const;
    void setProgress(double percent);
    int progress() const;

  public slots:
    void reject() override {}

  private:
    QLabel* info_ = nullptr;
    QProgressBar* bar_ = nullptr;
};

}  // namespace qz

#pragma once

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;

namespace qz {

// The progress panel: an info line, a percentage bar and a Cancel button, shown over the main
// window while a volume loads or a large image renders. It does not block the main window, so
// Quit and closing the main window stay possible. Cancel, Escape and the window's close button
// ask for the work to stop (cancelRequested); only the panel's owner closes it.
class ProgressSheet : public QDialog {
    Q_OBJECT

  public:
    explicit ProgressSheet(QWidget* parent = nullptr);

    void setInfo(const QString& info);
    QString info() const;
    void setProgress(double percent);
    int progress() const;
    QPushButton* cancelButton() const { return cancel_; }

  signals:
    void cancelRequested();

  public slots:
    void reject() override { emit cancelRequested(); }

  private:
    QLabel* info_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

}  // namespace qz

#pragma once

#include <QObject>
#include <QString>

namespace qz {

class MainWindow;
class TransferFkt;
struct TransferFktPoints;

// The Transfer Function menu's work and a dropped .tf file: open and save transfer function files,
// the presets, the grey ramp; each change one undo step. Once asked to, it reopens the function of
// the last run and remembers every later one (QSettings).
class TransferFktCommands : public QObject {
    Q_OBJECT

  public:
    TransferFktCommands(MainWindow* window, TransferFkt& fkt, QObject* parent = nullptr);

    // Makes the file's function the current one; false with the reason (naming the bad line) and
    // the function as it was when the file cannot be read or applied.
    bool openFile(const QString& path, QString* reason);
    // Writes every reference point to path, replacing the file only once all is written.
    bool saveFile(const QString& path, QString* reason);
    // Makes the preset :/presets/NAME.tf the current function; false for an unknown name.
    bool applyPreset(const QString& name);
    void resetToGreyRamp();

    // Reopens the function remembered by the last run, if any, and remembers every change from now on.
    void restoreRemembered();

  private:
    void open();    // the open panel
    void saveAs();  // the save panel
    void openWithMessage(const QString& path);
    void apply(const TransferFktPoints& points, const QString& step);
    void remember();

    MainWindow* window_;
    TransferFkt& fkt_;
    QString lastFolder_;
};

}  // namespace qz

#include <QApplication>
#include <QStringList>

#include "app/Controller.h"
#include "app/MainWindow.h"
#include "app/TransferFktCommands.h"
#include "platform/AtomicWrite.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quarzelle"));
    QApplication::setOrganizationName(QStringLiteral("Quarzelle"));
    // A file being saved when the process is interrupted leaves no temporary file.
    qz::removeTempFilesOnSignals();

    qz::Controller controller;
    qz::MainWindow* window = controller.mainWindow();
    // Closing the main window ends the program, whatever image windows are still open.
    QObject::connect(window, &qz::MainWindow::closed, &app, &QApplication::quit);
    // The transfer function of the last run.
    controller.transferFktCommands()->restoreRemembered();
    window->show();

    // quarzelle [FILE|FOLDER]: open the volume, scan or DICOM folder as if chosen in the open panel.
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() > 1)
        controller.openFile(arguments.at(1));
    return app.exec();
}

#include <QApplication>
#include <QStringList>

#include "app/Controller.h"
#include "app/MainWindow.h"
#include "platform/AtomicWrite.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quarzelle"));
    // A picture being saved when the process is interrupted leaves no temporary file.
    qz::removeTempFilesOnSignals();

    qz::Controller controller;
    qz::MainWindow* window = controller.mainWindow();
    // Closing the main window ends the program, whatever image windows are still open.
    QObject::connect(window, &qz::MainWindow::closed, &app, &QApplication::quit);
    window->show();

    // quarzelle [FILE.dat]: open the file as if it had been chosen in the open panel.
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() > 1)
        controller.openFile(arguments.at(1));
    return app.exec();
}

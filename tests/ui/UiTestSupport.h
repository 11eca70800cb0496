#pragma once

// The shown application, volume files and mouse drags for the widget tests.
#include <QtTest>
#include <QtWidgets>

#include <array>
#include <atomic>
#include <fstream>
#include <functional>
#include <thread>

#include "app/Controller.h"
#include "app/MainWindow.h"
#include "app/TransferFktCommands.h"
#include "data/Data.h"
#include "render/Slices.h"
#include "render/Volume.h"
#include "support/TestFiles.h"
#include "ui/HiResPanel.h"
#include "ui/HiResView.h"
#include "ui/HiResWindow.h"
#include "ui/JpegExport.h"
#include "ui/PreviewView.h"
#include "ui/ProgressSheet.h"
#include "ui/SlicesSettings.h"
#include "ui/TransferFktHistory.h"
#include "ui/TransferFktPointPanel.h"
#include "ui/TransferFktView.h"

namespace qz::uitest {

// A volume file in dir holding sample(x, y, z); returns its path.
inline QString writeVolume(const qz::testing::TempDir& dir, const std::string& name, int x, int y, int z,
                           const std::function<int(int, int, int)>& sample) {
    qz::testing::writeVolumeFile(dir.file(name), x, y, z, qz::testing::samplesOf(x, y, z, sample));
    return QString::fromStdString(dir.file(name));
}

// The application as main() starts it: a controller and its shown main window. Settings live in
// Qt's test location, cleared unless the previous App's are to be kept.
struct App {
    explicit App(bool keepSettings = false) : settings(prepareSettings(keepSettings)) { window->show(); }
    ~App() {
        // A load, render or refinement still running would reach the next controller.
        QTRY_VERIFY(idle() && !window->previewView()->isRefining());
        delete controller;
    }
    bool activate() {
        window->activateWindow();
        return QTest::qWaitForWindowActive(window);
    }
    bool idle() const { return actions.open->isEnabled(); }  // nothing loads or renders

    static bool prepareSettings(bool keep) {
        QStandardPaths::setTestModeEnabled(true);
        if (!keep)
            QSettings().clear();
        return true;
    }

    bool settings;
    Controller* controller = new Controller;
    MainWindow* window = controller->mainWindow();
    const MainWindow::Actions& actions = window->actions();
};

// The high-resolution windows on screen.
inline QList<HiResWindow*> hiResWindows() {
    QList<HiResWindow*> windows;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* window = qobject_cast<HiResWindow*>(widget); window && window->isVisible())
            windows.append(window);
    }
    return windows;
}

// Mouse events in view coordinates, the left button held.
inline void sendMouse(QWidget* view, QEvent::Type type, QPointF at) {
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, at, view->mapTo(view->window(), at), view->mapToGlobal(at), button,
                      Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view, &event);
}
inline void dragTo(QWidget* view, QPointF to) {
    sendMouse(view, QEvent::MouseMove, to);
}
inline void pressAndDrag(QWidget* view, QPointF from, QPointF to) {
    sendMouse(view, QEvent::MouseButtonPress, from);
    if (to != from)
        dragTo(view, to);
}

}  // namespace qz::uitest

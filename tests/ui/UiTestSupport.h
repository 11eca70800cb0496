#pragma once

// The shown application and volume files for the widget tests.
#include <QtTest>

#include <functional>

#include "app/Controller.h"
#include "app/MainWindow.h"
#include "support/TestFiles.h"
#include "ui/HiResWindow.h"

namespace qz::uitest {

// A volume file in dir holding sample(x, y, z); returns its path.
inline QString writeVolume(const testing::TempDir& dir, const std::string& name, int x, int y, int z,
                           const std::function<int(int, int, int)>& sample) {
    std::vector<std::uint16_t> samples;
    for (int k = 0; k < z; ++k)
        for (int j = 0; j < y; ++j)
            for (int i = 0; i < x; ++i)
                samples.push_back(std::uint16_t(sample(i, j, k)));
    testing::writeVolumeFile(dir.file(name), x, y, z, samples);
    return QString::fromStdString(dir.file(name));
}

// The application as main() starts it: a controller whose main window is shown and active.
struct App {
    App() { window->show(); }
    ~App() {
        // A load or render still running would deliver to the next controller; let it end first.
        QTRY_VERIFY(idle());
        delete controller;
    }
    bool activate() {
        window->activateWindow();
        return QTest::qWaitForWindowActive(window);
    }
    // Open is enabled exactly while nothing loads or renders.
    bool idle() const { return actions.open->isEnabled(); }

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

// A left-button press at from and, unless it is the same point, a drag to to; view coordinates.
inline void pressAndDrag(QWidget* view, QPointF from, QPointF to) {
    auto send = [view](QEvent::Type type, QPointF local, Qt::MouseButton button) {
        QMouseEvent event(type, local, view->mapTo(view->window(), local), view->mapToGlobal(local), button,
                          Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(view, &event);
    };
    send(QEvent::MouseButtonPress, from, Qt::LeftButton);
    if (to != from)
        send(QEvent::MouseMove, to, Qt::NoButton);
}

}  // namespace qz::uitest

#pragma once

// Volume files and a shown, active controller for the widget tests.
#include <QtTest>

#include <functional>

#include "app/Controller.h"
#include "app/MainWindow.h"

namespace qz::uitest {

// A volume file: three little-endian 16-bit dimensions, then sample(x, y, z), x fastest.
inline QString writeVolume(const QString& path, int xDim, int yDim, int zDim,
                           const std::function<int(int, int, int)>& sample) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    auto put = [&file](int value) {
        const char bytes[2] = {char(value & 0xff), char((value >> 8) & 0xff)};
        file.write(bytes, 2);
    };
    put(xDim);
    put(yDim);
    put(zDim);
    for (int z = 0; z < zDim; ++z)
        for (int y = 0; y < yDim; ++y)
            for (int x = 0; x < xDim; ++x)
                put(sample(x, y, z));
    return path;
}

// A controller whose main window is shown; true once that window is active.
inline bool startController(Controller*& controller) {
    controller = new Controller;
    controller->mainWindow()->show();
    controller->mainWindow()->activateWindow();
    return QTest::qWaitForWindowActive(controller->mainWindow());
}

// A load or render still running would deliver to the next controller; let it end first.
inline void stopController(Controller*& controller) {
    QTRY_VERIFY(!controller->isBusy());
    delete controller;
    controller = nullptr;
}

}  // namespace qz::uitest

// The transfer function editor's gestures on a model of its own: press and drag densities, the
// hit tolerance, holds that add points, drags over other points, removal, the end points, the
// colour panel, and notifications from worker threads.
#include <QtTest>

#include <QColorDialog>
#include <array>
#include <thread>

#include "UiTestSupport.h"
#include "ui/TransferFktView.h"

using namespace qz;

namespace {

constexpr int D = kMaxDensity;

// A 400 x 115 view with its own model, volume and notification centre, shown offscreen.
// Positions are in editor coordinates: origin at the lower left, y up.
struct Editor {
    Editor() {
        view.resize(400, 115);
        view.setHoldInterval(1);
        view.show();
    }
    NotificationCenter center;
    Data data{center};
    TransferFkt fkt{center};
    TransferFktView view{nullptr, fkt, data};

    void send(QEvent::Type type, QPointF at, Qt::MouseButton button, Qt::MouseButtons buttons,
              Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        const QPointF local = view.editorToWidget().map(at);
        QMouseEvent event(type, local, view.mapToGlobal(local), button, buttons, modifiers);
        QCoreApplication::sendEvent(&view, &event);
    }
    void press(QPointF at, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        send(QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton, modifiers);
    }
    void drag(QPointF at) { send(QEvent::MouseMove, at, Qt::NoButton, Qt::LeftButton); }
    void release() { send(QEvent::MouseButtonRelease, QPointF(), Qt::LeftButton, Qt::NoButton); }
    void click(QPointF at, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        press(at, modifiers);
        release();
    }
    void rightClick(QPointF at) {
        send(QEvent::MouseButtonPress, at, Qt::RightButton, Qt::RightButton);
        send(QEvent::MouseButtonRelease, at, Qt::RightButton, Qt::NoButton);
    }
    // Lets every hold timer started so far fire.
    bool waitForHolds() {
        return QTest::qWaitFor([this] { return view.pendingHoldCount() == 0; }, 2000);
    }

    // x of a press on density d and of a drag landing on d; y of an opacity byte on the curve.
    static float pressX(int d) { return (float(d) + 0.5f) * 400.0f / float(D); }
    static float dragX(int d) { return (float(d) + 0.5f) * 400.0f / float(D - 1); }
    static float curveY(int alpha) { return linToLog(float(alpha) / 255.0f) * 100.0f + 15.0f; }

    std::array<int, 4> entry(int d) {
        std::uint8_t rgba[4];
        fkt.getRGBA(rgba, d);
        return {rgba[0], rgba[1], rgba[2], rgba[3]};
    }
    int count(bool colour) const {
        int n = 0;
        for (int d = 0; d < D; ++d)
            n += colour ? fkt.isRGBReferencePoint(d) : fkt.isOpacityReferencePoint(d);
        return n;
    }
    int selected(bool colour) const {
        return colour ? view.selectedRGBReferencePoint() : view.selectedOpacityReferencePoint();
    }
};

}  // namespace

class TestTransferFktView : public QObject {
    Q_OBJECT

  private slots:
    void pressAndDragDensities() {
        Editor e;
        // A hold at x = 100 adds its point at 1024; dragging it to x = 200 moves it to 2047.
        e.press(QPointF(100, 65));
        QVERIFY(e.waitForHolds());
        QVERIFY(e.fkt.isOpacityReferencePoint(1024));
        e.drag(QPointF(200, 65));
        e.release();
        QVERIFY(!e.fkt.isOpacityReferencePoint(1024));
        QVERIFY(e.fkt.isOpacityReferencePoint(2047));
        QCOMPARE(e.view.selectedOpacityReferencePoint(), 2047);
        // Dragged past the left edge it stops at density 10, past the right one at 4084.
        e.press(QPointF(200, 65));
        e.drag(QPointF(-30, 65));
        QCOMPARE(e.view.selectedOpacityReferencePoint(), 10);
        e.drag(QPointF(430, 65));
        e.release();
        QCOMPARE(e.view.selectedOpacityReferencePoint(), 4084);
        QCOMPARE(e.count(false), 3);
    }

    void hitTolerance() {
        Editor e;
        e.fkt.addOpacityReferencePointForDensity(2048, 100);
        e.fkt.addOpacityReferencePointForDensity(2108, 100);
        // Within 5 points (51 densities): the nearer point wins, the lower one on a tie.
        const std::pair<int, int> hits[] = {{2048, 2048}, {1998, 2048}, {1997, -1}, {2077, 2048},
                                            {2078, 2048}, {2079, 2108}, {2159, -1}, {30, 0}};
        for (auto [density, hit] : hits)
            QCOMPARE(e.view.nextReferencePointForDensity(density, TransferFktView::kHistogramArea), hit);
        QCOMPARE(e.view.nextReferencePointForDensity(2048, TransferFktView::kColorBarArea), -1);
        // A press near a point selects it; a press away from every point keeps the selection.
        e.click(QPointF(Editor::pressX(2008), 60));
        QCOMPARE(e.view.selectedOpacityReferencePoint(), 2048);
        e.click(QPointF(Editor::pressX(1000), 60));
        QVERIFY(e.waitForHolds());
        QCOMPARE(e.view.selectedOpacityReferencePoint(), 2048);
        QVERIFY(!e.fkt.isOpacityReferencePoint(1000));  // released before the hold
    }

    void holdAddsOpacityByHeight() {
        Editor e;
        // Heights 1, 0.75, 0.5 and 0 on the logarithmic scale.
        const std::pair<int, int> cases[] = {{115, 255}, {90, 45}, {65, 7}, {15, 0}};
        int density = 600;
        for (auto [y, opacity] : cases) {
            e.press(QPointF(Editor::pressX(density), y));
            QVERIFY(e.waitForHolds());
            e.release();
            QCOMPARE(e.entry(density)[3], opacity);
            QCOMPARE(e.view.selectedOpacityReferencePoint(), density);
            density += 800;
        }
        QCOMPARE(e.count(false), 6);
    }

    void holdCancelledByDragOrRelease() {
        Editor e;
        const ColorTable ramp = e.fkt.table();
        for (int y : {60, 5}) {  // released at once, in the histogram and in the colour bar
            e.click(QPointF(150, y));
            QVERIFY(e.waitForHolds());
        }
        QCOMPARE(e.fkt.table(), ramp);
        // Moved before the hold: in the colour bar nothing is grabbed, so nothing changes; in the
        // histogram the drag makes a point under the pointer, but the hold adds none at the press.
        e.press(QPointF(150, 5));
        e.drag(QPointF(151, 5));
        QVERIFY(e.waitForHolds());
        e.release();
        QCOMPARE(e.fkt.table(), ramp);
        const int pressed = e.view.densityOfPress(150);
        e.press(QPointF(150, 60));
        e.drag(QPointF(250, 60));
        QVERIFY(e.waitForHolds());
        e.release();
        QVERIFY(!e.fkt.isOpacityReferencePoint(pressed));
        QCOMPARE(e.count(false), 3);
        // A hold timer left from an earlier press does nothing for a press elsewhere.
        e.press(QPointF(300, 60));
        e.view.mayAddNewOpacityReferencePoint(pressed, 0.5f);
        e.release();
        e.press(QPointF(300, 5));
        e.view.showColorPanel(pressed);
        e.release();
        QVERIFY(!e.fkt.isOpacityReferencePoint(pressed) && !e.fkt.isRGBReferencePoint(pressed));
    }

    void draggingCoversAndUncoversPoints_data() {
        QTest::addColumn<bool>("colour");
        QTest::newRow("opacity") << false;
        QTest::newRow("colour") << true;
    }

    void draggingCoversAndUncoversPoints() {
        QFETCH(bool, colour);
        Editor e;
        // The dragged point reads 255, the covered one 50 (opacity or red).
        const std::uint8_t dragged[4] = {255, 0, 0, 0}, covered[4] = {50, 0, 255, 0};
        colour ? e.fkt.addRGBReferencePointForDensity(1000, dragged)
               : e.fkt.addOpacityReferencePointForDensity(1000, 100);
        colour ? e.fkt.addRGBReferencePointForDensity(1100, covered)
               : e.fkt.addOpacityReferencePointForDensity(1100, 50);
        e.fkt.update();
        auto value = [&](int d) { return e.entry(d)[colour ? 0 : 3]; };
        const float y = colour ? 5.0f : 115.0f;  // drags at full opacity
        e.press(QPointF(Editor::pressX(1000), colour ? 5.0f : Editor::curveY(100)));
        QCOMPARE(e.selected(colour), 1000);

        e.drag(QPointF(Editor::dragX(1100), y));  // on top of the other point
        QCOMPARE(value(1100), 255);
        QCOMPARE(e.count(colour), 3);
        e.drag(QPointF(Editor::dragX(1200), y));  // moved on: the covered point comes back
        QCOMPARE(value(1100), 50);
        QCOMPARE(value(1200), 255);
        QCOMPARE(e.count(colour), 4);
        QVERIFY(colour ? !e.fkt.isRGBReferencePoint(1000) : !e.fkt.isOpacityReferencePoint(1000));
        e.drag(QPointF(Editor::dragX(1100), y));  // covered again and released there: gone
        e.release();
        QCOMPARE(e.count(colour), 3);
        QCOMPARE(value(1100), 255);
        QCOMPARE(e.selected(colour), 1100);
    }

    void endPointsOnlyMoveUpAndDown() {
        Editor e;
        const ColorTable ramp = e.fkt.table();
        e.press(QPointF(1, 5));  // the colour end points do not move
        QCOMPARE(e.view.selectedRGBReferencePoint(), 0);
        e.drag(QPointF(200, 5));
        e.release();
        QCOMPARE(e.fkt.table(), ramp);
        e.press(QPointF(398, 114));  // the opacity end points change only their height
        QCOMPARE(e.view.selectedOpacityReferencePoint(), 4095);
        e.drag(QPointF(200, 65));
        e.drag(QPointF(-100, 65));
        e.release();
        QCOMPARE(e.count(false), 2);
        QCOMPARE(e.entry(4095)[3], 7);
        QCOMPARE(e.view.selectedOpacityReferencePoint(), 4095);
    }

    void rightPressAndControlPressRemoveInnerPoints() {
        Editor e;
        e.fkt.addOpacityReferencePointForDensity(2048, 100);
        const std::uint8_t red[4] = {255, 0, 0, 0};
        e.fkt.addRGBReferencePointForDensity(1024, red);
        e.fkt.addRGBReferencePointForDensity(3072, red);
        e.fkt.update();
        e.click(QPointF(Editor::pressX(2048), 60));
        QCOMPARE(e.view.selectedOpacityReferencePoint(), 2048);
        e.rightClick(QPointF(Editor::pressX(2060), 60));
        QVERIFY(!e.fkt.isOpacityReferencePoint(2048));
        QCOMPARE(e.view.selectedOpacityReferencePoint(), -1);
        QCOMPARE(e.entry(2048)[3], 255);  // brought up to date at once
        e.click(QPointF(Editor::pressX(1024), 5), Qt::ControlModifier);
        QVERIFY(!e.view.isMouseDown());
        QVERIFY(!e.fkt.isRGBReferencePoint(1024) && e.fkt.isRGBReferencePoint(3072));

        // End points stay, though a selected one is deselected.
        e.click(QPointF(2, 100));
        QCOMPARE(e.view.selectedOpacityReferencePoint(), 0);
        e.rightClick(QPointF(2, 100));
        e.click(QPointF(2, 5), Qt::ControlModifier);
        e.rightClick(QPointF(399, 5));
        QCOMPARE(e.count(false), 2);
        QCOMPARE(e.count(true), 3);
        QCOMPARE(e.view.selectedOpacityReferencePoint(), -1);
    }

    void colourPanelRecoloursTheSelectedPoint() {
        Editor e;
        const ColorTable ramp = e.fkt.table();
        const int density = e.view.densityOfPress(150);
        e.press(QPointF(150, 5));
        QVERIFY(e.waitForHolds());
        e.release();
        QCOMPARE(e.view.selectedRGBReferencePoint(), density);
        QColorDialog* panel = TransferFktView::sharedColorPanel();
        QVERIFY(panel->isVisible() && !panel->isModal());
        // The new point keeps the colour the function had there; its neighbours change by rounding at most.
        const ColorTable added = e.fkt.table();
        for (int i = 0; i < 4 * D; ++i)
            QVERIFY(std::abs(int(added[i]) - int(ramp[i])) <= 1);
        QCOMPARE(added[4 * density], ramp[4 * density]);
        panel->setCurrentColor(QColor(200, 30, 0));
        QCOMPARE(e.entry(density), (std::array<int, 4>{200, 30, 0, 255}));
        QVERIFY(!e.fkt.needsUpdateRGB());
        // Removed by a right press: later panel changes are ignored.
        e.rightClick(QPointF(150, 5));
        QCOMPARE(e.view.selectedRGBReferencePoint(), -1);
        QCOMPARE(e.fkt.table(), ramp);
        panel->setCurrentColor(QColor(0, 255, 0));
        QCOMPARE(e.fkt.table(), ramp);
        panel->hide();
    }

    void notificationsFromWorkerThreadsRebuildOnTheGuiThread() {
        Editor e;
        testing::TempDir dir;
        const QString path = uitest::writeVolume(dir, "v.dat", 2, 1, 1, [](int, int, int) { return 2000; });
        const int bare = e.view.dataPath().elementCount();
        std::thread([&] { e.data.loadFromFileName(path.toStdString()); }).join();
        // The handler ran on the loader's thread and only queued the rebuild.
        QCOMPARE(e.view.dataPath().elementCount(), bare);
        QTRY_VERIFY(e.view.dataPath().elementCount() > bare);
        e.fkt.addOpacityReferencePointForDensity(2048, 0);
        std::thread([&] { (void)e.fkt.table(); }).join();  // runs the pending walk there
        QCOMPARE(e.view.opacityPath().elementCount(), 2);
        QTRY_COMPARE(e.view.opacityPath().elementCount(), 3);
        e.view.grab();  // and paints what it rebuilt
    }
};

QTEST_MAIN(TestTransferFktView)
#include "tst_transferfktview.moc"

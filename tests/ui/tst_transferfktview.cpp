// The transfer function editor: gestures, the colour panel, keys, point panel, readouts, undo steps.

#include "UiTestSupport.h"

using namespace qz;

// A 400 x 115 view with its own model, volume and notification centre, shown offscreen.
// Positions are in editor coordinates: origin at the lower left, y up.
struct Editor {
    Editor() {
        view.resize(400, 115);
        view.setHoldInterval(1);
        view.setHistory(&history);
        view.show();
    }
    NotificationCenter center;
    Data data{center};
    TransferFkt fkt{center};
    TransferFktHistory history{fkt};
    TransferFktView view{nullptr, fkt, data};
    TransferFktPointPanel panel{&view};

    void send(QEvent::Type type, QPointF at, Qt::MouseButton button, Qt::KeyboardModifiers modifiers = {}) {
        const QPointF local = view.editorToWidget().map(at);
        const Qt::MouseButtons held =
            type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
        QMouseEvent event(type, local, view.mapToGlobal(local),
                          type == QEvent::MouseMove ? Qt::NoButton : button, held, modifiers);
        QCoreApplication::sendEvent(&view, &event);
    }
    void press(QPointF at, bool hold = false) {
        send(QEvent::MouseButtonPress, at, Qt::LeftButton);
        QVERIFY(!hold || QTest::qWaitFor([this] { return view.pendingHoldCount() == 0; }, 2000));
    }
    void drag(QPointF at) { send(QEvent::MouseMove, at, Qt::LeftButton); }
    void release() { send(QEvent::MouseButtonRelease, QPointF(), Qt::LeftButton); }
    void stroke(QPointF from, QPointF to) { press(from), drag(to), release(); }
    void click(QPointF at, Qt::MouseButton button = Qt::LeftButton, Qt::KeyboardModifiers modifiers = {}) {
        send(QEvent::MouseButtonPress, at, button, modifiers);
        send(QEvent::MouseButtonRelease, at, button);
    }
    // x of a press on density d and of a drag landing on d; y of an opacity byte on the curve.
    static float pressX(int d) { return (float(d) + 0.5f) * 400.0f / float(kMaxDensity); }
    static float dragX(int d) { return (float(d) + 0.5f) * 400.0f / float(kMaxDensity - 1); }

    std::array<int, 4> entry(int d) {
        std::uint8_t rgba[4];
        fkt.getRGBA(rgba, d);
        return {rgba[0], rgba[1], rgba[2], rgba[3]};
    }
    int count(bool colour) const {
        int n = 0;
        for (int d = 0; d < kMaxDensity; ++d)
            n += colour ? fkt.isRGBReferencePoint(d) : fkt.isOpacityReferencePoint(d);
        return n;
    }
    int selected(bool colour) const {
        return colour ? view.selectedRGBReferencePoint() : view.selectedOpacityReferencePoint();
    }
};

class TestTransferFktView : public QObject {
    Q_OBJECT

  private slots:
    void pressDragAndEndPoints() {
        Editor e;
        const ColorTable ramp = e.fkt.table();
        // A hold at x = 100 adds its point at 1024; dragging it to x = 200 moves it to 2047, past
        // the left edge to density 10, past the right one to 4084.
        e.press(QPointF(100, 65), true);
        QVERIFY(e.fkt.isOpacityReferencePoint(1024));
        e.drag(QPointF(200, 65));
        QVERIFY(!e.fkt.isOpacityReferencePoint(1024) && e.fkt.isOpacityReferencePoint(2047));
        e.drag(QPointF(-30, 65));
        QCOMPARE(e.view.selectedOpacityReferencePoint(), 10);
        e.drag(QPointF(430, 65));
        QCOMPARE(e.view.selectedOpacityReferencePoint(), 4084);
        e.drag(QPointF(200, 65));
        e.release();
        QCOMPARE(e.count(false), 3);
        // The opacity end points change only their height; the colour end points do not move.
        e.stroke(QPointF(398, 114), QPointF(-100, 65));
        QVERIFY(e.view.selectedOpacityReferencePoint() == 4095 && e.count(false) == 3);
        QCOMPARE(e.entry(4095)[3], 7);
        e.stroke(QPointF(1, 5), QPointF(200, 5));
        QVERIFY(e.view.selectedRGBReferencePoint() == 0 && e.count(true) == 2);
        for (int d : {0, 2000, 4095})
            QCOMPARE(e.entry(d)[0], int(ramp[4 * d]));
    }

    void holdAddsByHeightUnlessMovedOrReleased() {
        Editor e;
        // Heights 1, 0.5 and 0 on the logarithmic scale; a press near a point selects it instead.
        const std::tuple<int, int, int> cases[] = {
            {600, 115, 255}, {1400, 65, 7}, {2200, 15, 0}, {2240, 40, 0}};
        for (auto [density, y, opacity] : cases) {
            e.press(QPointF(Editor::pressX(density), y), true);
            e.release();
            QCOMPARE(e.view.selectedOpacityReferencePoint(), std::min(density, 2200));
            QCOMPARE(e.entry(std::min(density, 2200))[3], opacity);
        }
        QCOMPARE(e.count(false), 5);
        const ColorTable table = e.fkt.table();
        e.click(QPointF(150, 60));  // released, or moved (nothing grabbed in the bar), before the hold
        e.press(QPointF(150, 5));
        e.drag(QPointF(151, 5));
        QVERIFY(QTest::qWaitFor([&] { return e.view.pendingHoldCount() == 0; }, 2000));
        e.release();
        QCOMPARE(e.fkt.table(), table);
        // A timer left from an earlier press does nothing for a press elsewhere.
        e.press(QPointF(300, 60));
        e.view.mayAddNewOpacityReferencePoint(1536, 0.5f);
        e.release();
        e.press(QPointF(300, 5));
        e.view.showColorPanel(1536);
        e.release();
        QVERIFY(!e.fkt.isOpacityReferencePoint(1536) && !e.fkt.isRGBReferencePoint(1536));
    }

    void draggingCoversAndUncoversPoints() {
        for (bool colour : {false, true}) {
            Editor e;
            // The dragged point reads 255 (opacity or red), the one it covers 50.
            const std::uint8_t dragged[4] = {255, 0, 0, 0}, covered[4] = {50, 0, 255, 0};
            for (auto [d, rgba] : {std::pair{1000, dragged}, {1100, covered}})
                colour ? e.fkt.addRGBReferencePointForDensity(d, rgba)
                       : e.fkt.addOpacityReferencePointForDensity(d, rgba[0]);
            e.fkt.update();
            auto value = [&](int d) { return e.entry(d)[colour ? 0 : 3]; };
            const float y = colour ? 5.0f : 115.0f;
            e.press(QPointF(Editor::pressX(1000), y));
            QCOMPARE(e.selected(colour), 1000);
            e.drag(QPointF(Editor::dragX(1100), y));  // on top of the other point
            QVERIFY(value(1100) == 255 && e.count(colour) == 3);
            e.drag(QPointF(Editor::dragX(1200), y));  // moved on: the covered point comes back
            QVERIFY(value(1100) == 50 && value(1200) == 255 && e.count(colour) == 4);
            e.drag(QPointF(Editor::dragX(1100), y));  // covered again and released there: gone
            e.release();
            QVERIFY(value(1100) == 255 && e.count(colour) == 3 && e.selected(colour) == 1100);
        }
    }

    void rightPressAndControlPressRemoveInnerPoints() {
        Editor e;
        e.fkt.addOpacityReferencePointForDensity(2048, 100);
        const std::uint8_t red[4] = {255, 0, 0, 0};
        e.fkt.addRGBReferencePointForDensity(1024, red);
        e.fkt.update();
        e.click(QPointF(Editor::pressX(2048), 60));
        e.click(QPointF(Editor::pressX(2060), 60), Qt::RightButton);
        QVERIFY(!e.fkt.isOpacityReferencePoint(2048) && e.view.selectedOpacityReferencePoint() == -1);
        QCOMPARE(e.entry(2048)[3], 255);  // brought up to date at once
        e.click(QPointF(Editor::pressX(1024), 5), Qt::LeftButton, Qt::ControlModifier);
        QVERIFY(!e.fkt.isRGBReferencePoint(1024) && !e.view.isMouseDown());
        // End points stay, though a selected one is deselected.
        e.click(QPointF(2, 100));
        QCOMPARE(e.view.selectedOpacityReferencePoint(), 0);
        e.click(QPointF(2, 100), Qt::RightButton);
        e.click(QPointF(2, 5), Qt::LeftButton, Qt::ControlModifier);
        e.click(QPointF(399, 5), Qt::RightButton);
        QVERIFY(e.count(false) == 2 && e.count(true) == 2 && e.view.selectedOpacityReferencePoint() == -1);
    }

    void colourPanelRecoloursTheSelectedPoint() {
        Editor e;
        const ColorTable ramp = e.fkt.table();
        const int density = e.view.densityOfPress(150);
        e.press(QPointF(150, 5), true);  // a hold in the bar adds a point with the colour already there
        e.release();
        QCOMPARE(e.view.selectedRGBReferencePoint(), density);
        QCOMPARE(e.fkt.table()[4 * density], ramp[4 * density]);
        QColorDialog* panel = TransferFktView::sharedColorPanel();
        QVERIFY(panel->isVisible() && !panel->isModal());
        panel->setCurrentColor(QColor(200, 30, 0));
        QCOMPARE(e.entry(density), (std::array<int, 4>{200, 30, 0, 255}));
        // Removed by a right press: later panel changes are ignored.
        e.click(QPointF(150, 5), Qt::RightButton);
        panel->setCurrentColor(QColor(0, 255, 0));
        QCOMPARE(e.fkt.table(), ramp);
        panel->hide();
    }

    void eachEditIsOneUndoStep() {
        QColorDialog* colours = TransferFktView::sharedColorPanel();
        const QPointF opacityPoint(Editor::pressX(2048), 60), colourPoint(Editor::pressX(1024), 5);
        // Each edit with what it leaves; the presses that only select make no step.
        const std::pair<std::function<void(Editor&)>, std::function<bool(Editor&)>> cases[] = {
            {[](Editor& e) { e.press(QPointF(300, 65), true), e.release(); },
             [](Editor& e) { return e.count(false) == 4 && e.view.pendingHoldCount() == 0; }},
            {[](Editor& e) { e.press(QPointF(300, 5), true), e.release(); },
             [](Editor& e) { return e.count(true) == 4; }},
            {[&](Editor& e) { e.stroke(opacityPoint, QPointF(Editor::dragX(3000), 60)); },
             [](Editor& e) {
                 return e.fkt.isOpacityReferencePoint(3000) && !e.fkt.isOpacityReferencePoint(2048);
             }},
            {[&](Editor& e) { e.click(opacityPoint, Qt::RightButton); },
             [](Editor& e) { return e.count(false) == 2; }},
            {[&](Editor& e) {
                 e.click(colourPoint), e.view.editSelectedColor(), colours->setCurrentColor(Qt::red),
                     colours->setCurrentColor(Qt::blue);
             },
             [](Editor& e) {
                 return e.entry(1024) == std::array<int, 4>{0, 0, 255, 177};
             }},
            {[&](Editor& e) { e.click(opacityPoint), e.panel.opacityBox()->setValue(17); },
             [](Editor& e) { return e.entry(2048)[3] == 17; }},
            {[&](Editor& e) { e.click(opacityPoint), e.panel.opacityDensityBox()->setValue(3000); },
             [](Editor& e) { return e.fkt.isOpacityReferencePoint(3000) && e.entry(3000)[3] == 100; }},
            {[&](Editor& e) { e.click(colourPoint), e.panel.colorDensityBox()->setValue(1500); },
             [](Editor& e) {
                 return e.fkt.isRGBReferencePoint(1500) && e.view.selectedRGBReferencePoint() == 1500;
             }},
            {[&](Editor& e) {
                 e.click(opacityPoint);
                 for (Qt::Key key : {Qt::Key_Right, Qt::Key_Right, Qt::Key_Up})
                     QTest::keyClick(&e.view, key, Qt::ShiftModifier);
             },
             [](Editor& e) { return e.fkt.isOpacityReferencePoint(2068) && e.entry(2068)[3] == 110; }},
            {[&](Editor& e) { e.click(colourPoint), QTest::keyClick(&e.view, Qt::Key_Delete); },
             [](Editor& e) { return e.count(true) == 2; }},
        };
        int index = 0;
        for (const auto& [edit, leaves] : cases) {
            Editor e;
            e.fkt.addOpacityReferencePointForDensity(2048, 100);
            e.fkt.addRGBReferencePointForDensity(1024, std::array<std::uint8_t, 4>{255, 0, 0, 0}.data());
            e.fkt.update();
            e.history.begin();
            const ColorTable before = e.fkt.table();
            edit(e);
            const ColorTable after = e.fkt.table();
            QVERIFY2(leaves(e) && after != before, qPrintable(QString::number(index++)));
            QCOMPARE(e.history.stack()->count(), 1);
            e.history.stack()->undo();
            QCOMPARE(e.fkt.table(), before);
            e.history.stack()->redo();
            QCOMPARE(e.fkt.table(), after);
        }
        colours->hide();
    }

    void pressAwayFromPointsDeselectsAndMovesNothing() {
        Editor e;
        e.fkt.addOpacityReferencePointForDensity(2048, 100);
        e.fkt.update();
        const ColorTable table = e.fkt.table();
        for (float y : {60.0f, 5.0f}) {  // opacity area, colour bar
            e.click(QPointF(Editor::pressX(y > 15 ? 2048 : 4095), y));
            QVERIFY(e.view.selectedOpacityReferencePoint() == 2048 ||
                    e.view.selectedRGBReferencePoint() == 4095);
            e.stroke(QPointF(300, y), QPointF(330, y + 20));
            QVERIFY(e.view.selectedOpacityReferencePoint() == -1 && e.view.selectedRGBReferencePoint() == -1);
            QCOMPARE(e.fkt.table(), table);
        }
        QVERIFY(!e.panel.opacityBox()->isEnabled() && !e.panel.colorButton()->isEnabled());
        // A double-click adds at once; the mouse over the editor reads out what lies under it.
        QSignalSpy readouts(&e.view, &TransferFktView::readout);
        e.send(QEvent::MouseButtonDblClick, QPointF(Editor::pressX(1000), 115), Qt::LeftButton);
        e.release();
        QVERIFY(e.fkt.isOpacityReferencePoint(1000) && e.view.pendingHoldCount() > 0);
        e.send(QEvent::MouseMove, QPointF(Editor::pressX(1000), 50), Qt::NoButton);
        QCOMPARE(readouts.last().at(0).toString(), "Density 1000    Count 0    RGBA 62 62 62 255");
    }
};

QTEST_MAIN(TestTransferFktView)
#include "tst_transferfktview.moc"

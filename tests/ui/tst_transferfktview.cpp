#include <QColorDialog>
#include <QImage>
#include <QMouseEvent>
#include <QPainterPath>
#include <QTemporaryDir>
#include <QtTest>
#include <array>
#include <thread>
#include <vector>

#include "UiTestSupport.h"
#include "ui/TransferFktView.h"

using namespace qz;

namespace {

constexpr int D = kMaxDensity;

// A view with its own model, volume and notification centre, shown offscreen.
struct Editor {
    explicit Editor(int width, int height = 115) {
        view.resize(width, height);
        view.setHoldInterval(1);
        view.show();
    }
    NotificationCenter center;
    Data data{center};
    TransferFkt fkt{center};
    TransferFktView view{nullptr, fkt, data};

    // Mouse events at editor positions (origin lower left, y up).
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
    void release(QPointF at) { send(QEvent::MouseButtonRelease, at, Qt::LeftButton, Qt::NoButton); }
    void rightPress(QPointF at) {
        send(QEvent::MouseButtonPress, at, Qt::RightButton, Qt::RightButton);
        send(QEvent::MouseButtonRelease, at, Qt::RightButton, Qt::NoButton);
    }
    // Lets every hold timer started so far fire.
    bool waitForHolds() {
        for (int i = 0; i < 500 && view.pendingHoldCount() > 0; ++i)
            QTest::qWait(2);
        return view.pendingHoldCount() == 0;
    }

    // x of a press on density d, and of a drag position landing on density d.
    float pressX(int d) const { return (float(d) + 0.5f) * float(view.width()) / float(D); }
    float dragX(int d) const { return (float(d) + 0.5f) * float(view.width()) / float(D - 1); }
    // y of an opacity byte on the curve.
    float curveY(int alpha) const {
        return linToLog(float(alpha) / 255.0f) * float(view.height() - 15) + 15.0f;
    }

    std::array<int, 4> entry(int d) {
        std::uint8_t rgba[4];
        fkt.getRGBA(rgba, d);
        return {rgba[0], rgba[1], rgba[2], rgba[3]};
    }
    int opacityPointCount() const {
        int n = 0;
        for (int d = 0; d < D; ++d)
            n += fkt.isOpacityReferencePoint(d);
        return n;
    }
    int colorPointCount() const {
        int n = 0;
        for (int d = 0; d < D; ++d)
            n += fkt.isRGBReferencePoint(d);
        return n;
    }

    // The rendered pixel that holds the editor point (x, y).
    QColor pixel(const QImage& image, double x, double y) const {
        const QPointF p = view.editorToWidget().map(QPointF(x, y));
        return image.pixelColor(int(std::floor(p.x())), int(std::floor(p.y())));
    }
};

// The given samples as an n x 1 x 1 volume file.
QString writeVolume(const QTemporaryDir& dir, const std::vector<int>& samples) {
    return uitest::writeVolume(dir.filePath("histogram.dat"), int(samples.size()), 1, 1,
                               [&samples](int x, int, int) { return samples[std::size_t(x)]; });
}

std::vector<QPointF> points(const QPainterPath& path) {
    std::vector<QPointF> out;
    for (int i = 0; i < path.elementCount(); ++i)
        out.emplace_back(path.elementAt(i).x, path.elementAt(i).y);
    return out;
}

bool near(QColor a, QColor b, int tolerance = 1) {
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

}  // namespace

class TestTransferFktView : public QObject {
    Q_OBJECT

  private slots:
    void scaleMappings() {
        QCOMPARE(linToLog(0.0f), 0.0f);
        QCOMPARE(linToLog(1.0f), 1.0f);
        QCOMPARE(logToLin(0.0f), 0.0f);
        QCOMPARE(logToLin(1.0f), 1.0f);
        // Heights are log10(999 v + 1) / 3 of the value, and the two directions undo each other.
        std::vector<float> values = {0.001f, 0.01f};
        for (float v = 0.0f; v <= 1.0f; v += 0.0625f)
            values.push_back(v);
        for (float v : values) {
            QVERIFY2(std::abs(linToLog(v) - std::log10(999.0f * v + 1.0f) / 3.0f) < 1e-5f,
                     qPrintable(QString::number(v)));
            QVERIFY2(std::abs(logToLin(linToLog(v)) - v) < 1e-5f, qPrintable(QString::number(v)));
        }
    }

    void shadingReadsTheTableAsItStands() {
        NotificationCenter center;
        TransferFkt fkt(center);
        const ColorTable table = fkt.tableAsIs();
        float out[4];
        const float one = 1.0f;
        calculateShadingValues(table.data(), &one, out);
        QCOMPARE(out[0], 1.0f);  // t = 1 is density D - 1, not past the table
        QCOMPARE(out[3], 1.0f);
        const float half = 0.5f;
        calculateShadingValues(table.data(), &half, out);
        QCOMPARE(out[1], float(table[4 * 2048 + 1] * 0.00392156862745098));
    }

    void histogramColumnsOfA300PointView() {
        Editor editor(300, 115);
        const QPainterPath bare = editor.view.dataPath();
        QCOMPARE(points(bare).size(), size_t(5));  // (0,0) (0,15) (300,15) (300,0) and the closing line

        // Histogram 1 at density 100, 0.5 at 20, 490, 3999 and 4000, 0.25 at 480.
        QTemporaryDir dir;
        const std::vector<int> samples = {100, 100, 100, 100, 20, 20, 480, 490, 490, 3999, 3999, 4000, 4000};
        editor.data.loadFromFileName(writeVolume(dir, samples).toStdString());
        QVERIFY(editor.data.hasData());
        const std::vector<QPointF> p = points(editor.view.dataPath());
        QCOMPARE(p[0], QPointF(0, 0));
        QCOMPARE(p[1], QPointF(0, 15));
        // 100 columns of 40 densities at x = 0, 3c + 1 and, for the last, W. Each column climbs to
        // its maximum (the path keeps one of each run of equal points).
        const float quarter = linToLog(0.25f) * 100.0f + 15.0f;
        const float half = linToLog(0.5f) * 100.0f + 15.0f;
        QVERIFY(std::abs(half - 104.98f) < 0.005f);
        const std::vector<QPointF> expected = {{0, half}, {7, 115}, {37, quarter}, {37, half}, {300, half}};
        const std::vector<QPointF> columns(p.begin() + 2, p.end() - 3);
        QCOMPARE(columns.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            QCOMPARE(columns[i].x(), expected[i].x());
            QVERIFY2(std::abs(columns[i].y() - expected[i].y()) < 1e-3,
                     qPrintable(QString("%1: %2 %3").arg(i).arg(columns[i].y()).arg(expected[i].y())));
        }
        // Densities 4000 .. 4095 are not shown: nothing after the last column's point.
        QCOMPARE(p[p.size() - 3], QPointF(300, 15));
        QCOMPARE(p[p.size() - 2], QPointF(300, 0));
    }

    void newModelsOpacityLineAndMarkers() {
        Editor editor(300, 115);
        const std::vector<QPointF> line = points(editor.view.opacityPath());
        QCOMPARE(line.size(), size_t(2));
        QCOMPARE(line[0], QPointF(0, 115));
        QCOMPARE(line[1], QPointF(4095.0f * (300.0f / 4096.0f), 115));

        const QImage image = editor.view.grab().toImage();
        // Colour markers at both ends: black triangle at the left, white at the right.
        QCOMPARE(editor.pixel(image, 1.5, 3.5), QColor(Qt::black));
        QCOMPARE(editor.pixel(image, 298.5, 3.5), QColor(Qt::white));
        // Opacity markers at both ends of the top edge, a grey ring about a black centre.
        QCOMPARE(editor.pixel(image, 0.5, 114.5), QColor(Qt::black));
        QVERIFY(near(editor.pixel(image, 2.5, 112.5), QColor(191, 191, 191), 40));
    }

    void resizeRebuildsBothPaths() {
        Editor editor(300, 115);
        editor.view.resize(600, 200);
        QCOMPARE(points(editor.view.opacityPath())[1], QPointF(4095.0f * (600.0f / 4096.0f), 200));
        QCOMPARE(points(editor.view.dataPath())[2], QPointF(600, 15));
    }

    void paintedColourBarAndHistogram() {
        Editor editor(400, 115);
        QTemporaryDir dir;
        std::vector<int> samples(10, 2000);
        samples.push_back(3000);
        editor.data.loadFromFileName(writeVolume(dir, samples).toStdString());
        // A transparent window over 3550 .. 3700, opaque elsewhere.
        editor.fkt.addOpacityReferencePointForDensity(3500, 255);
        editor.fkt.addOpacityReferencePointForDensity(3550, 0);
        editor.fkt.addOpacityReferencePointForDensity(3700, 0);
        editor.fkt.addOpacityReferencePointForDensity(3750, 255);
        editor.fkt.update();
        const QImage image = editor.view.grab().toImage();
        const QColor background = editor.view.palette().color(QPalette::Window);
        const ColorTable table = editor.fkt.table();
        auto tableColor = [&](double x) {
            const int d = int(float(x / 400.0) * 4096.0f);
            return QColor(table[4 * d], table[4 * d + 1], table[4 * d + 2]);
        };

        // The colour bar shows the table's colour of the density under each column.
        for (double x : {50.5, 120.5, 200.5, 333.5}) {
            QVERIFY2(near(editor.pixel(image, x, 7.5), tableColor(x)), qPrintable(QString::number(x)));
        }
        // Where the opacity is 0 the background shows through.
        QVERIFY(near(editor.pixel(image, 355.5, 7.5), background));
        // The histogram peak of density 2000 (133 columns of 30 densities: column 66 at x = 199)
        // reaches the top edge; the silhouette below it is filled, the space beside it is not.
        QVERIFY(points(editor.view.dataPath()).at(2) == QPointF(199, 115));
        QVERIFY(near(editor.pixel(image, 198.5, 110.5), tableColor(198.5)));
        QVERIFY(near(editor.pixel(image, 190.5, 100.5), tableColor(190.5)));
        QVERIFY(near(editor.pixel(image, 60.5, 100.5), background));
        // The border between colour bar and histogram is the light grey outline.
        QVERIFY(near(editor.pixel(image, 100.5, 15.5), QColor(191, 191, 191), 2));
    }

    void selectedMarkerIsDarkAndOnTop() {
        Editor editor(400, 115);
        editor.fkt.addOpacityReferencePointForDensity(2048, 128);
        editor.fkt.addOpacityReferencePointForDensity(2058, 128);  // overlaps the first marker
        editor.fkt.update();
        const double y = editor.curveY(128);
        QImage image = editor.view.grab().toImage();
        // The ring left of 2048 is light grey; right of it the later marker 2058 covers it in black.
        QVERIFY(near(editor.pixel(image, 196.5, y), QColor(191, 191, 191), 12));
        QVERIFY(near(editor.pixel(image, 202.5, y), QColor(0, 0, 0), 40));

        editor.press(QPointF(editor.pressX(2048), y));
        editor.release(QPointF(editor.pressX(2048), y));
        QCOMPARE(editor.view.selectedOpacityReferencePoint(), 2048);
        image = editor.view.grab().toImage();
        QVERIFY(near(editor.pixel(image, 196.5, y), QColor(77, 77, 77), 12));
        // Drawn last: its dark ring covers the neighbour's black centre.
        QVERIFY(near(editor.pixel(image, 202.5, y), QColor(77, 77, 77), 12));
    }

    void pressAndDragDensities() {
        Editor editor(400, 115);
        QCOMPARE(editor.view.densityOfPress(100.0f), 1024);
        QCOMPARE(editor.view.densityOfDrag(200.0f), 2047);
        for (float x : {1.0f, 0.5f, 0.0f, -80.0f})
            QCOMPARE(editor.view.densityOfDrag(x), 10);
        for (float x : {399.0f, 399.9f, 400.0f, 900.0f})
            QCOMPARE(editor.view.densityOfDrag(x), 4084);

        // Through events: a hold at x = 100 adds its point at 1024; dragging it to x = 200 moves it to 2047.
        editor.press(QPointF(100, 65));
        QVERIFY(editor.waitForHolds());
        QVERIFY(editor.fkt.isOpacityReferencePoint(1024));
        editor.drag(QPointF(200, 65));
        editor.release(QPointF(200, 65));
        QVERIFY(!editor.fkt.isOpacityReferencePoint(1024));
        QVERIFY(editor.fkt.isOpacityReferencePoint(2047));
        QCOMPARE(editor.view.selectedOpacityReferencePoint(), 2047);
        // Dragged past the left edge it stops at density 10, past the right one at 4084.
        editor.press(QPointF(200, 65));
        editor.drag(QPointF(-30, 65));
        QCOMPARE(editor.view.selectedOpacityReferencePoint(), 10);
        editor.drag(QPointF(430, 65));
        editor.release(QPointF(430, 65));
        QCOMPARE(editor.view.selectedOpacityReferencePoint(), 4084);
        QCOMPARE(editor.opacityPointCount(), 3);
    }

    void hitTolerance() {
        Editor editor(400, 115);
        editor.fkt.addOpacityReferencePointForDensity(2048, 100);
        auto hit = [&](int d) {
            return editor.view.nextReferencePointForDensity(d, TransferFktView::kHistogramArea);
        };
        QCOMPARE(hit(2048), 2048);
        QCOMPARE(hit(2048 + 50), 2048);
        QCOMPARE(hit(2048 - 50), 2048);
        QCOMPARE(hit(2048 + 51), -1);
        QCOMPARE(hit(2048 - 51), -1);
        QCOMPARE(editor.view.nextReferencePointForDensity(2048, TransferFktView::kColorBarArea), -1);
        QCOMPARE(hit(30), 0);  // an end point is found like any other
        // Points on both sides: the nearer wins, the lower on a tie.
        editor.fkt.addOpacityReferencePointForDensity(2108, 100);
        QCOMPARE(hit(2078), 2048);
        QCOMPARE(hit(2079), 2108);
        QCOMPARE(hit(2077), 2048);

        // A press near a point selects it; a press far from every point keeps the selection.
        editor.press(QPointF(editor.pressX(2048 - 40), 60));
        editor.release(QPointF(editor.pressX(2048 - 40), 60));
        QCOMPARE(editor.view.selectedOpacityReferencePoint(), 2048);
        editor.press(QPointF(editor.pressX(1000), 60));
        editor.release(QPointF(editor.pressX(1000), 60));
        QVERIFY(editor.waitForHolds());
        QCOMPARE(editor.view.selectedOpacityReferencePoint(), 2048);
        QVERIFY(!editor.fkt.isOpacityReferencePoint(1000));  // released before the hold
    }

    void holdAddsOpacityByHeight() {
        Editor editor(400, 115);
        const std::pair<int, int> cases[] = {{115, 255}, {90, 45}, {65, 7}, {15, 0}};  // h = 1, 0.75, 0.5, 0
        int density = 600;
        for (auto [y, opacity] : cases) {
            editor.press(QPointF(editor.pressX(density), y));
            QVERIFY(editor.waitForHolds());
            editor.release(QPointF(editor.pressX(density), y));
            QVERIFY(editor.fkt.isOpacityReferencePoint(density));
            QCOMPARE(editor.entry(density)[3], opacity);
            QCOMPARE(editor.view.selectedOpacityReferencePoint(), density);
            density += 800;
        }
        QCOMPARE(editor.opacityPointCount(), 6);
    }

    void holdCancelledByDragOrRelease() {
        Editor editor(400, 115);
        const ColorTable ramp = editor.fkt.table();
        // Released before the second.
        editor.press(QPointF(150, 60));
        editor.release(QPointF(150, 60));
        QVERIFY(editor.waitForHolds());
        QCOMPARE(editor.opacityPointCount(), 2);
        editor.press(QPointF(150, 5));
        editor.release(QPointF(150, 5));
        QVERIFY(editor.waitForHolds());
        QCOMPARE(editor.colorPointCount(), 2);

        // Moved before the second: in the colour bar nothing is grabbed, so nothing changes.
        editor.press(QPointF(150, 5));
        editor.drag(QPointF(151, 5));
        QVERIFY(editor.waitForHolds());
        editor.release(QPointF(151, 5));
        QCOMPARE(editor.colorPointCount(), 2);
        QCOMPARE(editor.fkt.table(), ramp);
        // In the histogram the drag makes a point under the pointer, but the hold adds none at the press.
        const int pressed = editor.view.densityOfPress(150);
        editor.press(QPointF(150, 60));
        editor.drag(QPointF(250, 60));
        QVERIFY(editor.waitForHolds());
        editor.release(QPointF(250, 60));
        QVERIFY(!editor.fkt.isOpacityReferencePoint(pressed));
        QCOMPARE(editor.opacityPointCount(), 3);
        QVERIFY(editor.fkt.isOpacityReferencePoint(editor.view.densityOfDrag(250)));

        // A hold timer left from an earlier press does nothing for a press elsewhere.
        editor.view.setHoldInterval(60000);
        editor.press(QPointF(300, 60));
        editor.view.mayAddNewOpacityReferencePoint(pressed, 0.5f);
        QVERIFY(!editor.fkt.isOpacityReferencePoint(pressed));
        editor.release(QPointF(300, 60));
        editor.press(QPointF(300, 5));
        editor.view.showColorPanel(pressed);
        QVERIFY(!editor.fkt.isRGBReferencePoint(pressed));
        QCOMPARE(editor.view.selectedRGBReferencePoint(), -1);
        editor.release(QPointF(300, 5));
    }

    void draggingCoversAndUncoversOpacityPoints() {
        Editor editor(400, 115);
        editor.fkt.addOpacityReferencePointForDensity(1000, 100);
        editor.fkt.addOpacityReferencePointForDensity(1100, 50);
        editor.fkt.update();
        const float y = editor.curveY(100);
        editor.press(QPointF(editor.pressX(1000), y));
        QCOMPARE(editor.view.selectedOpacityReferencePoint(), 1000);

        editor.drag(QPointF(editor.dragX(1100), 115));  // on top of the other point, at full opacity
        QCOMPARE(editor.entry(1100)[3], 255);
        QVERIFY(!editor.fkt.isOpacityReferencePoint(1000));
        QCOMPARE(editor.opacityPointCount(), 3);
        editor.drag(QPointF(editor.dragX(1200), 115));  // moved on: the covered point comes back
        QCOMPARE(editor.entry(1100)[3], 50);
        QCOMPARE(editor.entry(1200)[3], 255);
        QCOMPARE(editor.opacityPointCount(), 4);
        editor.drag(QPointF(editor.dragX(1100), 115));  // covered again and released there: gone
        editor.release(QPointF(editor.dragX(1100), 115));
        QCOMPARE(editor.opacityPointCount(), 3);
        QCOMPARE(editor.entry(1100)[3], 255);
        QCOMPARE(editor.view.selectedOpacityReferencePoint(), 1100);
    }

    void draggingCoversAndUncoversColourPoints() {
        Editor editor(400, 115);
        const std::uint8_t red[4] = {255, 0, 0, 0}, blue[4] = {0, 0, 255, 0};
        editor.fkt.addRGBReferencePointForDensity(1000, red);
        editor.fkt.addRGBReferencePointForDensity(1100, blue);
        editor.fkt.update();
        editor.press(QPointF(editor.pressX(1000), 5));
        QCOMPARE(editor.view.selectedRGBReferencePoint(), 1000);
        // The press sets the panel to the point's colour without recolouring anything.
        QCOMPARE(TransferFktView::sharedColorPanel()->currentColor().toRgb(), QColor(255, 0, 0));
        QCOMPARE(editor.entry(1000)[0], 255);

        editor.drag(QPointF(editor.dragX(1100), 5));
        QCOMPARE(editor.entry(1100)[0], 255);
        QCOMPARE(editor.colorPointCount(), 3);
        editor.drag(QPointF(editor.dragX(1150), 5));
        QCOMPARE(editor.entry(1100)[2], 255);  // blue again
        QCOMPARE(editor.entry(1150)[0], 255);
        QVERIFY(!editor.fkt.isRGBReferencePoint(1000));
        editor.drag(QPointF(editor.dragX(1100), 5));
        editor.release(QPointF(editor.dragX(1100), 5));
        QCOMPARE(editor.colorPointCount(), 3);
        QCOMPARE(editor.entry(1100)[0], 255);
        QCOMPARE(editor.view.selectedRGBReferencePoint(), 1100);
    }

    void endPointsOnlyMoveUpAndDown() {
        Editor editor(400, 115);
        const ColorTable ramp = editor.fkt.table();
        // The colour end points do not move.
        editor.press(QPointF(1, 5));
        QCOMPARE(editor.view.selectedRGBReferencePoint(), 0);
        editor.drag(QPointF(200, 5));
        editor.release(QPointF(200, 5));
        QCOMPARE(editor.fkt.table(), ramp);
        QCOMPARE(editor.colorPointCount(), 2);

        // The opacity end points change only their height.
        editor.press(QPointF(398, 114));
        QCOMPARE(editor.view.selectedOpacityReferencePoint(), 4095);
        editor.drag(QPointF(200, 65));
        editor.drag(QPointF(-100, 65));
        editor.release(QPointF(-100, 65));
        QCOMPARE(editor.opacityPointCount(), 2);
        QCOMPARE(editor.entry(4095)[3], 7);
        QCOMPARE(editor.view.selectedOpacityReferencePoint(), 4095);
    }

    void rightPressAndControlPressRemoveInnerPoints() {
        Editor editor(400, 115);
        editor.fkt.addOpacityReferencePointForDensity(2048, 100);
        const std::uint8_t red[4] = {255, 0, 0, 0};
        editor.fkt.addRGBReferencePointForDensity(1024, red);
        editor.fkt.addRGBReferencePointForDensity(3072, red);
        editor.fkt.update();
        editor.press(QPointF(editor.pressX(2048), 60));
        editor.release(QPointF(editor.pressX(2048), 60));
        QCOMPARE(editor.view.selectedOpacityReferencePoint(), 2048);

        editor.rightPress(QPointF(editor.pressX(2060), 60));
        QVERIFY(!editor.fkt.isOpacityReferencePoint(2048));
        QCOMPARE(editor.view.selectedOpacityReferencePoint(), -1);
        QCOMPARE(editor.entry(2048)[3], 255);  // brought up to date at once

        editor.press(QPointF(editor.pressX(1024), 5), Qt::ControlModifier);
        QVERIFY(!editor.view.isMouseDown());
        editor.release(QPointF(editor.pressX(1024), 5));
        QVERIFY(!editor.fkt.isRGBReferencePoint(1024));
        QVERIFY(editor.fkt.isRGBReferencePoint(3072));

        // End points stay, though a selected one is deselected.
        editor.press(QPointF(2, 100));
        editor.release(QPointF(2, 100));
        QCOMPARE(editor.view.selectedOpacityReferencePoint(), 0);
        editor.rightPress(QPointF(2, 100));
        editor.press(QPointF(2, 5), Qt::ControlModifier);
        editor.release(QPointF(2, 5));
        editor.rightPress(QPointF(399, 5));
        QVERIFY(editor.fkt.isOpacityReferencePoint(0));
        QVERIFY(editor.fkt.isRGBReferencePoint(0) && editor.fkt.isRGBReferencePoint(4095));
        QCOMPARE(editor.view.selectedOpacityReferencePoint(), -1);
    }

    void colourPanelRecoloursTheSelectedPoint() {
        Editor editor(400, 115);
        const ColorTable ramp = editor.fkt.table();
        const int density = editor.view.densityOfPress(150);
        editor.press(QPointF(150, 5));
        QVERIFY(editor.waitForHolds());
        editor.release(QPointF(150, 5));
        QVERIFY(editor.fkt.isRGBReferencePoint(density));
        QCOMPARE(editor.view.selectedRGBReferencePoint(), density);
        QColorDialog* panel = TransferFktView::sharedColorPanel();
        QVERIFY(panel->isVisible());
        QVERIFY(!panel->isModal());
        // The new point keeps the colour the function had there; its neighbours change by rounding at most.
        const ColorTable added = editor.fkt.table();
        for (int i = 0; i < 4 * D; ++i)
            QVERIFY(std::abs(int(added[i]) - int(ramp[i])) <= 1);
        QCOMPARE(added[4 * density], ramp[4 * density]);

        panel->setCurrentColor(QColor(200, 30, 0));
        QCOMPARE(editor.entry(density), (std::array<int, 4>{200, 30, 0, 255}));
        QVERIFY(!editor.fkt.needsUpdateRGB());
        panel->setCurrentColor(QColor(0, 0, 255));
        QCOMPARE(editor.entry(density), (std::array<int, 4>{0, 0, 255, 255}));

        // Removed by a right press: later panel changes are ignored.
        editor.rightPress(QPointF(150, 5));
        QCOMPARE(editor.view.selectedRGBReferencePoint(), -1);
        const ColorTable removed = editor.fkt.table();
        QCOMPARE(removed, ramp);
        panel->setCurrentColor(QColor(0, 255, 0));
        QCOMPARE(editor.fkt.table(), removed);
        QCOMPARE(editor.colorPointCount(), 2);
        panel->hide();
    }

    void notificationsFromWorkerThreadsRebuildOnTheGuiThread() {
        Editor editor(300, 115);
        QTemporaryDir dir;
        const std::string path = writeVolume(dir, {2000, 2000}).toStdString();
        std::thread loader([&] { editor.data.loadFromFileName(path); });
        loader.join();
        // The handler ran on the loader's thread and only queued the rebuild.
        QCOMPARE(points(editor.view.dataPath()).size(), size_t(5));
        QTRY_VERIFY(points(editor.view.dataPath()).size() > 5);

        editor.fkt.addOpacityReferencePointForDensity(2048, 0);
        std::thread renderer([&] { (void)editor.fkt.table(); });  // runs the pending walk there
        renderer.join();
        QCOMPARE(points(editor.view.opacityPath()).size(), size_t(2));
        QTRY_COMPARE(points(editor.view.opacityPath()).size(), size_t(3));
    }
};

QTEST_MAIN(TestTransferFktView)
#include "tst_transferfktview.moc"

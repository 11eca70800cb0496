// The preview: renders on notifications from worker threads, the refinement cycle, the trackball.

#include <future>

#include "UiTestSupport.h"
#include "render/Matrix.h"
#include "ui/Trackball.h"

using namespace qz;

// Square images of its resolution, the first bytes telling its quality, shading and orientation's
// y angle (in hundredths); counts its renders. Its copies (the refinements) render only once
// copyGate is open.
struct SquareRenderer : Renderer {
    explicit SquareRenderer(std::shared_future<void> copyGate = {}, std::shared_future<void> gate = {})
        : copyGate(copyGate), gate(gate) {}
    std::unique_ptr<Renderer> createSameClass() const override {
        return std::make_unique<SquareRenderer>(std::shared_future<void>(), copyGate);
    }
    std::shared_ptr<const RgbaImage> updateImageRef() override {
        if (gate.valid())
            gate.wait();
        ++renders;
        const int side = maxImageResolution();
        auto image = std::make_shared<RgbaImage>();
        image->width = image->height = side;
        image->pixels.assign(4 * side * side, 255);
        const std::uint8_t code[3] = {std::uint8_t(quality()), std::uint8_t(doShading()),
                                      std::uint8_t(std::lround(orientation().y * 100))};
        std::copy(code, code + 3, image->pixels.begin());
        return image;
    }
    std::shared_future<void> copyGate, gate;
    std::atomic<int> renders{0};
};

bool near(_Vector a, _Vector b) {
    return std::fabs(a.x - b.x) < 1e-5f && std::fabs(a.y - b.y) < 1e-5f && std::fabs(a.z - b.z) < 1e-5f;
}

class TestPreviewView : public QObject {
    Q_OBJECT

  private slots:
    void notificationsMarkStaleOnGuiThread() {
        for (const char* name : {kNewDataAvailable, kTransferFktChanged}) {
            NotificationCenter center;
            SquareRenderer renderer;
            auto* view = new PreviewView(nullptr, center);
            view->setPreviewSize(PreviewView::Size::Classic);
            view->setRenderer(&renderer);
            view->show();
            QVERIFY(QTest::qWaitForWindowExposed(view));
            QTRY_COMPARE(renderer.renders.load(), 1);  // rendered inside the paint, once per change
            // Posted on a worker thread: the view is touched only by the queued call.
            std::thread([&] { center.post(name); }).join();
            QVERIFY(!renderer.needsUpdateImage());
            QTRY_COMPARE(renderer.renders.load(), 2);
            // A delivery still queued when the view goes is dropped; a gone view observes nothing.
            std::thread([&] { center.post(name); }).join();
            delete view;
            QTest::qWait(20);
            center.post(name);
            QVERIFY(!renderer.needsUpdateImage());
        }
    }

    // Drag: the drag resolution, scaled. Stop: the view's size at quality 1 with the chosen
    // shading. A move while a refinement renders abandons it; the next one shows the new view.
    void refinementCycle() {
        std::promise<void> open;
        SquareRenderer renderer(open.get_future().share());
        PreviewView view(nullptr, Data::sharedInstance().notificationCenter());
        view.resize(300, 200);
        view.setRefinedShading(true);
        view.setRenderer(&renderer);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        uitest::pressAndDrag(&view, QPointF(50, 50), QPointF(90, 50));
        view.grab();
        QVERIFY(!view.isRefined() && view.shownImage()->width == renderer.maxImageResolution());
        QTRY_VERIFY(view.isRefining());  // waits at the gate
        uitest::dragTo(&view, QPointF(120, 50));
        const int turned = int(std::lround(view.orientation().y * 100));
        QTest::qWait(2 * PreviewView::kRefineDelayMs);
        open.set_value();
        QTRY_VERIFY(view.isRefined());
        const std::vector<std::uint8_t>& refined = view.shownImage()->pixels;
        QCOMPARE(view.shownImage()->width, 200);
        QVERIFY(refined[0] == 1 && refined[1] == 1 && refined[2] == turned);
        QTRY_VERIFY(!view.isRefining());
        // Classic: 100 pixels, no refinement.
        view.setPreviewSize(PreviewView::Size::Classic);
        uitest::dragTo(&view, QPointF(60, 50));
        view.grab();
        QTest::qWait(2 * PreviewView::kRefineDelayMs);
        QVERIFY(!view.isRefining() && !view.isRefined() && view.shownImage()->width == 100);
    }

    void trackballFollowsTheRenderersAngles() {
        const float pi = std::numbers::pi_v<float>;
        const _Vector angles[] = {
            {0, 0, 0}, {0.5f, 0.7f, 0.2f}, {-3, 1.2f, 2.9f}, {1, -1.5f, -2}, {0.3f, pi / 2, 0}};
        for (const _Vector& a : angles) {
            const trackball::Rotation r = trackball::rotationForAngles(a);
            const _Matrix m = MatrixRotate(MakeMatrix(), a);
            for (int i = 0; i < 9; ++i)
                QVERIFY(std::fabs(r[i] - m.m[4 * (i / 3) + i % 3]) < 1e-6);
            QVERIFY(near(trackball::anglesForRotation(r), a));
        }
        // Angles beyond the canonical ranges come back as other angles of the same rotation.
        const trackball::Rotation wound = trackball::rotationForAngles(MakeVector(7.0f, -9.5f, 13.1f));
        const trackball::Rotation back = trackball::rotationForAngles(trackball::anglesForRotation(wound));
        for (int i = 0; i < 9; ++i)
            QVERIFY(std::fabs(back[i] - wound[i]) < 1e-6);
    }

    void dragTurnsAboutScreenAxes() {
        SquareRenderer renderer;
        PreviewView view;
        view.setPreviewSize(PreviewView::Size::Classic);
        view.setRenderer(&renderer);
        // Tilted by 90 degrees, then dragged sideways: the screen's vertical axis keeps its volume
        // direction and the view direction turns by the drag's angle (no roll).
        const double quarter = 10 * std::numbers::pi * std::numbers::pi;
        uitest::pressAndDrag(&view, QPointF(100, 150), QPointF(100, 150 - quarter));
        QVERIFY(near(view.orientation(), MakeVector(std::numbers::pi_v<float> / 2, 0, 0)));
        const trackball::Rotation tilted = view.rotation();
        uitest::pressAndDrag(&view, QPointF(100, 100), QPointF(140, 100));
        const trackball::Rotation r = view.rotation();
        QVERIFY(near(MakeVector(r[1], r[4], r[7]), MakeVector(tilted[1], tilted[4], tilted[7])));
        QVERIFY(std::fabs(r[2] * tilted[2] + r[5] * tilted[5] + r[8] * tilted[8] -
                          std::cos(trackball::angleForTravel(40))) < 1e-12);
        QVERIFY(near(renderer.orientation(), view.orientation()));
        // The whole travel since the press counts, never a sum of steps.
        uitest::dragTo(&view, QPointF(163, 20));
        uitest::dragTo(&view, QPointF(140, 100));
        const trackball::Rotation again = view.rotation();
        for (int i = 0; i < 9; ++i)
            QVERIFY(std::fabs(again[i] - r[i]) < 1e-12);
        // The standard views; a new renderer takes the view's rotation.
        view.setOrientation(MainWindow::kStandardViews[2]);
        SquareRenderer other;
        view.setRenderer(&other);
        QVERIFY(near(other.orientation(), MakeVector(0, std::numbers::pi_v<float> / 2, 0)));
    }
};

QTEST_MAIN(TestPreviewView)
#include "tst_previewview.moc"

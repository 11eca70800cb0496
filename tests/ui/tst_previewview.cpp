// The preview: rendering on notifications from worker threads, and rotation by dragging.

#include "UiTestSupport.h"

using namespace qz;

// A renderer with a fixed image that counts its renders.
struct CountingRenderer : Renderer {
    CountingRenderer() { width_ = height_ = 60; }
    std::shared_ptr<const RgbaImage> updateImageRef() override {
        ++renders;
        auto image = std::make_shared<RgbaImage>();
        image->width = image->height = 60;
        image->pixels.assign(4 * 60 * 60, 255);
        return image;
    }
    std::atomic<int> renders{0};
};

bool same(_Vector a, _Vector b) {
    return a.x == b.x && a.y == b.y && a.z == b.z;
}

class TestPreviewView : public QObject {
    Q_OBJECT

  private slots:
    void notificationsMarkStaleOnGuiThread() {
        for (const char* name : {kNewDataAvailable, kTransferFktChanged}) {
            NotificationCenter center;
            CountingRenderer renderer;
            auto* view = new PreviewView(nullptr, center);
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

    void dragRotation() {
        const float ten = 0.15915494f;  // ((10 * 0.5) / pi) * 0.1
        const std::tuple<QPointF, float, float> cases[] = {
            {{50, 50}, 0, 0}, {{60, 50}, 0, ten}, {{50, 40}, ten, 0}, {{40, 60}, -ten, -ten}};
        for (const auto& [to, x, y] : cases) {
            CountingRenderer renderer;
            PreviewView view;
            view.resize(120, 120);
            view.setRenderer(&renderer);
            uitest::pressAndDrag(&view, QPointF(50, 50), to);
            QVERIFY(qAbs(view.orientation().x - x) < 1e-6f && qAbs(view.orientation().y - y) < 1e-6f);
            QCOMPARE(view.orientation().z, 0.0f);
            QVERIFY(same(renderer.orientation(), view.orientation()));
        }
    }

    void dragIsPathIndependentAndSurvivesRendererChange() {
        CountingRenderer first, second;
        second.setOrientation(MakeVector(1.0f, 2.0f, 3.0f));
        PreviewView view;
        view.resize(200, 200);
        view.grab();  // without a renderer the view draws nothing
        view.setRenderer(&first);
        uitest::pressAndDrag(&view, QPointF(10, 10), QPointF(47, 3));  // a non-zero reference
        const _Vector start = view.orientation();
        // The whole travel since the press counts, never a sum of steps.
        uitest::pressAndDrag(&view, QPointF(100, 100), QPointF(173, 20));
        uitest::dragTo(&view, QPointF(130, 151));
        QVERIFY(same(view.orientation(), PreviewView::orientationForDrag(start, 30.0f, -51.0f)));
        uitest::dragTo(&view, QPointF(100, 100));
        QVERIFY(same(view.orientation(), start));
        QVERIFY(first.needsUpdateImage());
        // A new renderer takes the view's orientation with the next drag; the view's is not reset.
        view.setRenderer(&second);
        uitest::pressAndDrag(&view, QPointF(50, 50), QPointF(50, 40));
        QVERIFY(same(second.orientation(), PreviewView::orientationForDrag(start, 0.0f, 10.0f)));
    }
};

QTEST_MAIN(TestPreviewView)
#include "tst_previewview.moc"

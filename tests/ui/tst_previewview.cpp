// The preview: lazy rendering in the paint, the image at the lower-left, queued notifications and
// rotation by dragging.
#include <QtTest>

#include <atomic>
#include <thread>

#include "platform/NotificationCenter.h"
#include "render/Renderer.h"
#include "ui/PreviewView.h"

using namespace qz;

namespace {

// A renderer with a fixed opaque image that counts its renders.
class CountingRenderer : public Renderer {
  public:
    CountingRenderer(int width, int height) : imageWidth_(width), imageHeight_(height) {
        width_ = width;
        height_ = height;
    }
    std::atomic<int> renders{0};

  protected:
    std::shared_ptr<const RgbaImage> updateImageRef() override {
        ++renders;
        auto image = std::make_shared<RgbaImage>();
        image->width = imageWidth_;
        image->height = imageHeight_;
        image->pixels.resize(std::size_t(4) * imageWidth_ * imageHeight_);
        for (std::size_t i = 0; i < image->pixels.size(); i += 4) {
            image->pixels[i] = 200;  // red, opaque
            image->pixels[i + 3] = 255;
        }
        return image;
    }

  private:
    int imageWidth_;
    int imageHeight_;
};

// Sends a mouse event with a position in view coordinates, as a real press or drag would arrive.
void sendMouse(QWidget* view, QEvent::Type type, QPointF local, Qt::MouseButtons buttons) {
    const QPointF scene = view->mapTo(view->window(), local);
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, local, scene, view->mapToGlobal(local), button, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(view, &event);
}

bool sameVector(_Vector a, _Vector b) {
    return a.x == b.x && a.y == b.y && a.z == b.z;
}

}  // namespace

class TestPreviewView : public QObject {
    Q_OBJECT

  private slots:
    void rendersLazilyAtLowerLeft();
    void notificationsMarkStaleOnGuiThread_data();
    void notificationsMarkStaleOnGuiThread();
    void withoutRendererOnlyOwnOrientation();
    void dragRotation_data();
    void dragRotation();
    void dragIsPathIndependentAndExactWhenBack();
    void newRendererGetsViewOrientation();
};

void TestPreviewView::rendersLazilyAtLowerLeft() {
    CountingRenderer renderer(100, 60);
    PreviewView view;
    view.resize(200, 150);
    view.setRenderer(&renderer);
    QCOMPARE(renderer.renders.load(), 0);  // nothing renders before the paint asks

    const QImage shot = view.grab().toImage();
    QCOMPARE(renderer.renders.load(), 1);
    auto isImage = [&](int x, int y) {
        return qRed(shot.pixel(x, y)) == 200 && qGreen(shot.pixel(x, y)) == 0;
    };
    // The 100 x 60 units at the lower-left, one pixel per unit, nothing else.
    QVERIFY(isImage(0, 149));
    QVERIFY(isImage(99, 90));
    QVERIFY(!isImage(100, 149));
    QVERIFY(!isImage(0, 89));

    // A second paint without a change uses the same image.
    view.grab();
    QCOMPARE(renderer.renders.load(), 1);
}

void TestPreviewView::notificationsMarkStaleOnGuiThread_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("newDataAvailable") << QString::fromLatin1(kNewDataAvailable);
    QTest::newRow("transferFktChanged") << QString::fromLatin1(kTransferFktChanged);
}

void TestPreviewView::notificationsMarkStaleOnGuiThread() {
    QFETCH(QString, name);
    NotificationCenter center;
    CountingRenderer renderer(10, 10);
    PreviewView view(nullptr, center);
    view.setRenderer(&renderer);
    view.resize(50, 50);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.grab();
    QVERIFY(!renderer.needsUpdateImage());
    const int rendersBefore = renderer.renders.load();

    // Posted on a worker thread: the view must not be touched there, only after the queued call.
    std::thread poster([&] { center.post(name.toStdString()); });
    poster.join();
    QVERIFY(!renderer.needsUpdateImage());
    QTRY_VERIFY(renderer.renders.load() == rendersBefore + 1);
    QVERIFY(!renderer.needsUpdateImage());
    QTest::qWait(20);
    QCOMPARE(renderer.renders.load(), rendersBefore + 1);
}

void TestPreviewView::withoutRendererOnlyOwnOrientation() {
    PreviewView view;
    view.resize(120, 120);
    view.updateImage();  // nothing to mark, no crash
    view.grab();
    sendMouse(&view, QEvent::MouseButtonPress, QPointF(50, 50), Qt::LeftButton);
    sendMouse(&view, QEvent::MouseMove, QPointF(60, 50), Qt::LeftButton);
    QCOMPARE(view.orientation().y, PreviewView::angleForTravel(10.0f));
}

void TestPreviewView::dragRotation_data() {
    QTest::addColumn<QPointF>("to");
    QTest::addColumn<float>("x");
    QTest::addColumn<float>("y");
    const float ten = 0.15915494f;
    QTest::newRow("press without drag") << QPointF(50, 50) << 0.0f << 0.0f;
    QTest::newRow("10 right") << QPointF(60, 50) << 0.0f << ten;
    QTest::newRow("10 up") << QPointF(50, 40) << ten << 0.0f;
    QTest::newRow("10 left, 10 down") << QPointF(40, 60) << -ten << -ten;
}

void TestPreviewView::dragRotation() {
    QFETCH(QPointF, to);
    QFETCH(float, x);
    QFETCH(float, y);
    CountingRenderer renderer(20, 20);
    PreviewView view;
    view.resize(120, 120);
    view.setRenderer(&renderer);

    sendMouse(&view, QEvent::MouseButtonPress, QPointF(50, 50), Qt::LeftButton);
    QVERIFY(sameVector(renderer.orientation(), MakeVector(0, 0, 0)));  // a press alone sends nothing
    if (to != QPointF(50, 50))
        sendMouse(&view, QEvent::MouseMove, to, Qt::LeftButton);

    QVERIFY(qAbs(view.orientation().x - x) < 1e-6f);
    QVERIFY(qAbs(view.orientation().y - y) < 1e-6f);
    QCOMPARE(view.orientation().z, 0.0f);
    QVERIFY(sameVector(renderer.orientation(), view.orientation()));
}

void TestPreviewView::dragIsPathIndependentAndExactWhenBack() {
    CountingRenderer renderer(20, 20);
    PreviewView view;
    view.resize(200, 200);
    view.setRenderer(&renderer);
    // A first drag leaves a non-zero reference for the second.
    sendMouse(&view, QEvent::MouseButtonPress, QPointF(10, 10), Qt::LeftButton);
    sendMouse(&view, QEvent::MouseMove, QPointF(47, 3), Qt::LeftButton);
    const _Vector start = view.orientation();

    sendMouse(&view, QEvent::MouseButtonPress, QPointF(100, 100), Qt::LeftButton);
    sendMouse(&view, QEvent::MouseMove, QPointF(173, 20), Qt::LeftButton);
    sendMouse(&view, QEvent::MouseMove, QPointF(130, 151), Qt::LeftButton);
    const _Vector viaDetour = view.orientation();
    QVERIFY(sameVector(viaDetour, PreviewView::orientationForDrag(start, 30.0f, -51.0f)));
    sendMouse(&view, QEvent::MouseMove, QPointF(100, 100), Qt::LeftButton);
    QVERIFY(sameVector(view.orientation(), start));
    // Every drag event also marks the slice-like renderer stale, orientation-independent or not.
    QVERIFY(renderer.needsUpdateImage());
}

void TestPreviewView::newRendererGetsViewOrientation() {
    CountingRenderer first(20, 20);
    CountingRenderer second(20, 20);
    second.setOrientation(MakeVector(1.0f, 2.0f, 3.0f));
    PreviewView view;
    view.resize(120, 120);
    view.setRenderer(&first);
    sendMouse(&view, QEvent::MouseButtonPress, QPointF(50, 50), Qt::LeftButton);
    sendMouse(&view, QEvent::MouseMove, QPointF(60, 50), Qt::LeftButton);
    const _Vector kept = view.orientation();

    view.setRenderer(&second);
    QVERIFY(sameVector(view.orientation(), kept));  // not reset by the change
    sendMouse(&view, QEvent::MouseButtonPress, QPointF(50, 50), Qt::LeftButton);
    sendMouse(&view, QEvent::MouseMove, QPointF(50, 40), Qt::LeftButton);
    QVERIFY(sameVector(second.orientation(), PreviewView::orientationForDrag(kept, 0.0f, 10.0f)));
}

QTEST_MAIN(TestPreviewView)
#include "tst_previewview.moc"

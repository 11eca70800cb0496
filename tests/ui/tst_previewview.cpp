// The preview: lazy rendering in the paint, the image at the lower-left, notifications from
// worker threads and rotation by dragging.
#include <QtTest>

#include <atomic>
#include <thread>

#include "UiTestSupport.h"
#include "platform/NotificationCenter.h"
#include "render/Renderer.h"
#include "ui/PreviewView.h"

using namespace qz;

namespace {

// A renderer with a fixed opaque red image that counts its renders.
class CountingRenderer : public Renderer {
  public:
    CountingRenderer(int width, int height) {
        width_ = width;
        height_ = height;
    }
    std::atomic<int> renders{0};

  protected:
    std::shared_ptr<const RgbaImage> updateImageRef() override {
        ++renders;
        auto image = std::make_shared<RgbaImage>();
        image->width = width_;
        image->height = height_;
        image->pixels.resize(std::size_t(4) * width_ * height_);
        for (std::size_t i = 0; i < image->pixels.size(); i += 4) {
            image->pixels[i] = 200;
            image->pixels[i + 3] = 255;
        }
        return image;
    }
};

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
    void dragRotation_data();
    void dragRotation();
    void dragIsPathIndependentAndSurvivesRendererChange();
};

void TestPreviewView::rendersLazilyAtLowerLeft() {
    CountingRenderer renderer(100, 60);
    PreviewView view;
    view.resize(200, 150);
    // Without a renderer the view draws nothing and turns only its own orientation.
    view.updateImage();
    view.grab();
    uitest::pressAndDrag(&view, QPointF(50, 50), QPointF(60, 50));
    QCOMPARE(view.orientation().y, PreviewView::angleForTravel(10.0f));
    view.setRenderer(&renderer);
    QCOMPARE(renderer.renders.load(), 0);  // nothing renders before the paint asks

    const QImage shot = view.grab().toImage();
    QCOMPARE(renderer.renders.load(), 1);
    // One image pixel per view unit, the image's bottom row on the view's bottom edge.
    auto isImage = [&](int x, int y) { return shot.pixel(x, y) == qRgb(200, 0, 0); };
    QVERIFY(isImage(0, 149) && isImage(99, 90));
    QVERIFY(!isImage(100, 149) && !isImage(0, 89));
    view.grab();  // a second paint without a change uses the same image
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
    auto* view = new PreviewView(nullptr, center);
    view->setRenderer(&renderer);
    view->resize(50, 50);
    view->show();
    QVERIFY(QTest::qWaitForWindowExposed(view));
    view->grab();
    const int rendersBefore = renderer.renders.load();

    // Posted on a worker thread: the view must not be touched there, only after the queued call.
    std::thread([&] { center.post(name.toStdString()); }).join();
    QVERIFY(!renderer.needsUpdateImage());
    QTRY_COMPARE(renderer.renders.load(), rendersBefore + 1);
    QVERIFY(!renderer.needsUpdateImage());

    // A delivery still queued when the view goes is dropped, and a gone view observes nothing.
    std::thread([&] { center.post(name.toStdString()); }).join();
    delete view;
    QTest::qWait(20);
    center.post(name.toStdString());
    QVERIFY(!renderer.needsUpdateImage());
}

void TestPreviewView::dragRotation_data() {
    QTest::addColumn<QPointF>("to");
    QTest::addColumn<float>("x");
    QTest::addColumn<float>("y");
    const float ten = 0.15915494f;  // ((10 * 0.5) / pi) * 0.1
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
    uitest::pressAndDrag(&view, QPointF(50, 50), to);
    QVERIFY(qAbs(view.orientation().x - x) < 1e-6f);
    QVERIFY(qAbs(view.orientation().y - y) < 1e-6f);
    QCOMPARE(view.orientation().z, 0.0f);
    QVERIFY(sameVector(renderer.orientation(), view.orientation()));  // a press alone sends zero
}

void TestPreviewView::dragIsPathIndependentAndSurvivesRendererChange() {
    CountingRenderer first(20, 20);
    CountingRenderer second(20, 20);
    second.setOrientation(MakeVector(1.0f, 2.0f, 3.0f));
    PreviewView view;
    view.resize(200, 200);
    view.setRenderer(&first);
    // A first drag leaves a non-zero reference for the second.
    uitest::pressAndDrag(&view, QPointF(10, 10), QPointF(47, 3));
    const _Vector start = view.orientation();

    uitest::pressAndDrag(&view, QPointF(100, 100), QPointF(173, 20));
    QMouseEvent move(QEvent::MouseMove, QPointF(130, 151), view.mapTo(view.window(), QPointF(130, 151)),
                     view.mapToGlobal(QPointF(130, 151)), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&view, &move);
    // The whole travel since the press counts, never a sum of steps.
    QVERIFY(sameVector(view.orientation(), PreviewView::orientationForDrag(start, 30.0f, -51.0f)));
    QVERIFY(first.needsUpdateImage());
    QMouseEvent back(QEvent::MouseMove, QPointF(100, 100), view.mapTo(view.window(), QPointF(100, 100)),
                     view.mapToGlobal(QPointF(100, 100)), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&view, &back);
    QVERIFY(sameVector(view.orientation(), start));  // exactly back at the press point

    // A new renderer takes the view's orientation with the next drag; the view's is not reset.
    view.setRenderer(&second);
    const _Vector kept = view.orientation();
    uitest::pressAndDrag(&view, QPointF(50, 50), QPointF(50, 40));
    QVERIFY(sameVector(second.orientation(), PreviewView::orientationForDrag(kept, 0.0f, 10.0f)));
}

QTEST_MAIN(TestPreviewView)
#include "tst_previewview.moc"

// The controller driving the real main window: start-up, enabling, renderer switching with the
// drawer, slice settings, opening (by path, by drop) and failed opens.
#include <QtTest>

#include <QAbstractButton>
#include <QActionGroup>
#include <QButtonGroup>
#include <QDir>
#include <QDockWidget>
#include <QDoubleSpinBox>
#include <QMenu>
#include <QMimeData>
#include <QSlider>
#include <QStatusBar>

#include <thread>

#include "UiTestSupport.h"
#include "app/Controller.h"
#include "app/MainWindow.h"
#include "data/Data.h"
#include "render/MIP.h"
#include "render/Slices.h"
#include "render/Volume.h"
#include "ui/HiResPanel.h"
#include "ui/PreviewView.h"
#include "ui/ProgressSheet.h"
#include "ui/SlicesSettings.h"

using namespace qz;

namespace {

QString writeVolume(const QString& path, int xDim, int yDim, int zDim) {
    return uitest::writeVolume(path, xDim, yDim, zDim,
                               [xDim](int x, int, int) { return (x * 4095) / (xDim - 1); });
}

QString writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write(bytes);
    return path;
}

// Hands a drag-and-drop event straight to the window: QApplication's routing of these events
// expects a drag in progress, which a test cannot start.
void deliver(QObject* window, QEvent* event) {
    window->event(event);
}

}  // namespace

class TestController : public QObject {
    Q_OBJECT

  private slots:
    void init();
    void cleanup();
    void startUpState();
    void rendererSwitchingAndDrawer_data();
    void rendererSwitchingAndDrawer();
    void sliceSettingsReachOnlySlices();
    void progressReachesPanelFromWorkerThread();
    void openFileLoadsAndRetitles();
    void failedOpenKeepsVolumeAndTitle_data();
    void failedOpenKeepsVolumeAndTitle();
    void droppedFiles_data();
    void droppedFiles();
    void dropOpensVolume();

  private:
    QTemporaryDir dir_;
    Controller* controller_ = nullptr;
};

void TestController::init() {
    QVERIFY(uitest::startController(controller_));
}

void TestController::cleanup() {
    uitest::stopController(controller_);
}

void TestController::startUpState() {
    Controller& c = *controller_;
    QVERIFY(!Data::sharedInstance().hasData());
    QCOMPARE(c.mainWindow()->windowTitle(), QStringLiteral("Quarzelle"));

    // Renderers: small previews, the volume and MIP ones unshaded without interpolation.
    QCOMPARE(c.rendererSlices()->maxImageResolution(), 100);
    QCOMPARE(c.rendererSlices()->quality(), 1);
    for (Renderer* r :
         {static_cast<Renderer*>(c.rendererVolume()), static_cast<Renderer*>(c.rendererMIP())}) {
        QCOMPARE(r->maxImageResolution(), 100);
        QCOMPARE(r->quality(), 0);
        QVERIFY(!r->doShading());
    }
    QCOMPARE(c.previewView()->renderer(), static_cast<Renderer*>(c.rendererSlices()));
    QVERIFY(c.drawer()->isVisible());
    QCOMPARE(c.drawer()->widget(), static_cast<QWidget*>(c.slicesView()));
    QCOMPARE(c.slicesView()->axis(), 2);
    QCOMPARE(c.slicesView()->depth(), 0.5);

    // Exactly the three renderers in their menu, slices checked.
    const QList<QAction*> items = c.rendererMenu()->actions();
    QCOMPARE(items.size(), 3);
    QVERIFY(c.slicesAction()->isChecked() && !c.volumeAction()->isChecked() && !c.mipAction()->isChecked());

    // Enabling without a volume and with the main window key.
    QVERIFY(c.openAction()->isEnabled());
    QVERIFY(c.quitAction()->isEnabled());
    QVERIFY(!c.closeAction()->isEnabled());
    QVERIFY(!c.saveAsAction()->isEnabled());
    QVERIFY(!c.hiResAction()->isEnabled());
    for (QAction* a : items)
        QVERIFY(a->isEnabled());
    // The platform's standard keys, and a key even where the platform defines none.
    const std::pair<QAction*, QKeySequence::StandardKey> keys[] = {{c.openAction(), QKeySequence::Open},
                                                                   {c.closeAction(), QKeySequence::Close},
                                                                   {c.saveAsAction(), QKeySequence::SaveAs},
                                                                   {c.quitAction(), QKeySequence::Quit}};
    for (const auto& [action, key] : keys) {
        QVERIFY(!action->shortcut().isEmpty());
        if (!QKeySequence::keyBindings(key).isEmpty())
            QCOMPARE(action->shortcuts(), QKeySequence::keyBindings(key));
    }

    // The empty preview draws nothing and the high-resolution panel's settings start off.
    QCOMPARE(c.rendererSlices()->width(), 0);
    c.previewView()->grab();
    QVERIFY(!c.progressPanel()->isVisible());
    QVERIFY(!c.doShading());
    QCOMPARE(c.untitledCounter(), 0);
    c.displayHiResPanel();  // refused without a volume
    QVERIFY(!c.hiResPanel()->isVisible());
}

void TestController::rendererSwitchingAndDrawer_data() {
    QTest::addColumn<QString>("choice");
    QTest::addColumn<bool>("drawerOpen");
    QTest::newRow("volume") << "Volume" << false;
    QTest::newRow("mip") << "MIP" << false;
    QTest::newRow("slices") << "Slices" << true;
}

void TestController::rendererSwitchingAndDrawer() {
    QFETCH(QString, choice);
    QFETCH(bool, drawerOpen);
    Controller& c = *controller_;
    // Start from another renderer, so slices must re-open a closed drawer.
    (choice == "Slices" ? c.volumeAction() : c.slicesAction())->trigger();

    QAction* action = nullptr;
    Renderer* expected = nullptr;
    if (choice == "Slices")
        action = c.slicesAction(), expected = c.rendererSlices();
    if (choice == "Volume")
        action = c.volumeAction(), expected = c.rendererVolume();
    if (choice == "MIP")
        action = c.mipAction(), expected = c.rendererMIP();
    action->trigger();

    for (QAction* item : c.rendererMenu()->actions())
        QCOMPARE(item->isChecked(), item == action);
    QCOMPARE(c.previewView()->renderer(), expected);
    QCOMPARE(c.drawer()->isVisible(), drawerOpen);
    if (drawerOpen)
        QCOMPARE(c.drawer()->widget(), static_cast<QWidget*>(c.slicesView()));
}

void TestController::sliceSettingsReachOnlySlices() {
    Controller& c = *controller_;
    c.volumeAction()->trigger();
    c.rendererVolume()->imageRef();
    QVERIFY(!c.rendererVolume()->needsUpdateImage());
    c.rendererSlices()->imageRef();

    c.slicesView()->axisGroup()->button(0)->click();
    QCOMPARE(c.rendererSlices()->axis(), 0);
    QVERIFY(c.rendererSlices()->needsUpdateImage());

    // Slider and field stay in step; each sends its depth unchanged.
    c.slicesView()->depthSlider()->setValue(250);
    QCOMPARE(c.slicesView()->depthField()->value(), 0.25);
    QCOMPARE(c.rendererSlices()->depth(), 0.25f);
    c.slicesView()->depthField()->setValue(0.8);
    QCOMPARE(c.slicesView()->depthSlider()->value(), 800);
    QCOMPARE(c.rendererSlices()->depth(), 0.8f);

    QCOMPARE(c.previewView()->renderer(), static_cast<Renderer*>(c.rendererVolume()));
    QVERIFY(!c.rendererVolume()->needsUpdateImage());
    QCOMPARE(c.rendererVolume()->orientation().x, 0.0f);
}

void TestController::progressReachesPanelFromWorkerThread() {
    Controller& c = *controller_;
    UserInfo info{{"info", std::string("read x.dat")}, {"progress", 40}};
    std::thread poster(
        [&] { Data::sharedInstance().notificationCenter().post(kUpdateProgressBar, nullptr, &info); });
    poster.join();
    // The hidden panel follows too, but only once the queued call has run on this thread.
    QTRY_COMPARE(c.progressPanel()->progress(), 40);
    QCOMPARE(c.progressPanel()->info(), QStringLiteral("read x.dat"));
    QVERIFY(!c.progressPanel()->isVisible());
    // Showing the panel resets the bar, not the text.
    c.displayProgressPanel();
    QCOMPARE(c.progressPanel()->progress(), 0);
    QCOMPARE(c.progressPanel()->info(), QStringLiteral("read x.dat"));
    c.closeProgressPanel();
    QVERIFY(!c.progressPanel()->isVisible());
    QCOMPARE(c.progressPanel()->info(), QString());
}

void TestController::openFileLoadsAndRetitles() {
    Controller& c = *controller_;
    const QString path = writeVolume(dir_.filePath("head.dat"), 16, 12, 8);
    QVERIFY(!path.isEmpty());
    QVERIFY(c.openFile(path));

    // Until the load ends: the sheet is up and nothing may load or render.
    QVERIFY(c.isLoading());
    QVERIFY(c.progressPanel()->isVisible());
    QVERIFY(c.progressPanel()->isModal() || c.progressPanel()->windowModality() == Qt::WindowModal);
    QVERIFY(!c.openAction()->isEnabled());
    QVERIFY(!c.hiResAction()->isEnabled());
    for (QAction* a : c.rendererMenu()->actions())
        QVERIFY(!a->isEnabled());
    QVERIFY(!c.openFile(path));  // no second load on top

    QTRY_VERIFY(!c.isLoading());
    QCOMPARE(c.mainWindow()->windowTitle(), QStringLiteral("Quarzelle - head.dat"));
    QVERIFY(!c.progressPanel()->isVisible());
    QCOMPARE(Data::sharedInstance().xDim(), 16);
    QVERIFY(c.openAction()->isEnabled());
    QVERIFY(c.hiResAction()->isEnabled());
    for (QAction* a : c.rendererMenu()->actions())
        QVERIFY(a->isEnabled());

    // The preview re-renders the new volume: 16 x 12 samples fill 100 x 75 pixels.
    QTRY_VERIFY(!c.rendererSlices()->needsUpdateImage());
    const auto image = c.rendererSlices()->imageRef();
    QVERIFY(image);
    QCOMPARE(image->width, 100);
    QCOMPARE(image->height, 75);
}

void TestController::failedOpenKeepsVolumeAndTitle_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");  // empty: the file does not exist
    QTest::newRow("shorter than a header") << "short.dat" << QByteArray("\x01\x00\x01", 3);
    QTest::newRow("length does not match") << "odd.dat" << QByteArray("\x02\x00\x02\x00\x02\x00\x01\x00", 8);
    QTest::newRow("missing") << "missing.dat" << QByteArray();
}

void TestController::failedOpenKeepsVolumeAndTitle() {
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    Controller& c = *controller_;
    const QString good = writeVolume(dir_.filePath("good.dat"), 8, 6, 4);
    QVERIFY(c.openFile(good));
    QTRY_VERIFY(!c.isLoading());
    QCOMPARE(c.mainWindow()->windowTitle(), QStringLiteral("Quarzelle - good.dat"));

    const QString bad = dir_.filePath(name);
    if (!bytes.isEmpty())
        QVERIFY(!writeBytes(bad, bytes).isEmpty());
    QVERIFY(c.openFile(bad));
    QTRY_VERIFY(!c.isLoading());

    QVERIFY(!c.progressPanel()->isVisible());
    QCOMPARE(c.mainWindow()->windowTitle(), QStringLiteral("Quarzelle - good.dat"));
    QCOMPARE(Data::sharedInstance().xDim(), 8);
    QVERIFY(c.mainWindow()->statusBar()->currentMessage().contains(name));
    QVERIFY(c.openAction()->isEnabled());
    QVERIFY(c.hiResAction()->isEnabled());
}

void TestController::droppedFiles_data() {
    QTest::addColumn<QList<QUrl>>("urls");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("one .dat") << QList<QUrl>{QUrl::fromLocalFile("/data/head.dat")} << true;
    QTest::newRow("upper case") << QList<QUrl>{QUrl::fromLocalFile("/data/HEAD.DAT")} << true;
    QTest::newRow("other type") << QList<QUrl>{QUrl::fromLocalFile("/data/head.raw")} << false;
    QTest::newRow("NIfTI") << QList<QUrl>{QUrl::fromLocalFile("/data/brain.nii.gz")} << true;
    QTest::newRow("MetaImage") << QList<QUrl>{QUrl::fromLocalFile("/data/lung.MHA")} << true;
    QTest::newRow("DICOM folder") << QList<QUrl>{QUrl::fromLocalFile(QDir::tempPath())} << true;
    QTest::newRow("two files") << QList<QUrl>{QUrl::fromLocalFile("/a.dat"), QUrl::fromLocalFile("/b.dat")}
                               << false;
    QTest::newRow("remote") << QList<QUrl>{QUrl("https://example.org/head.dat")} << false;
}

void TestController::droppedFiles() {
    QFETCH(QList<QUrl>, urls);
    QFETCH(bool, accepted);
    QMimeData mime;
    mime.setUrls(urls);
    QCOMPARE(!MainWindow::droppedVolumePath(&mime).isEmpty(), accepted);
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    deliver(controller_->mainWindow(), &enter);
    QCOMPARE(enter.isAccepted(), accepted);
}

void TestController::dropOpensVolume() {
    Controller& c = *controller_;
    const QString path = writeVolume(dir_.filePath("dropped.dat"), 10, 10, 10);
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(path)});
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    deliver(c.mainWindow(), &drop);
    QVERIFY(c.isLoading());
    QTRY_VERIFY(!c.isLoading());
    QCOMPARE(c.mainWindow()->windowTitle(), QStringLiteral("Quarzelle - dropped.dat"));
}

QTEST_MAIN(TestController)
#include "tst_controller.moc"

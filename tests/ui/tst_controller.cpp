// The application's main window and controller: start-up state and enabling, renderer switching
// with the dock, slice settings, progress from a worker thread, opening (by path, by drop) and
// failed opens.
#include <QtTest>

#include <QActionGroup>
#include <QDockWidget>
#include <QDoubleSpinBox>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QRadioButton>
#include <QSlider>
#include <QStatusBar>

#include <fstream>
#include <thread>

#include "UiTestSupport.h"
#include "data/Data.h"
#include "render/Slices.h"
#include "ui/HiResPanel.h"
#include "ui/PreviewView.h"
#include "ui/ProgressSheet.h"
#include "ui/SlicesSettings.h"

using namespace qz;

namespace {

QString writeRamp(const testing::TempDir& dir, const std::string& name, int x, int y, int z) {
    return uitest::writeVolume(dir, name, x, y, z, [x](int i, int, int) { return (i * 4095) / (x - 1); });
}

}  // namespace

class TestController : public QObject {
    Q_OBJECT

  private slots:
    void startUpState();
    void rendererSwitchingAndDock_data();
    void rendererSwitchingAndDock();
    void sliceSettingsReachOnlySlices();
    void progressReachesSheetFromWorkerThread();
    void openFileLoadsAndRetitles();
    void failedOpenKeepsVolumeAndTitle_data();
    void failedOpenKeepsVolumeAndTitle();
    void droppedFiles_data();
    void droppedFiles();

  private:
    testing::TempDir dir_;
};

void TestController::startUpState() {
    uitest::App app;
    QVERIFY(app.activate());
    const MainWindow::Actions& a = app.actions;
    QVERIFY(!Data::sharedInstance().hasData());
    QCOMPARE(app.window->windowTitle(), QStringLiteral("Quarzelle"));

    // Previews: small, the volume and MIP ones unshaded without interpolation; slices shown.
    const std::pair<QAction*, const char*> renderers[] = {
        {a.volume, "Volume"}, {a.mip, "MIP"}, {a.slices, "Slices"}};
    for (const auto& [action, name] : renderers) {
        action->trigger();
        Renderer* r = app.window->previewView()->renderer();
        QCOMPARE(r->className(), name);
        QCOMPARE(r->maxImageResolution(), 100);
        QCOMPARE(r->quality(), action == a.slices ? 1 : 0);
        QVERIFY(action == a.slices || !r->doShading());
    }
    QCOMPARE(app.window->slicesSettings()->axis(), 2);
    QCOMPARE(app.window->slicesSettings()->depth(), 0.5);

    // The menus, their grouping and the enabling without a volume, the main window key.
    const QList<QAction*> menus = app.window->menuBar()->actions();
    QCOMPARE(menus.size(), 3);
    QCOMPARE(menus[0]->menu()->actions(),
             (QList<QAction*>{a.open, a.close, a.saveAs, menus[0]->menu()->actions()[3], a.quit}));
    QVERIFY(menus[0]->menu()->actions()[3]->isSeparator());
    QCOMPARE(menus[1]->menu()->actions(), a.renderers->actions());
    QCOMPARE(a.renderers->actions(), (QList<QAction*>{a.slices, a.volume, a.mip}));
    QVERIFY(a.renderers->isExclusive());
    QCOMPARE(menus[2]->menu()->actions(), QList<QAction*>{a.hiRes});
    QCOMPARE(a.slices->isChecked(), true);
    QVERIFY(a.open->isEnabled() && a.quit->isEnabled() && a.renderers->isEnabled());
    QVERIFY(!a.close->isEnabled() && !a.saveAs->isEnabled() && !a.hiRes->isEnabled());

    // The platform's standard keys, and a key even where the platform defines none.
    const std::pair<QAction*, QKeySequence::StandardKey> keys[] = {{a.open, QKeySequence::Open},
                                                                   {a.close, QKeySequence::Close},
                                                                   {a.saveAs, QKeySequence::SaveAs},
                                                                   {a.quit, QKeySequence::Quit}};
    for (const auto& [action, key] : keys) {
        QVERIFY(!action->shortcut().isEmpty());
        if (!QKeySequence::keyBindings(key).isEmpty())
            QCOMPARE(action->shortcuts(), QKeySequence::keyBindings(key));
    }
    QCOMPARE(a.hiRes->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));

    // The empty preview draws nothing; the high-resolution panel is refused without a volume.
    app.window->previewView()->grab();
    QVERIFY(!app.window->progressSheet()->isVisible());
    a.hiRes->trigger();
    QVERIFY(!app.window->hiResPanel()->isVisible());
}

void TestController::rendererSwitchingAndDock_data() {
    QTest::addColumn<QString>("choice");
    QTest::newRow("volume") << "Volume";
    QTest::newRow("mip") << "MIP";
    QTest::newRow("slices") << "Slices";
}

void TestController::rendererSwitchingAndDock() {
    QFETCH(QString, choice);
    uitest::App app;
    const MainWindow::Actions& a = app.actions;
    // Start from another renderer, so slices must re-open a closed dock.
    (choice == "Slices" ? a.volume : a.slices)->trigger();
    QAction* action = choice == "Slices" ? a.slices : choice == "Volume" ? a.volume : a.mip;
    action->trigger();

    for (QAction* item : a.renderers->actions())
        QCOMPARE(item->isChecked(), item == action);
    QCOMPARE(QString(app.window->previewView()->renderer()->className()), choice);
    QCOMPARE(app.window->slicesDrawer()->isVisible(), choice == "Slices");
    QCOMPARE(app.window->slicesDrawer()->widget(), static_cast<QWidget*>(app.window->slicesSettings()));
}

void TestController::sliceSettingsReachOnlySlices() {
    uitest::App app;
    auto* slices = dynamic_cast<Slices*>(app.window->previewView()->renderer());
    QVERIFY(slices);
    app.actions.volume->trigger();
    Renderer* volume = app.window->previewView()->renderer();
    volume->imageRef();
    slices->imageRef();

    SlicesSettings* settings = app.window->slicesSettings();
    settings->findChildren<QRadioButton*>().at(0)->click();
    QCOMPARE(slices->axis(), 0);
    QVERIFY(slices->needsUpdateImage());
    // Slider and field stay in step; each sends its depth unchanged.
    settings->findChild<QSlider*>()->setValue(250);
    QCOMPARE(settings->findChild<QDoubleSpinBox*>()->value(), 0.25);
    QCOMPARE(slices->depth(), 0.25f);
    settings->findChild<QDoubleSpinBox*>()->setValue(0.8);
    QCOMPARE(settings->findChild<QSlider*>()->value(), 800);
    QCOMPARE(slices->depth(), 0.8f);
    // The volume preview stays shown and untouched.
    QCOMPARE(app.window->previewView()->renderer(), volume);
    QVERIFY(!volume->needsUpdateImage());
}

void TestController::progressReachesSheetFromWorkerThread() {
    uitest::App app;
    ProgressSheet* sheet = app.window->progressSheet();
    UserInfo info{{"info", std::string("read x.dat")}, {"progress", 40}};
    std::thread poster(
        [&] { Data::sharedInstance().notificationCenter().post(kUpdateProgressBar, nullptr, &info); });
    poster.join();
    // The hidden sheet follows too, but only once the queued call has run on this thread.
    QCOMPARE(sheet->progress(), 0);
    QTRY_COMPARE(sheet->progress(), 40);
    QCOMPARE(sheet->info(), QStringLiteral("read x.dat"));
    QVERIFY(!sheet->isVisible());

    // Opening shows the sheet with the bar reset and the text kept until the first update;
    // the load's end hides it and clears both.
    QVERIFY(app.controller->openFile(QString::fromStdString(dir_.file("missing.dat"))));
    QVERIFY(sheet->isVisible());
    QCOMPARE(sheet->progress(), 0);
    QCOMPARE(sheet->info(), QStringLiteral("read x.dat"));
    QTRY_VERIFY(app.idle());
    QVERIFY(!sheet->isVisible());
    QCOMPARE(sheet->info(), QString());
}

void TestController::openFileLoadsAndRetitles() {
    uitest::App app;
    const MainWindow::Actions& a = app.actions;
    const QString path = writeRamp(dir_, "head.dat", 16, 12, 8);
    QVERIFY(app.controller->openFile(path));

    // Until the load ends: the sheet is up and nothing may load or render.
    ProgressSheet* sheet = app.window->progressSheet();
    QVERIFY(sheet->isVisible());
    QVERIFY(sheet->isModal() || sheet->windowModality() == Qt::WindowModal);
    QVERIFY(!a.open->isEnabled() && !a.hiRes->isEnabled() && !a.renderers->isEnabled());
    QVERIFY(!app.controller->openFile(path));  // no second load on top

    QTRY_VERIFY(app.idle());
    QCOMPARE(app.window->windowTitle(), QStringLiteral("Quarzelle - head.dat"));
    QVERIFY(!sheet->isVisible());
    QCOMPARE(Data::sharedInstance().xDim(), 16);
    QVERIFY(a.hiRes->isEnabled() && a.renderers->isEnabled());

    // The preview re-renders the new volume: 16 x 12 samples fill 100 x 75 pixels.
    Renderer* preview = app.window->previewView()->renderer();
    QTRY_VERIFY(!preview->needsUpdateImage());
    const auto image = preview->imageRef();
    QVERIFY(image);
    QCOMPARE(QSize(image->width, image->height), QSize(100, 75));
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
    uitest::App app;
    QVERIFY(app.controller->openFile(writeRamp(dir_, "good.dat", 8, 6, 4)));
    QTRY_VERIFY(app.idle());
    QCOMPARE(app.window->windowTitle(), QStringLiteral("Quarzelle - good.dat"));

    const std::string bad = dir_.file(name.toStdString());
    if (!bytes.isEmpty())
        std::ofstream(bad, std::ios::binary) << bytes.toStdString();
    QVERIFY(app.controller->openFile(QString::fromStdString(bad)));
    QTRY_VERIFY(app.idle());

    QVERIFY(!app.window->progressSheet()->isVisible());
    QCOMPARE(app.window->windowTitle(), QStringLiteral("Quarzelle - good.dat"));
    QCOMPARE(Data::sharedInstance().xDim(), 8);
    QVERIFY(app.window->statusBar()->currentMessage().startsWith("Could not open " + name));
    QVERIFY(app.actions.hiRes->isEnabled());
}

void TestController::droppedFiles_data() {
    QTest::addColumn<QStringList>("names");  // local files; a "https:" name is a remote one
    QTest::addColumn<bool>("accepted");
    QTest::newRow("one .dat") << QStringList{"dropped.dat"} << true;
    QTest::newRow("upper case") << QStringList{"DROPPED.DAT"} << true;
    QTest::newRow("other type") << QStringList{"dropped.raw"} << false;
    QTest::newRow("two files") << QStringList{"a.dat", "b.dat"} << false;
    QTest::newRow("remote") << QStringList{"https://example.org/head.dat"} << false;
}

void TestController::droppedFiles() {
    QFETCH(QStringList, names);
    QFETCH(bool, accepted);
    uitest::App app;
    QList<QUrl> urls;
    for (const QString& name : names) {
        if (name.startsWith("https:")) {
            urls.append(QUrl(name));
        } else {
            urls.append(QUrl::fromLocalFile(writeRamp(dir_, name.toStdString(), 10, 10, 10)));
        }
    }
    QMimeData mime;
    mime.setUrls(urls);
    // Straight to the window: QApplication's routing of these events expects a drag in progress.
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    static_cast<QObject*>(app.window)->event(&enter);
    QCOMPARE(enter.isAccepted(), accepted);
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    static_cast<QObject*>(app.window)->event(&drop);
    QCOMPARE(!app.idle(), accepted);  // loading
    QTRY_VERIFY(app.idle());
    QCOMPARE(app.window->windowTitle(),
             accepted ? QStringLiteral("Quarzelle - ") + names[0] : QStringLiteral("Quarzelle"));
}

QTEST_MAIN(TestController)
#include "tst_controller.moc"

// High-resolution requests end to end: settings carried to a fresh renderer, the window, its
// title and place, enabling while it is key, and the JPEG export with its naming rule and failures.
#include <QtTest>

#include <QActionGroup>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSpinBox>

#include <fstream>

#include "UiTestSupport.h"
#include "data/Data.h"
#include "render/Slices.h"
#include "ui/HiResPanel.h"
#include "ui/HiResView.h"
#include "ui/JpegExport.h"
#include "ui/PreviewView.h"
#include "ui/ProgressSheet.h"
#include "ui/SlicesSettings.h"

using namespace qz;

namespace {

// Closes the next message box and hands back its text.
QString closeNextMessageBox(const std::function<void()>& action) {
    QString text;
    QTimer timer;
    timer.setInterval(10);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (box && box->isVisible()) {
                text = box->text();
                box->accept();
                timer.stop();
            }
        }
    });
    timer.start();
    action();
    return text;
}

// Mean absolute difference of two equally sized images, per channel.
double meanDifference(const QImage& a, const QImage& b) {
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            sum += qAbs(qRed(p) - qRed(q)) + qAbs(qGreen(p) - qGreen(q)) + qAbs(qBlue(p) - qBlue(q));
        }
    return sum / (3.0 * a.width() * a.height());
}

// Chooses Render in the panel with the given size and waits for the new window to be key.
HiResWindow* requestWindow(uitest::App& app, int resolution) {
    const QList<HiResWindow*> before = uitest::hiResWindows();
    if (!app.activate())
        return nullptr;
    app.actions.hiRes->trigger();
    if (!app.window->hiResPanel()->isVisible())
        return nullptr;
    app.window->hiResPanel()->resolutionBox()->setValue(resolution);
    app.window->hiResPanel()->renderButton()->click();
    QTest::qWaitFor([&] { return uitest::hiResWindows().size() > before.size(); }, 20000);
    for (HiResWindow* window : uitest::hiResWindows()) {
        if (!before.contains(window))
            return QTest::qWaitForWindowActive(window) ? window : nullptr;
    }
    return nullptr;
}

}  // namespace

class TestHiRes : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase();
    void saveNameRule_data();
    void saveNameRule();
    void flowCarriesSettings_data();
    void flowCarriesSettings();
    void panelKeepsSettingsAndCancels();
    void titlesAndEnablingWhileKey();
    void savesVisiblePart();
    void failedSaveKeepsMarkAndFile_data();
    void failedSaveKeepsMarkAndFile();
    void failedEncodingKeepsExistingFile();

  private:
    testing::TempDir dir_;
};

void TestHiRes::initTestCase() {
    // A bright ball in a dim box, so every view shows structure.
    const QString path = uitest::writeVolume(dir_, "ball.dat", 24, 20, 16, [](int x, int y, int z) {
        const double dx = x - 12.0, dy = y - 10.0, dz = z - 8.0;
        return dx * dx + dy * dy + dz * dz < 36.0 ? 3500 : 300 + 40 * x;
    });
    Data::sharedInstance().loadFromFileName(path.toStdString());
    QVERIFY(Data::sharedInstance().hasData());
}

void TestHiRes::saveNameRule_data() {
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("written");
    // Only a .jpg or .jpeg extension of the file name itself, in any case, is kept.
    const std::pair<const char*, const char*> rows[] = {{"/tmp/picture", "/tmp/picture.jpeg"},
                                                        {"/tmp/picture.jpg", "/tmp/picture.jpg"},
                                                        {"/tmp/picture.jpeg", "/tmp/picture.jpeg"},
                                                        {"/tmp/picture.JPG", "/tmp/picture.JPG"},
                                                        {"/tmp/picture.Jpeg", "/tmp/picture.Jpeg"},
                                                        {"/tmp/picture.png", "/tmp/picture.png.jpeg"},
                                                        {"/tmp/picture.jpg.txt", "/tmp/picture.jpg.txt.jpeg"},
                                                        {"/tmp/a.jpg/picture", "/tmp/a.jpg/picture.jpeg"}};
    for (const auto& [chosen, written] : rows)
        QTest::newRow(chosen) << QString(chosen) << QString(written);
}

void TestHiRes::saveNameRule() {
    QFETCH(QString, chosen);
    QFETCH(QString, written);
    QCOMPARE(jpegSavePath(chosen), written);
}

void TestHiRes::flowCarriesSettings_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("resolution");
    QTest::addColumn<bool>("shading");
    QTest::newRow("slices") << "Slices" << 64 << false;
    QTest::newRow("volume shaded") << "Volume" << 48 << true;
    QTest::newRow("mip odd resolution") << "MIP" << 33 << false;
}

void TestHiRes::flowCarriesSettings() {
    QFETCH(QString, kind);
    QFETCH(int, resolution);
    QFETCH(bool, shading);
    uitest::App app;
    QVERIFY(app.activate());
    const MainWindow::Actions& a = app.actions;
    HiResPanel* panel = app.window->hiResPanel();
    // The preview's slice renderer moves to axis 0; a fresh slice renderer must not follow it.
    app.window->slicesSettings()->findChildren<QRadioButton*>().at(0)->click();
    (kind == "Volume" ? a.volume : kind == "MIP" ? a.mip : a.slices)->trigger();
    uitest::pressAndDrag(app.window->previewView(), QPointF(40, 40), QPointF(63, 29));
    Renderer* preview = app.window->previewView()->renderer();
    const _Vector orientation = preview->orientation();
    QVERIFY(orientation.x != 0.0f && orientation.y != 0.0f);

    a.hiRes->trigger();
    QVERIFY(panel->isVisible());
    panel->resolutionBox()->setValue(resolution);
    panel->shadingBox()->setChecked(shading);
    panel->renderButton()->click();

    // Behind the progress sheet nothing may load or render.
    QVERIFY(!panel->isVisible());
    QVERIFY(app.window->progressSheet()->isVisible());
    QVERIFY(!a.open->isEnabled() && !a.hiRes->isEnabled() && !a.renderers->isEnabled());

    QTRY_COMPARE_WITH_TIMEOUT(uitest::hiResWindows().size(), 1, 20000);
    HiResWindow* window = uitest::hiResWindows().front();
    QVERIFY(!app.window->progressSheet()->isVisible());
    QCOMPARE(window->windowTitle(), QStringLiteral("Untitled1[*]"));
    QVERIFY(window->isWindowModified());

    const std::shared_ptr<Renderer>& renderer = window->hiResView()->renderer();
    QVERIFY(renderer.get() != preview);
    QCOMPARE(QString::fromLatin1(renderer->className()), kind);
    QCOMPARE(renderer->maxImageResolution(), resolution);
    QCOMPARE(renderer->doShading(), shading);
    QCOMPARE(renderer->quality(), 1);  // interpolated, unlike the volume and MIP previews
    QCOMPARE(renderer->orientation().x, orientation.x);
    QCOMPARE(renderer->orientation().y, orientation.y);
    if (auto* slices = dynamic_cast<Slices*>(renderer.get())) {
        QCOMPARE(slices->axis(), 2);
        QCOMPARE(slices->depth(), 0.5f);
    } else {
        QCOMPARE(renderer->width(), resolution + resolution % 2);
    }

    // The content area has exactly the image's size, the image fills it, and the window sits in
    // the lower-left corner of the screen's available area, its frame included.
    const QWidget* view = window->hiResView();
    QCOMPARE(view->size(), QSize(renderer->width(), renderer->height()));
    QCOMPARE(window->canvas()->size(), view->size());
    QCOMPARE(window->hiResView()->visibleRect(), view->rect());
    QCOMPARE(window->frameGeometry().bottomLeft(), app.window->screen()->availableGeometry().bottomLeft());
    QCOMPARE(view->mapTo(window, QPoint(0, view->height() - 1)), QPoint(0, window->height() - 1));
    window->close();
}

void TestHiRes::panelKeepsSettingsAndCancels() {
    uitest::App app;
    QVERIFY(app.activate());
    HiResPanel* panel = app.window->hiResPanel();
    app.actions.hiRes->trigger();
    panel->resolutionBox()->setValue(300);
    panel->shadingBox()->setChecked(true);
    panel->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel)->click();
    QVERIFY(!panel->isVisible());
    QVERIFY(app.idle());

    app.actions.hiRes->trigger();
    QCOMPARE(panel->resolutionBox()->value(), 300);
    QVERIFY(panel->shadingBox()->isChecked());
    // Only sizes a renderer can make are accepted.
    panel->resolutionBox()->setValue(0);
    QCOMPARE(panel->resolutionBox()->value(), 1);
    panel->resolutionBox()->setValue(1 << 20);
    QCOMPARE(panel->resolutionBox()->value(), HiResPanel::kMaxResolution);
    panel->reject();
    QVERIFY(uitest::hiResWindows().isEmpty());  // cancelled requests render nothing
}

void TestHiRes::titlesAndEnablingWhileKey() {
    uitest::App app;
    const MainWindow::Actions& a = app.actions;
    HiResWindow* first = requestWindow(app, 16);
    QVERIFY(first);
    QVERIFY(a.close->isEnabled() && a.saveAs->isEnabled() && !a.hiRes->isEnabled());
    // Its own menu bar carries the file commands, and opening that menu keeps them enabled.
    QMenu* fileMenu = app.window->menuBar()->actions().front()->menu();
    QVERIFY(first->menuBar()->actions().contains(fileMenu->menuAction()));
    fileMenu->popup(first->mapToGlobal(QPoint(0, 0)));
    QTRY_VERIFY(fileMenu->isVisible());
    QTest::qWait(20);
    QVERIFY(a.saveAs->isEnabled() && !a.hiRes->isEnabled());
    fileMenu->close();

    // Close acts on the key high-resolution window only, never on the main window.
    QVERIFY(app.activate());
    QVERIFY(!a.close->isEnabled() && !a.saveAs->isEnabled() && a.hiRes->isEnabled());
    a.close->trigger();
    QVERIFY(app.window->isVisible() && first->isVisible());
    first->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(first));
    QPointer<HiResWindow> closed(first);
    a.close->trigger();
    QTRY_VERIFY(!closed);  // freed on close
    QVERIFY(app.window->isVisible());

    // Titles count on and never repeat a closed window's number.
    HiResWindow* second = requestWindow(app, 16);
    QVERIFY(second);
    QCOMPARE(second->windowTitle(), QStringLiteral("Untitled2[*]"));
    second->close();
    HiResWindow* third = requestWindow(app, 16);
    QVERIFY(third);
    QCOMPARE(third->windowTitle(), QStringLiteral("Untitled3[*]"));
    third->close();
}

void TestHiRes::savesVisiblePart() {
    uitest::App app;
    app.actions.volume->trigger();
    HiResWindow* window = requestWindow(app, 80);
    QVERIFY(window);
    QCOMPARE(window->hiResView()->size(), QSize(80, 80));

    QVERIFY(app.controller->saveHiResWindow(window, QString::fromStdString(dir_.file("whole"))));
    QVERIFY(!window->isWindowModified());
    const QImage whole(QString::fromStdString(dir_.file("whole.jpeg")));
    QCOMPARE(whole.size(), QSize(80, 80));
    // The file holds what the window shows: compare with the view's own drawing.
    const QImage shown = window->hiResView()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QVERIFY(meanDifference(whole, shown) < 4.0);

    // Smaller by 30 x 20: the image stays at the lower-left, its top and right edges are cut off.
    window->resize(window->width() - 30, window->height() - 20);
    QTRY_COMPARE(window->hiResView()->visibleRect(), QRect(0, 20, 50, 60));
    QVERIFY(app.controller->saveHiResWindow(window, QString::fromStdString(dir_.file("part.JPG"))));
    const QImage part(QString::fromStdString(dir_.file("part.JPG")));
    QCOMPARE(part.size(), QSize(50, 60));
    QVERIFY(meanDifference(part, whole.copy(0, 20, 50, 60)) < 6.0);
    QVERIFY(!window->isWindowModified());
    window->close();
}

void TestHiRes::failedSaveKeepsMarkAndFile_data() {
    QTest::addColumn<QString>("path");
    QTest::newRow("missing folder") << QString::fromStdString(dir_.file("no/such/folder/picture.jpeg"));
    QTest::newRow("a folder") << QString::fromStdString(dir_.file("folder.jpeg"));
    QTest::newRow("proc") << QStringLiteral("/proc/quarzelle-picture.jpeg");
}

void TestHiRes::failedSaveKeepsMarkAndFile() {
    QFETCH(QString, path);
    QDir().mkpath(QString::fromStdString(dir_.file("folder.jpeg")));
    uitest::App app;
    HiResWindow* window = requestWindow(app, 20);
    QVERIFY(window);
    bool saved = true;
    const QString message =
        closeNextMessageBox([&] { saved = app.controller->saveHiResWindow(window, path); });
    QVERIFY(!saved);
    QVERIFY2(message.startsWith(QStringLiteral("The image could not be saved as \"%1\": ").arg(path)),
             qPrintable(message));
    QVERIFY(message.size() > path.size() + 40);  // a reason follows the path
    QVERIFY(window->isWindowModified());
    QVERIFY(QFileInfo(QString::fromStdString(dir_.file("folder.jpeg"))).isDir());
    window->close();
}

void TestHiRes::failedEncodingKeepsExistingFile() {
    const std::string path = dir_.file("existing.jpeg");
    std::ofstream(path) << "previous content";
    // A view with nothing visible has nothing to encode.
    QWidget clip;
    clip.resize(0, 0);
    HiResView view(&clip);
    QString reason;
    QVERIFY(!view.writeToFile(QString::fromStdString(path), &reason));
    QVERIFY(!reason.isEmpty());
    QFile file(QString::fromStdString(path));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("previous content"));
    // No temporary left beside it.
    QCOMPARE(QDir(QString::fromStdString(dir_.path())).entryList({"existing*"}, QDir::Files).size(), 1);
}

QTEST_MAIN(TestHiRes)
#include "tst_hires.moc"

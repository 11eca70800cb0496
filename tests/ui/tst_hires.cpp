// High-resolution requests end to end: settings carried to a fresh renderer, the window and its
// title, enabling while it is key, and the JPEG export with its naming rule and failures.
#include <QtTest>

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>

#include "UiTestSupport.h"
#include "app/Controller.h"
#include "app/MainWindow.h"
#include "data/Data.h"
#include "render/Slices.h"
#include "ui/HiResPanel.h"
#include "ui/HiResView.h"
#include "ui/HiResWindow.h"
#include "ui/JpegExport.h"
#include "ui/PreviewView.h"
#include "ui/ProgressSheet.h"
#include "ui/SlicesSettings.h"

using namespace qz;

namespace {

void drag(QWidget* view, QPointF from, QPointF to) {
    auto send = [view](QEvent::Type type, QPointF local, Qt::MouseButton button) {
        QMouseEvent event(type, local, view->mapTo(view->window(), local), view->mapToGlobal(local), button,
                          Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(view, &event);
    };
    send(QEvent::MouseButtonPress, from, Qt::LeftButton);
    send(QEvent::MouseMove, to, Qt::NoButton);
}

// Closes the next message box and hands back its text.
QString closeNextMessageBox(std::function<void()> action) {
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

}  // namespace

class TestHiRes : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase();
    void init();
    void cleanup();
    void saveNameRule_data();
    void saveNameRule();
    void flowCarriesSettings_data();
    void flowCarriesSettings();
    void panelKeepsSettingsAndCancels();
    void titlesNeverRepeat();
    void enablingWhileKey();
    void savesVisiblePart();
    void failedSaveKeepsMarkAndFile_data();
    void failedSaveKeepsMarkAndFile();
    void failedEncodingKeepsExistingFile();

  private:
    HiResWindow* requestWindow();

    QTemporaryDir dir_;
    Controller* controller_ = nullptr;
};

void TestHiRes::initTestCase() {
    QVERIFY(dir_.isValid());
    // A bright ball in a dim box, so every view shows structure.
    const QString path = uitest::writeVolume(dir_.filePath("ball.dat"), 24, 20, 16, [](int x, int y, int z) {
        const double dx = x - 12.0, dy = y - 10.0, dz = z - 8.0;
        return dx * dx + dy * dy + dz * dz < 36.0 ? 3500 : 300 + 40 * x;
    });
    Data::sharedInstance().loadFromFileName(path.toStdString());
    QVERIFY(Data::sharedInstance().hasData());
}

void TestHiRes::init() {
    QVERIFY(uitest::startController(controller_));
    controller_->updateCommandStates();
}

void TestHiRes::cleanup() {
    uitest::stopController(controller_);
}

// Chooses Render in the panel with its current settings and waits for the window.
HiResWindow* TestHiRes::requestWindow() {
    Controller& c = *controller_;
    QSignalSpy opened(&c, &Controller::hiResWindowOpened);
    c.mainWindow()->activateWindow();
    if (!QTest::qWaitForWindowActive(c.mainWindow()))
        return nullptr;
    c.hiResAction()->trigger();
    if (!c.hiResPanel()->isVisible())
        return nullptr;
    c.hiResPanel()->renderButton()->click();
    if (!opened.wait(20000) && opened.isEmpty())
        return nullptr;
    auto* window = opened.takeFirst().at(0).value<HiResWindow*>();
    return QTest::qWaitForWindowActive(window) ? window : nullptr;
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
    Controller& c = *controller_;
    // The preview's slice renderer moves to axis 0; a fresh slice renderer must not follow it.
    c.slicesView()->axisGroup()->button(0)->click();
    if (kind == "Volume")
        c.volumeAction()->trigger();
    if (kind == "MIP")
        c.mipAction()->trigger();
    drag(c.previewView(), QPointF(40, 40), QPointF(63, 29));
    Renderer* preview = c.previewView()->renderer();
    const _Vector orientation = preview->orientation();
    QVERIFY(orientation.x != 0.0f && orientation.y != 0.0f);

    c.hiResAction()->trigger();
    QVERIFY(c.hiResPanel()->isVisible());
    c.hiResPanel()->resolutionBox()->setValue(resolution);
    c.hiResPanel()->shadingBox()->setChecked(shading);
    QSignalSpy opened(&c, &Controller::hiResWindowOpened);
    c.hiResPanel()->renderButton()->click();

    // Behind the progress sheet nothing may load or render.
    QVERIFY(!c.hiResPanel()->isVisible());
    QVERIFY(c.progressPanel()->isVisible());
    QVERIFY(c.isRenderingHiRes());
    QVERIFY(!c.openAction()->isEnabled());
    QVERIFY(!c.hiResAction()->isEnabled());
    QVERIFY(!c.slicesAction()->isEnabled());

    QVERIFY(opened.wait(20000) || !opened.isEmpty());
    auto* window = opened.takeFirst().at(0).value<HiResWindow*>();
    QVERIFY(!c.progressPanel()->isVisible());
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
    if (kind == "Slices") {
        auto* slices = dynamic_cast<Slices*>(renderer.get());
        QVERIFY(slices);
        QCOMPARE(slices->axis(), 2);
        QCOMPARE(slices->depth(), 0.5f);
    } else {
        QCOMPARE(renderer->width(), resolution + resolution % 2);
    }

    // The content area has exactly the image's size, the image fills it, and the window sits in
    // the lower-left corner of the screen's available area, its frame included.
    QCOMPARE(window->hiResView()->size(), QSize(renderer->width(), renderer->height()));
    QCOMPARE(window->canvas()->size(), window->hiResView()->size());
    QCOMPARE(window->hiResView()->visibleRect(), window->hiResView()->rect());
    const QRect area = c.mainWindow()->screen()->availableGeometry();
    QCOMPARE(window->frameGeometry().bottomLeft(), area.bottomLeft());
    const QWidget* view = window->hiResView();
    QCOMPARE(view->mapTo(window, QPoint(0, view->height() - 1)), QPoint(0, window->height() - 1));
}

void TestHiRes::panelKeepsSettingsAndCancels() {
    Controller& c = *controller_;
    c.hiResAction()->trigger();
    c.hiResPanel()->resolutionBox()->setValue(300);
    c.hiResPanel()->shadingBox()->setChecked(true);
    c.hiResPanel()->cancelButton()->click();
    QVERIFY(!c.hiResPanel()->isVisible());
    QVERIFY(!c.isBusy());
    QCOMPARE(c.untitledCounter(), 0);

    c.hiResAction()->trigger();
    QCOMPARE(c.hiResPanel()->resolutionBox()->value(), 300);
    QVERIFY(c.hiResPanel()->shadingBox()->isChecked());
    QCOMPARE(c.hiResQuality(), 300);
    QVERIFY(c.doShading());
    // Only sizes a renderer can make are accepted.
    c.hiResPanel()->resolutionBox()->setValue(0);
    QCOMPARE(c.hiResQuality(), 1);
    c.hiResPanel()->resolutionBox()->setValue(1 << 20);
    QCOMPARE(c.hiResQuality(), HiResPanel::kMaxResolution);
    c.hiResPanel()->reject();
}

void TestHiRes::titlesNeverRepeat() {
    Controller& c = *controller_;
    c.hiResPanel()->resolutionBox()->setValue(16);
    HiResWindow* first = requestWindow();
    QVERIFY(first);
    HiResWindow* second = requestWindow();
    QVERIFY(second);
    QPointer<HiResWindow> closed(first);
    first->close();
    QTRY_VERIFY(!closed);  // freed on close
    second->close();
    HiResWindow* third = requestWindow();
    QVERIFY(third);
    QCOMPARE(third->windowTitle(), QStringLiteral("Untitled3[*]"));
    QCOMPARE(c.untitledCounter(), 3);
}

void TestHiRes::enablingWhileKey() {
    Controller& c = *controller_;
    c.hiResPanel()->resolutionBox()->setValue(16);
    HiResWindow* window = requestWindow();
    QVERIFY(window);
    QCOMPARE(Controller::keyWindow(), static_cast<QWidget*>(window));
    QVERIFY(c.closeAction()->isEnabled());
    QVERIFY(c.saveAsAction()->isEnabled());
    QVERIFY(!c.hiResAction()->isEnabled());
    // Its own menu bar carries the file commands, and opening that menu keeps them enabled.
    QVERIFY(window->menuBar()->actions().contains(c.fileMenu()->menuAction()));
    c.fileMenu()->popup(window->mapToGlobal(QPoint(0, 0)));
    QTRY_VERIFY(c.fileMenu()->isVisible());
    c.updateCommandStates();
    QVERIFY(c.saveAsAction()->isEnabled());
    QVERIFY(!c.hiResAction()->isEnabled());
    c.fileMenu()->close();

    c.mainWindow()->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(c.mainWindow()));
    QVERIFY(!c.closeAction()->isEnabled());
    QVERIFY(!c.saveAsAction()->isEnabled());
    QVERIFY(c.hiResAction()->isEnabled());
    c.close();  // never the main window
    QVERIFY(c.mainWindow()->isVisible());
    QVERIFY(window->isVisible());

    QPointer<HiResWindow> guard(window);
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window));
    c.closeAction()->trigger();
    QTRY_VERIFY(!guard);
    QVERIFY(c.mainWindow()->isVisible());
}

void TestHiRes::savesVisiblePart() {
    Controller& c = *controller_;
    c.volumeAction()->trigger();
    c.hiResPanel()->resolutionBox()->setValue(80);
    HiResWindow* window = requestWindow();
    QVERIFY(window);
    const QSize imageSize = window->hiResView()->size();
    QCOMPARE(imageSize, QSize(80, 80));

    QVERIFY(c.saveHiResWindow(window, dir_.filePath("whole")));
    QVERIFY(!window->isWindowModified());
    const QImage whole(dir_.filePath("whole.jpeg"));
    QCOMPARE(whole.size(), imageSize);
    // The file holds what the window shows: compare with the view's own drawing.
    QVERIFY(meanDifference(
                whole, window->hiResView()->grab().toImage().convertToFormat(QImage::Format_RGB32)) < 4.0);

    // Smaller by 30 x 20: the image stays at the lower-left, its top and right edges are cut off.
    window->resize(window->width() - 30, window->height() - 20);
    QTRY_COMPARE(window->hiResView()->visibleRect(), QRect(0, 20, 50, 60));
    QVERIFY(c.saveHiResWindow(window, dir_.filePath("part.JPG")));
    const QImage part(dir_.filePath("part.JPG"));
    QCOMPARE(part.size(), QSize(50, 60));
    QVERIFY(meanDifference(part, whole.copy(0, 20, 50, 60)) < 6.0);
    // A window saved again keeps working; the mark stays clear.
    QVERIFY(!window->isWindowModified());
}

void TestHiRes::failedSaveKeepsMarkAndFile_data() {
    QTest::addColumn<QString>("path");
    QTest::newRow("missing folder") << dir_.filePath("no/such/folder/picture.jpeg");
    QTest::newRow("a folder") << dir_.path() + "/folder.jpeg";
    QTest::newRow("proc") << QStringLiteral("/proc/quarzelle-picture.jpeg");
}

void TestHiRes::failedSaveKeepsMarkAndFile() {
    QFETCH(QString, path);
    QDir(dir_.path()).mkpath("folder.jpeg");
    Controller& c = *controller_;
    c.hiResPanel()->resolutionBox()->setValue(20);
    HiResWindow* window = requestWindow();
    QVERIFY(window);
    bool saved = true;
    const QString message = closeNextMessageBox([&] { saved = c.saveHiResWindow(window, path); });
    QVERIFY(!saved);
    QVERIFY2(message.contains(path), qPrintable(message));
    QVERIFY(message.size() > path.size() + 30);  // a reason follows the path
    QVERIFY(window->isWindowModified());
    QVERIFY(QFileInfo(dir_.path() + "/folder.jpeg").isDir());
}

void TestHiRes::failedEncodingKeepsExistingFile() {
    const QString path = dir_.filePath("existing.jpeg");
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("previous content");
    }
    // A view with nothing visible has nothing to encode.
    QWidget clip;
    clip.resize(0, 0);
    HiResView view(&clip);
    QString reason;
    QVERIFY(!view.writeToFile(path, &reason));
    QVERIFY(!reason.isEmpty());
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("previous content"));
    QCOMPARE(QDir(dir_.path()).entryList({"existing*"}, QDir::Files).size(), 1);  // no temporary left
}

QTEST_MAIN(TestHiRes)
#include "tst_hires.moc"

// High-resolution requests end to end: settings, the window, enabling, the JPEG export and its failures.

#include "UiTestSupport.h"

using namespace qz;

namespace {

// Renders with the panel's settings and returns the new window once it is key.
HiResWindow* requestWindow(uitest::App& app, int resolution, bool shading = false) {
    const QList<HiResWindow*> before = uitest::hiResWindows();
    app.actions.hiRes->trigger();
    app.window->hiResPanel()->resolutionBox()->setValue(resolution);
    app.window->hiResPanel()->shadingBox()->setChecked(shading);
    app.window->hiResPanel()->renderButton()->click();
    QTest::qWaitFor([&] { return uitest::hiResWindows().size() > before.size(); }, 20000);
    for (HiResWindow* window : uitest::hiResWindows())
        if (!before.contains(window))
            return QTest::qWaitForWindowActive(window) ? window : nullptr;
    return nullptr;
}

// Answers every message box that comes up while it lives with the button whose text starts with
// `button`, and keeps the boxes' texts; cancels every file panel.
struct Answerer {
    explicit Answerer(const QString& button) {
        QObject::connect(&timer, &QTimer::timeout, [this, button] {
            if (auto* panel = qobject_cast<QFileDialog*>(QApplication::activeModalWidget()))
                panel->reject();
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            for (QAbstractButton* b : box ? box->buttons() : QList<QAbstractButton*>())
                if (b->text().remove('&').startsWith(button)) {
                    texts.append(box->text());
                    b->click();
                    break;
                }
        });
        timer.start(10);
    }
    QTimer timer;
    QStringList texts;
};

// Mean absolute difference of two equally sized images, per channel.
double meanDifference(const QImage& a, const QImage& b) {
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            for (int shift : {0, 8, 16})
                sum += qAbs(int((a.pixel(x, y) >> shift) & 255) - int((b.pixel(x, y) >> shift) & 255));
    return sum / (3.0 * a.width() * a.height());
}

}  // namespace

class TestHiRes : public QObject {
    Q_OBJECT

    qz::testing::TempDir dir_;
    QString file(const char* name) const { return QString::fromStdString(dir_.file(name)); }

  private slots:
    void initTestCase() {
        // A bright ball in a dim box, so every view shows structure.
        const QString path = uitest::writeVolume(dir_, "ball.dat", 24, 20, 16, [](int x, int y, int z) {
            return (x - 12) * (x - 12) + (y - 10) * (y - 10) + (z - 8) * (z - 8) < 36 ? 3500 : 300 + 40 * x;
        });
        Data::sharedInstance().loadFromFileName(path.toStdString());
        QVERIFY(Data::sharedInstance().hasData());
    }

    void saveNameRule() {
        // Only a .png, .jpg or .jpeg extension of the file name itself, in any case, is kept; the
        // PNG filter (P) gives the others .png.
        const QString rows =
            "p:p.jpeg p.jpg:p.jpg p.jpeg:p.jpeg p.JPG:p.JPG p.Jpeg:p.Jpeg p.png:p.png p.PNG:p.PNG "
            "p.jpg.txt:p.jpg.txt.jpeg a.jpg/p:a.jpg/p.jpeg Pp:p.png Pp.jpg:p.jpg Pp.txt:p.txt.png";
        for (QString row : rows.split(' ')) {
            const QString filter = row.startsWith('P') ? kPngFilter : kJpegFilter;
            row.remove(QRegularExpression("^P"));
            QCOMPARE(imageSavePath("/t/" + row.section(':', 0, 0), filter), "/t/" + row.section(':', 1));
        }
    }

    void flowCarriesSettings() {
        for (const auto& [action, resolution, shading] :
             {std::tuple("Slices", 64, false), {"Volume", 48, true}, {"MIP", 33, false}}) {
            uitest::App app;
            QVERIFY(app.activate());
            const MainWindow::Actions& a = app.actions;
            // The preview's slice renderer moves to axis 0; a fresh slice renderer must not follow it.
            app.window->slicesSettings()->findChildren<QRadioButton*>().at(0)->click();
            for (QAction* item : a.renderers->actions())
                if (item->text() == action)
                    item->trigger();
            uitest::pressAndDrag(app.window->previewView(), QPointF(40, 40), QPointF(63, 29));
            Renderer* preview = app.window->previewView()->renderer();
            const _Vector orientation = preview->orientation();
            QVERIFY(orientation.x != 0.0f && orientation.y != 0.0f);
            // Behind the progress sheet nothing may load or render.
            QObject::connect(app.window->hiResPanel()->renderButton(), &QPushButton::clicked, [&] {
                QVERIFY(app.window->progressSheet()->isVisible() && !app.window->hiResPanel()->isVisible());
                QVERIFY(!a.open->isEnabled() && !a.hiRes->isEnabled() && !a.renderers->isEnabled());
            });
            HiResWindow* window = requestWindow(app, resolution, shading);
            QVERIFY(window && !app.window->progressSheet()->isVisible());
            QCOMPARE(window->windowTitle(), QStringLiteral("Untitled1[*]"));
            QVERIFY(window->isWindowModified());
            const std::shared_ptr<Renderer>& r = window->hiResView()->renderer();
            QVERIFY(r.get() != preview && r->className() == QString(action));
            QVERIFY(r->maxImageResolution() == resolution && r->doShading() == shading && r->quality() == 1);
            QVERIFY(r->orientation().x == orientation.x && r->orientation().y == orientation.y);
            // What the preview shows: a slice renderer's axis and depth, consistent opacity.
            if (auto* slices = dynamic_cast<Slices*>(r.get()))
                QVERIFY(slices->axis() == 0 && slices->depth() == 0.5f);
            if (auto* volume = dynamic_cast<Volume*>(r.get()))
                QVERIFY(volume->opacityCorrection() == (action == QString("Volume")));
            // The image at its size, the window in the screen's lower-left corner.
            QCOMPARE(window->hiResView()->imageRect().size(), QSizeF(r->width(), r->height()));
            QCOMPARE(window->frameGeometry().bottomLeft(),
                     app.window->screen()->availableGeometry().bottomLeft());
        }
    }

    void titlesAndEnablingWhileKey() {
        uitest::App app;
        const MainWindow::Actions& a = app.actions;
        HiResWindow* first = requestWindow(app, 16);
        QVERIFY(first && a.close->isEnabled() && a.saveAs->isEnabled() && !a.hiRes->isEnabled());
        // Its own menu bar carries the file commands. The panel kept its settings.
        QVERIFY(first->menuBar()->actions().contains(app.window->menuBar()->actions().front()));
        QVERIFY(app.activate());
        QVERIFY(!a.close->isEnabled() && !a.saveAs->isEnabled() && a.hiRes->isEnabled());
        a.hiRes->trigger();
        QCOMPARE(app.window->hiResPanel()->resolutionBox()->value(), 16);
        app.window->hiResPanel()->reject();
        a.close->trigger();  // never the main window
        QVERIFY(app.window->isVisible() && first->isVisible());
        first->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(first));
        QPointer<HiResWindow> closed(first);
        {
            const Answerer discard("Discard");  // an unsaved picture is asked about first
            a.close->trigger();
            QTRY_VERIFY(!closed);  // freed on close
        }
        // Numbers count on and never repeat a closed window's.
        HiResWindow* second = requestWindow(app, 16);
        QVERIFY(second && second->windowTitle() == "Untitled2[*]");
    }

    void savesImageAndFailures() {
        uitest::App app;
        app.actions.volume->trigger();
        HiResWindow* window = requestWindow(app, 80);
        QVERIFY(window && window->hiResView()->size() == QSize(80, 80));
        // An unwritable path: the user is told the path and the reason; the mark and the folder stay.
        QDir().mkpath(file("folder.jpeg"));
        for (const QString& bad :
             {file("no/such/folder/p.jpeg"), file("folder.jpeg"), QString("/proc/qz.jpeg")}) {
            const Answerer ok("OK");
            QVERIFY(!app.controller->saveHiResWindow(window, bad));
            const QString message = ok.texts.value(0);
            QVERIFY2(message.startsWith("The image could not be saved as \"" + bad + "\": "),
                     qPrintable(message));
            QVERIFY(ok.texts.size() == 1 && message.size() > bad.size() + 40 && window->isWindowModified());
        }
        QVERIFY(QFileInfo(file("folder.jpeg")).isDir());

        // PNG keeps the renderer's bytes; the JPEG decodes to what the window shows.
        const std::shared_ptr<const RgbaImage> image = window->hiResView()->renderer()->imageRef();
        QVERIFY(app.controller->saveHiResWindow(window, file("exact"), kPngFilter));
        QVERIFY(!window->isWindowModified());
        const QImage png = QImage(file("exact.png")).convertToFormat(QImage::Format_RGBA8888);
        QVERIFY(png.size() == QSize(80, 80) &&
                std::equal(image->pixels.begin(), image->pixels.end(), png.constBits()));
        QVERIFY(app.controller->saveHiResWindow(window, file("whole.JPG")));
        const QImage jpeg(file("whole.JPG"));
        QVERIFY(jpeg.size() == QSize(80, 80) &&
                meanDifference(jpeg, window->hiResView()->grab().toImage()) < 2.0);
    }

    // Larger than the screen: scaled to fit it; Actual Size shows every pixel, scrolling.
    void largeImagesFitTheScreen() {
        uitest::App app;
        app.actions.mip->trigger();
        HiResWindow* window = requestWindow(app, 1500);
        QVERIFY(window);
        const QRect area = app.window->screen()->availableGeometry();
        QVERIFY(area.contains(window->frameGeometry()));
        const QRectF shown = window->hiResView()->imageRect();
        QVERIFY(shown.width() < 1500 && shown.height() == window->hiResView()->height());
        window->actualSizeAction()->trigger();
        QTRY_COMPARE(window->hiResView()->size(), QSize(1500, 1500));
        QVERIFY(window->scrollArea()->horizontalScrollBar()->maximum() > 0);
        window->actualSizeAction()->trigger();
        QTRY_COMPARE(window->hiResView()->size(), window->scrollArea()->viewport()->size());
    }

    void unsavedPicturesAndCancelledRenders() {
        uitest::App app;
        HiResWindow* first = requestWindow(app, 16);
        QVERIFY(first);
        // A name the save rule extends is replaced only when confirmed; the panel adds the suffix itself.
        std::ofstream(dir_.file("noext.jpeg")) << "keep";
        for (const auto& [button, saved] : {std::pair("Cancel", false), {"Replace", true}}) {
            const Answerer answer(button);
            QCOMPARE(app.controller->saveHiResWindow(first, file("noext")), saved);
            QCOMPARE(answer.texts, QStringList{"\"noext.jpeg\" already exists. Do you want to replace it?"});
            QCOMPARE(QImage(file("noext.jpeg")).isNull(), !saved);
        }
        first->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(first));
        QTimer::singleShot(0, [this] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog && dialog->defaultSuffix() == "jpeg");
            dialog->selectFile(file("picked"));
            static_cast<QDialog*>(dialog)->accept();
        });
        app.actions.saveAs->trigger();
        QVERIFY(QFileInfo::exists(file("picked.jpeg")));

        // Closing an unsaved picture asks; Cancel keeps it.
        HiResWindow* second = requestWindow(app, 16);
        QPointer<HiResWindow> kept(second);
        for (const char* button : {"Cancel", "Save"}) {  // Save opens the panel: cancelled there too
            const Answerer answer(button);
            QVERIFY(!second->close());
            QVERIFY(kept && answer.texts.size() == 1 && answer.texts[0].contains("\"Untitled2\""));
        }

        // The sheet's Cancel stops a render: no window, the next render numbered on.
        app.window->activateWindow();
        app.window->hiResPanel()->resolutionBox()->setValue(8192);
        app.window->hiResPanel()->renderButton()->click();
        app.window->progressSheet()->cancelButton()->click();
        QVERIFY(app.idle() && !app.window->progressSheet()->isVisible());
        HiResWindow* third = requestWindow(app, 16);
        QVERIFY(third && third->windowTitle() == "Untitled3[*]" && uitest::hiResWindows().size() == 3);

        // Quit while a render runs asks once about the unsaved pictures, stops it and closes all.
        app.window->activateWindow();
        app.window->hiResPanel()->resolutionBox()->setValue(8192);
        app.window->hiResPanel()->renderButton()->click();
        {
            const Answerer answer("Quit Without Saving");
            app.actions.quit->trigger();
            QCOMPARE(answer.texts, QStringList{"2 pictures have not been saved."});
        }
        QVERIFY(!app.window->isVisible() && app.idle());
        QTRY_VERIFY(uitest::hiResWindows().isEmpty());
    }

    void failedEncodingKeepsExistingFile() {
        std::ofstream(dir_.file("existing.jpeg")) << "previous content";
        HiResView view;  // a view without an image has nothing to encode
        QString reason;
        QVERIFY(!view.writeToFile(file("existing.jpeg"), &reason) && !reason.isEmpty());
        QFile existing(file("existing.jpeg"));
        QVERIFY(existing.open(QIODevice::ReadOnly) && existing.readAll() == "previous content");
        QCOMPARE(QDir(QString::fromStdString(dir_.path())).entryList({"existing*"}, QDir::Files).size(), 1);
    }
};

QTEST_MAIN(TestHiRes)
#include "tst_hires.moc"

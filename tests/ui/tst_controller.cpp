// The main window and its controller: menus, renderers, progress, opening, transfer function files.

#include "UiTestSupport.h"

using namespace qz;

class TestController : public QObject {
    Q_OBJECT

    // A drag entering the window and a drop of url, sent straight to the window (QApplication routes
    // these events only while a drag runs); whether the drag was taken.
    static bool drop(MainWindow* window, const QUrl& url) {
        QMimeData mime;
        mime.setUrls({url});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        static_cast<QObject*>(window)->event(&enter);
        static_cast<QObject*>(window)->event(&drop);
        return enter.isAccepted();
    }
    qz::testing::TempDir dir_;
    QString ramp(const std::string& name, int x) {
        return uitest::writeVolume(dir_, name, x, x * 3 / 4, 8,
                                   [x](int i, int, int) { return i * 4095 / (x - 1); });
    }

  private slots:
    void initTestCase() {
        QStandardPaths::setTestModeEnabled(true);  // settings apart from the user's
        QSettings().clear();
    }

    void startUpMenusAndRendererSwitching() {
        uitest::App app;
        QVERIFY(app.activate());
        const MainWindow::Actions& a = app.actions;
        QVERIFY(!Data::sharedInstance().hasData());
        QCOMPARE(app.window->windowTitle(), QStringLiteral("Quarzelle"));
        // File, Edit, View, Transfer Function and Render; enabled without a volume, the main window
        // key: Open, Quit, the renderers.
        const MainWindow::TransferFktActions& t = app.window->transferFktActions();
        const QList<QAction*> menus = app.window->menuBar()->actions();
        QCOMPARE(menus.size(), 5);
        const QList<QAction*> file = menus[0]->menu()->actions();
        QVERIFY(file.size() == 7 && file[5]->isSeparator());
        QCOMPARE(file, (QList<QAction*>{a.open, a.openFolder, a.densityWindow, a.close, a.saveAs, file[5],
                                        a.quit}));
        QCOMPARE(menus[1]->menu()->actions(), (QList<QAction*>{t.undo, t.redo}));
        const QList<QAction*> view = menus[2]->menu()->actions();
        QVERIFY(view.size() == 14 && view.mid(0, 3) == (QList<QAction*>{a.slices, a.volume, a.mip}));
        QVERIFY(view.mid(4, 2) == (QList<QAction*>{a.shading, a.consistentOpacity}) &&
                view.mid(8) == a.views);
        QCOMPARE(view[6]->menu()->actions(), (QList<QAction*>{a.fitPreview, a.classicPreview}));
        // Shaded, consistent, fitting previews by default, in a window of two thirds of the screen.
        QVERIFY(a.shading->isChecked() && a.consistentOpacity->isChecked() && a.fitPreview->isChecked());
        QCOMPARE(app.window->size(), app.window->screen()->availableGeometry().size() * 2 / 3);
        QList<QAction*> tf = menus[3]->menu()->actions();
        QCOMPARE(tf.size(), 10);
        QCOMPARE(tf.mid(0, 2) + tf.mid(3, 5) + tf.mid(9),
                 (QList<QAction*>{t.open, t.saveAs} + t.presets + QList<QAction*>{t.reset}));
        QCOMPARE(menus[4]->menu()->actions(), QList<QAction*>{a.hiRes});
        QVERIFY(a.open->isEnabled() && a.quit->isEnabled() && a.renderers->isEnabled());
        QVERIFY(!a.close->isEnabled() && !a.saveAs->isEnabled() && !a.hiRes->isEnabled());
        const std::pair<QAction*, QKeySequence::StandardKey> keys[] = {
            {a.open, QKeySequence::Open}, {a.close, QKeySequence::Close}, {a.saveAs, QKeySequence::SaveAs},
            {a.quit, QKeySequence::Quit}, {t.undo, QKeySequence::Undo},   {t.redo, QKeySequence::Redo}};
        for (const auto& [action, key] : keys)  // the platform's keys, or ours where it has none
            QVERIFY(QKeySequence::keyBindings(key).isEmpty()
                        ? !action->shortcut().isEmpty()
                        : action->shortcuts() == QKeySequence::keyBindings(key));
        a.hiRes->trigger();  // refused without a volume
        QVERIFY(!app.window->hiResPanel()->isVisible() && !app.window->progressSheet()->isVisible());

        // Slices first with the dock; small previews, Volume and MIP unshaded without interpolation.
        auto* slices = dynamic_cast<Slices*>(app.window->previewView()->renderer());
        QVERIFY(slices && a.slices->isChecked() && app.window->slicesDrawer()->isVisible());
        for (QAction* action : {a.volume, a.mip, a.slices}) {
            action->trigger();
            for (QAction* item : a.renderers->actions())
                QCOMPARE(item->isChecked(), item == action);
            Renderer* r = app.window->previewView()->renderer();
            QCOMPARE(QString(r->className()), action->text());
            QVERIFY(r->maxImageResolution() == 100 && r->quality() == (action == a.slices) &&
                    !r->doShading());
            QCOMPARE(app.window->slicesDrawer()->isVisible(), action == a.slices);
        }
        app.window->previewView()->grab();  // the empty preview draws nothing

        // The slice settings reach the slice renderer, also while another one is shown.
        a.volume->trigger();
        SlicesSettings* settings = app.window->slicesSettings();
        QVERIFY(settings->axis() == 2 && settings->depth() == 0.5);
        settings->findChildren<QRadioButton*>().at(0)->click();
        settings->findChild<QSlider*>()->setValue(250);
        QVERIFY(slices->axis() == 0 && slices->depth() == 0.25f);
        settings->findChild<QDoubleSpinBox*>()->setValue(0.8);
        QVERIFY(settings->findChild<QSlider*>()->value() == 800 && slices->depth() == 0.8f);
        QCOMPARE(QString(app.window->previewView()->renderer()->className()), "Volume");
    }

    // The View menu's settings and the window's geometry outlive the window.
    void settingsAreRemembered() {
        QRect geometry;
        {
            uitest::App app;
            app.actions.shading->trigger();
            app.actions.classicPreview->trigger();
            app.window->setGeometry(30, 40, 500, 400);
            geometry = app.window->geometry();
            app.window->close();
        }
        uitest::App app(true);
        QVERIFY(!app.actions.shading->isChecked() && app.actions.classicPreview->isChecked());
        QVERIFY(!app.window->hiResPanel()->shadingBox()->isChecked());
        QVERIFY(app.window->previewView()->previewSize() == PreviewView::Size::Classic);
        QCOMPARE(app.window->geometry(), geometry);
    }

    void progressReachesSheetFromWorkerThread() {
        uitest::App app;
        ProgressSheet* sheet = app.window->progressSheet();
        UserInfo info{{"info", std::string("read x.dat")}, {"progress", 40}};
        std::thread([&] {
            Data::sharedInstance().notificationCenter().post(kUpdateProgressBar, nullptr, &info);
        }).join();
        QCOMPARE(sheet->progress(), 0);  // only the queued call on this thread changes the sheet
        QTRY_COMPARE(sheet->progress(), 40);
        QVERIFY(sheet->info() == "read x.dat" && !sheet->isVisible());
        // Opening shows the sheet, the bar reset, the text kept until the first update.
        QVERIFY(app.controller->openFile(QString::fromStdString(dir_.file("missing.dat"))));
        QVERIFY(sheet->isVisible() && sheet->progress() == 0 && sheet->info() == "read x.dat");
        QTRY_VERIFY(app.idle());
        QVERIFY(!sheet->isVisible() && sheet->info().isEmpty());
    }

    // On X11 without a window manager (ctest's tst_controller_xvfb): the sheet is painted and
    // its bar follows the progress.
    void progressSheetPaintsUnderX11() {
        if (QGuiApplication::platformName() != "xcb")
            QSKIP("runs under Xvfb as tst_controller_xvfb");
        uitest::App app;
        ProgressSheet* sheet = app.window->progressSheet();
        sheet->setInfo("calculate volume");
        sheet->open();
        QVERIFY(QTest::qWaitForWindowExposed(sheet));
        auto shown = [sheet](int& bright, int& bar) {  // pixels as the X server has them
            const QImage image = sheet->screen()->grabWindow(sheet->winId()).toImage();
            bright = bar = 0;
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x) {
                    const QColor c = image.pixelColor(x, y);
                    bright += c.lightness() > 128;
                    bar += c.blue() > c.red() + 60;
                }
            return bright > image.width() * image.height() / 2;
        };
        int bright = 0, low = 0, high = 0;
        sheet->setProgress(20);
        QTRY_VERIFY(shown(bright, low) && low > 0);
        sheet->setProgress(70);
        QTRY_VERIFY(shown(bright, high) && high > 2 * low);
    }

    void openAndFailedOpens() {
        uitest::App app;
        const MainWindow::Actions& a = app.actions;
        const QString path = ramp("head.dat", 16);
        QVERIFY(app.controller->openFile(path));
        // Until the load ends the sheet is up and nothing may load or render.
        QVERIFY(app.window->progressSheet()->isVisible() && !app.window->progressSheet()->isModal());
        QVERIFY(!a.open->isEnabled() && !a.hiRes->isEnabled() && !a.renderers->isEnabled());
        QVERIFY(!app.controller->openFile(path));
        QTRY_VERIFY(app.idle());
        QCOMPARE(app.window->windowTitle(), QStringLiteral("Quarzelle - head.dat"));
        QCOMPARE(app.window->volumeLabel()->text(),
                 "head.dat   16 × 12 × 8 voxels   spacing 1 × 1 × 1 mm   densities 0 – 4095");
        QVERIFY(!app.window->progressSheet()->isVisible() && a.hiRes->isEnabled() &&
                a.renderers->isEnabled());
        // The preview re-renders the new volume: 16 x 12 samples, 4 : 3.
        Renderer* preview = app.window->previewView()->renderer();
        QTRY_VERIFY(!preview->needsUpdateImage());
        QCOMPARE(preview->imageRef()->height * 4, preview->imageRef()->width * 3);

        // An edit while the slices are hidden shows once they are back, over black.
        a.volume->trigger();
        TransferFkt& fkt = TransferFkt::sharedInstance();
        fkt.addOpacityReferencePointForDensity(0, 0);
        fkt.addOpacityReferencePointForDensity(4095, 0);
        fkt.update();
        a.slices->trigger();
        const QImage shown = app.window->previewView()->grab().toImage();
        QVERIFY(preview->imageRef()->pixels[3] == 0 && shown.pixel(shown.rect().center()) == qRgb(0, 0, 0));
        fkt.setReferencePoints(TransferFktPoints::greyRamp());

        // Failed, refused and cancelled opens keep the volume and the title and say why in plain
        // words in the status bar, the loader's line in its tooltip.
        std::filesystem::create_directory(dir_.file("folder.dat"));
        const QString big =
            uitest::writeVolume(dir_, "big.dat", 256, 256, 64, [](int, int, int) { return 900; });
        const std::tuple<std::string, std::string, QString> bad[] = {
            {"short.dat", std::string("\x01\x00\x01", 3),
             "The file is shorter than a volume header (6 bytes)."},
            {"odd.dat", std::string("\x02\0\x02\0\x02\0\x01\0", 8),
             "The file is shorter than its header says: 8 of 22 bytes."},
            {"zero.dat", std::string("\0\0\4\0\4\0", 6), "no samples"},
            {"missing.dat", "", "The file does not exist."},
            {"folder.dat", "", "This is a folder, not a volume file."},
            {"big.dat", "", "was cancelled"}};
        for (const auto& [name, bytes, reason] : bad) {
            if (!bytes.empty())
                std::ofstream(dir_.file(name), std::ios::binary) << bytes;
            QVERIFY(app.controller->openFile(QString::fromStdString(dir_.file(name))));
            if (name == "big.dat")
                app.window->progressSheet()->cancelButton()->click();
            QTRY_VERIFY(app.idle());
            QVERIFY(!app.window->progressSheet()->isVisible() && a.hiRes->isEnabled());
            QCOMPARE(app.window->windowTitle(), QStringLiteral("Quarzelle - head.dat"));
            QCOMPARE(Data::sharedInstance().xDim(), 16);
            const QString message = app.window->statusBar()->currentMessage();
            QVERIFY2(message.contains("\"" + QString(name.c_str()) + "\"") &&
                         message.contains(reason, Qt::CaseInsensitive),
                     qPrintable(message));
            QVERIFY(name == "big.dat" || app.window->statusBar()->toolTip().startsWith("Data:Error: "));
        }
    }

    void droppedFiles() {
        // One local volume (a .dat file in any case, a scan file, a DICOM folder) is taken; anything
        // else is refused.
        const QUrl dat = QUrl::fromLocalFile(ramp("dropped.dat", 10)), remote("https://example.org/a.dat");
        auto taken = [](const QList<QUrl>& urls) {
            QMimeData mime;
            mime.setUrls(urls);
            return MainWindow::droppedVolumePath(&mime);
        };
        const QUrl raw = QUrl::fromLocalFile(ramp("dropped.raw", 10));
        QVERIFY(taken({remote}).isEmpty() && taken({dat, dat}).isEmpty() && taken({raw}).isEmpty());
        for (const QString& path : {ramp("DROPPED.DAT", 10), QStringLiteral("/d/brain.nii.gz"),
                                    QStringLiteral("/d/lung.MHA"), QDir::tempPath()})
            QCOMPARE(taken({QUrl::fromLocalFile(path)}), path);
        uitest::App app;  // dropped on the window: refused, or opened
        QVERIFY(!drop(app.window, remote) && app.idle());
        QVERIFY(drop(app.window, dat) && !app.idle());
        QTRY_VERIFY(app.idle());
        QCOMPARE(app.window->windowTitle(), QStringLiteral("Quarzelle - dropped.dat"));
    }

    void transferFunctionFilesPresetsUndoAndMemory() {
        TransferFkt& fkt = TransferFkt::sharedInstance();
        const ColorTable ramp = fkt.table();
        const QString saved = QString::fromStdString(dir_.file("saved.tf"));
        ColorTable shaped;
        {
            uitest::App app;
            TransferFktCommands* c = app.controller->transferFktCommands();
            const MainWindow::TransferFktActions& t = app.window->transferFktActions();
            c->restoreRemembered();
            QStringList names;
            for (QAction* preset : t.presets) {
                preset->trigger();
                names << preset->text();
                QVERIFY(fkt.table() != ramp);
            }
            QCOMPARE(names.join(' '), "ct-bone ct-skin ct-skin-bone mip-vessels mri-brain");
            QCOMPARE(app.window->transferFktHistory()->stack()->count(), 5);
            // Saved, reset and reopened: the same table; each an undo step.
            shaped = fkt.table();
            QString reason;
            QVERIFY(c->saveFile(saved, &reason));
            t.reset->trigger();
            QCOMPARE(fkt.table(), ramp);
            QVERIFY(c->openFile(saved, &reason));
            QCOMPARE(fkt.table(), shaped);
            t.undo->trigger();
            QCOMPARE(fkt.table(), ramp);
            t.redo->trigger();
            // Files that cannot be read or written say why and change nothing.
            const QString bad = QString::fromStdString(dir_.write("bad.tf", "alpha 10 20\nbeta 3\n"));
            QVERIFY(!c->openFile(bad, &reason) && reason.startsWith("line 2: unknown command 'beta'"));
            QVERIFY(!c->saveFile(QString::fromStdString(dir_.file("none/x.tf")), &reason) &&
                    !reason.isEmpty());
            QVERIFY(!c->applyPreset("ct-nothing"));
            QCOMPARE(fkt.table(), shaped);
            // A dropped .tf file opens.
            t.reset->trigger();
            QVERIFY(drop(app.window, QUrl::fromLocalFile(saved)) && app.idle());
            QCOMPARE(fkt.table(), shaped);
        }
        // The next run starts with the last function.
        fkt.setReferencePoints(TransferFktPoints::greyRamp());
        uitest::App app(true);
        app.controller->transferFktCommands()->restoreRemembered();
        QCOMPARE(fkt.table(), shaped);
        app.window->transferFktActions().reset->trigger();
    }
};

QTEST_MAIN(TestController)
#include "tst_controller.moc"

// The real program on a camera as everyday use meets it: each format cameras send,
// tracked at the camera's rate and shown; a window resized both ways under a window
// manager; the camera claimed at start and released at the end, through the back-ends
// tried in the order the program asks; and the tools that never touch it.

#include "vcam/camerafixture.h"

class TestCamera : public CameraFixture
{
    Q_OBJECT

private slots:
    void claimsCameraAtStartAndShowsTrackedFrames_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("pad");
        QTest::addColumn<int>("firstFrameDelayMs");
        QTest::newRow("BGR 320x240") << "bgr" << QSize(320, 240) << 0 << 0;
        QTest::newRow("YUY2 640x480, the first frame 2.5 s late") << "yuy2" << QSize(640, 480) << 0 << 2500;
        QTest::newRow("MJPG 1280x720, 5 bytes before each end marker") << "mjpg" << QSize(1280, 720) << 5 << 0;
    }
    void claimsCameraAtStartAndShowsTrackedFrames()
    {
        QFETCH(QString, format);
        QFETCH(QSize, size);
        QFETCH(int, pad);
        QFETCH(int, firstFrameDelayMs);
        camera = {format, size, pad, firstFrameDelayMs};
        startSource();
        startProgram();
        // The camera was claimed before the window appeared.
        QVERIFY2(source->out.contains("linked"), source->out.constData());
        startLiveView();

        // A full turn of the path and more: the rate settles and the trail is a ring.
        const qsizetype errorsBefore = program->err.size();
        QTest::qWait(3500);
        const int before = framesSeen();
        QTest::qWait(2000);
        const double rate = (framesSeen() - before) / 2.0;
        qInfo("frames tracked: %.1f a second; the status bar says %s", rate, qPrintable(status()));
        QVERIFY2(rate >= 20 && rate <= 31, qPrintable(QString::number(rate)));
        QVERIFY2(shownRate() >= 20 && shownRate() <= 31, qPrintable(status()));
        QVERIFY2(errorLinesSince(errorsBefore).isEmpty(), errorLinesSince(errorsBefore).constData());

        // Each frame is tracked as it arrives, not on a later turn of the loop. Timed on
        // the smallest frames, whose work is a fraction of the bound in any build: a
        // loop that takes longer over a frame than the camera's period falls a frame
        // behind, which is not what this looks for.
        if (format == "bgr") {
            std::vector<double> delays = frameDelays(60);
            QVERIFY(delays.size() >= 50);
            std::nth_element(delays.begin(), delays.begin() + delays.size() / 2, delays.end());
            const double median = delays[delays.size() / 2];
            qInfo("a frame is tracked %.1f ms after it is sent (median of %zu)", median, delays.size());
            QVERIFY2(median <= 8, qPrintable(QString::number(median)));
        }

        // Every yellow pixel lies on a disc of the path, and the discs fill the ring.
        const QImage shown = picture();
        // JPEG's loss moves the marker's outline, and its top centre, by a pixel or two more.
        const QImage wide = trailArea(size, format == "mjpg" ? 4 : 2)
                                .scaled(shown.size(), Qt::KeepAspectRatio, Qt::FastTransformation);
        const QImage exact = trailArea(size, 0).scaled(shown.size(), Qt::KeepAspectRatio, Qt::FastTransformation);
        int yellow = 0, stray = 0, ring = 0, background = 0;
        for (int y = 0; y < shown.height(); ++y)
            for (int x = 0; x < shown.width(); ++x) {
                const QRgb c = shown.pixel(x, y);
                ring += qGray(exact.pixel(x, y)) == 255;
                if (isTrailYellow(c)) {
                    ++yellow;
                    stray += qGray(wide.pixel(x, y)) != 255;
                }
                background += near(c, vcam::kBackgroundBgr, format == "bgr" ? 0 : 4);
            }
        QVERIFY2(stray == 0, qPrintable(QString("%1 yellow pixels off the path of %2").arg(stray).arg(yellow)));
        QVERIFY2(yellow >= ring * 9 / 10, qPrintable(QString("%1 of %2").arg(yellow).arg(ring)));
        QVERIFY(background > shown.width() * shown.height() / 4); // the source's own picture

        // Ending the program releases the camera.
        const qsizetype seen = source->out.size();
        QVERIFY(closeAndMeasure([&] { x.click(window, stopButton); }) >= 0);
        QVERIFY(waitUntil([&] { return source->out.indexOf("consumer 0", seen) >= 0; }, 5000) >= 0);
    }

    void resizesBothWaysWhileFramesShow()
    {
        // A window manager, as on any desktop: it sizes the window within its size hints.
        Child manager(QStringLiteral("openbox"));
        manager.start(QProcessEnvironment::systemEnvironment());
        QVERIFY2(waitUntil([&] { return x.windowManagerRunning(); }, 5000) >= 0, manager.err.constData());
        startSource();
        startProgram();
        startLiveView();

        // The smallest window the form allows before any frame, as the unseen one is.
        const QSize smallest = layout->minimumSize();
        for (const QSize size : {QSize(900, 650), smallest, QSize(560, 360)}) {
            x.resize(window, size);
            QVERIFY2(waitUntil([&] { return x.size(window) == size; }, 3000) >= 0,
                     qPrintable(QString("asked for %1x%2, got %3x%4").arg(size.width()).arg(size.height())
                                    .arg(x.size(window).width()).arg(x.size(window).height())));
            QVERIFY(pictureFollowsLabel());
        }
        qInfo("the window took 900x650, %dx%d and 560x360 in turn", smallest.width(), smallest.height());
        x.setMaximized(window, true);
        QVERIFY(waitUntil([&] { return x.size(window).width() >= 1000; }, 3000) >= 0);
        QVERIFY(pictureFollowsLabel());
        const QSize maximized = x.size(window);
        x.setMaximized(window, false);
        QVERIFY(waitUntil([&] { return x.size(window) == QSize(560, 360); }, 3000) >= 0);
        QVERIFY(pictureFollowsLabel());
        qInfo("maximised to %dx%d, restored to 560x360", maximized.width(), maximized.height());

        // The stop button, where the form puts it at this size, still ends the program.
        const int before = framesSeen();
        QVERIFY(waitUntil([&] { return framesSeen() >= before + 10; }, 3000) >= 0);
        const QPoint stop = inWindow(layout->findChild<QPushButton *>("pushButton_2")).center();
        layout->resize(600, 400);
        QVERIFY(closeAndMeasure([&] { x.click(window, stop); }) >= 0);
    }

    void backEndsTriedForTheCamera_data()
    {
        QTest::addColumn<QStringList>("userSettings");
        QTest::addColumn<QByteArrayList>("tried"); // in order, of V4L2, GStreamer and GPHOTO2
        QTest::newRow("default: V4L2 first, no GPHOTO2") << QStringList{} << QByteArrayList{"V4L2", "GSTREAMER"};
        QTest::newRow("user's own V4L2 priority")
            << QStringList{"OPENCV_VIDEOIO_PRIORITY_V4L2=1"} << QByteArrayList{"GSTREAMER", "V4L2"};
        QTest::newRow("user's own priority list") << QStringList{"OPENCV_VIDEOIO_PRIORITY_LIST=V4L2,GSTREAMER"}
                                                 << QByteArrayList{"V4L2", "GSTREAMER", "GPHOTO2"};
        QTest::newRow("user's own GPHOTO2 priority")
            << QStringList{"OPENCV_VIDEOIO_PRIORITY_GPHOTO2=2000"} << QByteArrayList{"GPHOTO2", "V4L2", "GSTREAMER"};
    }
    void backEndsTriedForTheCamera()
    {
        QFETCH(QStringList, userSettings);
        QFETCH(QByteArrayList, tried);
        // With no camera the opening at start tries every back-end it may, in order.
        startProgram(userSettings << "OPENCV_VIDEOIO_DEBUG=1" << "OPENCV_LOG_LEVEL=WARNING");
        QTest::qWait(200);
        QByteArrayList seen;
        for (const QByteArray &line : program->err.split('\n')) {
            const qsizetype at = line.indexOf("VIDEOIO(");
            if (at < 0 || !line.contains("trying capture cameraNum=0"))
                continue;
            const QByteArray name = line.mid(at + 8, line.indexOf(')', at) - at - 8);
            if (name == "V4L2" || name == "GSTREAMER" || name == "GPHOTO2")
                seen << name;
        }
        QVERIFY2(seen == tried, seen.join(',').constData());
    }

    void toolsLeaveTheCameraAlone()
    {
        startSource();
        QProcessEnvironment e = programEnvironment();
        e.insert("QT_QPA_PLATFORM", "offscreen");
        for (const auto &run : {QStringList{VELTRA_REPLAY, "/nonexistent/clip.avi"},
                                QStringList{VELTRA_BENCH, "--width", "64", "--height", "64", "--trail", "0",
                                            "--frames", "1"}}) {
            QProcess tool;
            tool.setProcessEnvironment(e);
            tool.setStandardOutputFile(QProcess::nullDevice());
            tool.start(run.first(), run.mid(1));
            QVERIFY(tool.waitForFinished(60000));
        }
        QTest::qWait(300);
        QVERIFY2(!source->out.contains("linked") && !source->out.contains("consumer"), source->out.constData());
        // The same layer does see the program claim it.
        startProgram();
        QVERIFY(source->out.contains("linked"));
    }
};

QTEST_MAIN(TestCamera)
#include "tst_camera.moc"

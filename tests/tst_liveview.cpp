// The live view loop, fed by image sequences the test writes in place of a camera.

#include "liveharness.h"

#include "app/entry.h"
#include "camera/camera.h"
#include "tracking/tracking.h"
#include "window/picturefit.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>

#include <opencv2/videoio/registry.hpp>

#include <algorithm>
#include <chrono>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace testsupport;

namespace {

// Frame i shows a 40 by 40 marker with its top-left corner at markerCorner(i); every
// frame is at least 160 by 60, so the marker always fits.
cv::Point markerCorner(int i) { return {12 + 9 * (i % 10), 5 + 3 * (i % 5)}; }

cv::Mat standInFrame(cv::Size size, int i)
{
    cv::Mat frame(size, CV_8UC3, cv::Scalar(40, 30, 20));
    frame(cv::Rect(markerCorner(i), cv::Size(40, 40))).setTo(kMarkerBgr);
    return frame;
}

std::vector<cv::Mat> standInClip(cv::Size size, int count)
{
    std::vector<cv::Mat> frames;
    for (int i = 0; i < count; ++i)
        frames.push_back(standInFrame(size, i));
    return frames;
}

qint64 steadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// With VELTRA_STALLED_PIPE set, this program is the real one, its entry and window, on
// a camera that is FFmpeg reading that named pipe, whose writer stalls once frames
// flow. It starts the live view and ends it (VELTRA_STALL_END: "stop" or "close") a
// second after the no-frame message, printing what the test checks.
void driveProgramOnStalledPipe()
{
    if (!qEnvironmentVariableIsSet("VELTRA_STALLED_PIPE"))
        return;
    QTimer::singleShot(0, [] {
        Veltra *window = nullptr;
        for (QWidget *top : QApplication::topLevelWidgets()) // not the only one with Qt 6.8
            window = window ? window : qobject_cast<Veltra *>(top);
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, [] { std::printf("quit %lld\n", steadyMs()); });
        QMetaObject::invokeMethod(window->findChild<QPushButton *>("pushButton"), &QPushButton::click,
                                  Qt::QueuedConnection);
        auto *tick = new QTimer(window);
        QObject::connect(tick, &QTimer::timeout, [=, last = qint64(0), longest = qint64(0), since = qint64(0)]() mutable {
            const qint64 now = steadyMs();
            longest = std::max(longest, last > 0 ? now - last : 0); // from the first frame on
            if (last == 0 && !trailPoints.empty())
                std::printf("flowing\n");
            last = trailPoints.empty() ? 0 : now;
            if (since == 0 && window->findChild<QStatusBar *>("statusBar")->currentMessage() == kNoFrame)
                since = now;
            if (since > 0 && now - since >= 1000) {
                std::printf("longest %lld\nblocked %d\nend %lld\n", longest,
                            CameraThread::existing() && CameraThread::existing()->callUnderWay(), now);
                tick->stop();
                if (qgetenv("VELTRA_STALL_END") == "close")
                    window->close(); // as the title bar's close control does
                else
                    window->findChild<QPushButton *>("pushButton_2")->click();
            }
            std::fflush(stdout);
        });
        tick->start(5);
    });
}
Q_COREAPP_STARTUP_FUNCTION(driveProgramOnStalledPipe)

int runOnStalledPipe(int argc, char **argv)
{
    if (!LiveHarness::openSource(qEnvironmentVariable("VELTRA_STALLED_PIPE").toStdString(), cv::CAP_FFMPEG))
        return 3;
    return runVeltra(argc, argv);
}

} // namespace

class TestLiveView : public QObject
{
    Q_OBJECT

    LiveHarness live;

    template<typename T>
    T *child(const char *name) { return live.child<T>(name); }
    QString status() { return live.status(); }
    std::string writeSequence(const QString &name, cv::Size size, int count)
    {
        return live.writeSequence(name, standInClip(size, count));
    }
    void during(std::function<bool()> step) { live.during(std::move(step)); }
    void stopWhen(std::function<bool()> done) { live.stopWhen(std::move(done)); }
    void runLiveView() { live.runLiveView(); }

private slots:
    // As the program does before its first open of the camera.
    void initTestCase() { prepareCameraBackends(); }

    void init() { QVERIFY(live.start()); }
    void cleanup() { live.finish(); }

    void showsLastFrameScaledWithTrail_data()
    {
        QTest::addColumn<QSize>("frameSize");
        QTest::addColumn<bool>("barsAtSides");
        QTest::newRow("label wider than the frame") << QSize(160, 120) << true;
        QTest::newRow("label taller than the frame") << QSize(400, 60) << false;
    }

    void showsLastFrameScaledWithTrail()
    {
        QFETCH(QSize, frameSize);
        QFETCH(bool, barsAtSides);
        const int frames = 8;
        QVERIFY(live.openSource(writeSequence("f", {frameSize.width(), frameSize.height()}, frames),
                                   cv::CAP_IMAGES));
        stopWhen([this] { return status() == kNoFrame; }); // the source is used up
        runLiveView();
        QVERIFY(!captureRunning);

        // Every marker position, including those the marker has since left.
        QCOMPARE(int(trailPoints.size()), frames);
        for (int i = 0; i < frames; ++i)
            QCOMPARE(trailPoints[size_t(i)], (TrailEntry{markerCorner(i).x + 20, markerCorner(i).y, 0}));

        QVERIFY(live.showsExactly(standInFrame({frameSize.width(), frameSize.height()}, frames - 1), trailPoints));
        auto *label = live.label();
        const QImage shown = label->pixmap().toImage();
        const qreal ratio = label->devicePixelRatioF();
        if (qEnvironmentVariableIsSet("VELTRA_EXPECTED_RATIO")) // the screen the row is for
            QCOMPARE(ratio, qEnvironmentVariable("VELTRA_EXPECTED_RATIO").toDouble());
        QCOMPARE(shown.size(), frameSize.scaled(label->size() * ratio, Qt::KeepAspectRatio));

        // Yellow at the scaled centre of every disc.
        const double scale = double(shown.width()) / frameSize.width();
        for (const TrailEntry &e : trailPoints)
            QCOMPARE(shown.pixel(int(e.x * scale), int(e.y * scale)), qRgb(255, 255, 0));

        // The label centres the picture: black bars on the two sides that it does not fill.
        const QImage onScreen = label->grab().toImage();
        const QPoint bar = barsAtSides ? QPoint(2, label->height() / 2) : QPoint(label->width() / 2, 2);
        QCOMPARE(onScreen.pixel(bar), qRgb(0, 0, 0));
        QCOMPARE(barsAtSides ? shown.height() : shown.width(),
                 qRound((barsAtSides ? label->height() : label->width()) * ratio));

        // The whole window as painted, in device pixels at any ratio (1.25 and 1.5 among
        // them): along the side the picture fills, every pixel whose centre lies in the
        // label is the picture's, not the label's black.
        const QImage screen = live.window->grab().toImage();
        const QRectF area(QPointF(label->mapTo(live.window.get(), QPoint(0, 0))) * ratio, QSizeF(label->size()) * ratio);
        const double from = barsAtSides ? area.top() : area.left(), to = barsAtSides ? area.bottom() : area.right();
        const int across = qFloor(barsAtSides ? area.center().x() : area.center().y());
        for (int i = qCeil(from - 0.5); i <= qFloor(to - 0.5); ++i) {
            const QRgb pixel = barsAtSides ? screen.pixel(across, i) : screen.pixel(i, across);
            QVERIFY2(qGray(pixel) > 0, qPrintable(QString("background at device pixel %1 of %2..%3 (ratio %4)")
                                                       .arg(i).arg(from).arg(to).arg(ratio)));
        }
    }

    void picturePixelsAreQtsFastScaling_data()
    {
        QTest::addColumn<QSize>("frameSize");
        QTest::addColumn<QSize>("labelSize");
        QTest::newRow("640x480 in the window's label") << QSize(640, 480) << QSize(578, 282);
        QTest::newRow("1920x1080, over 3 times down") << QSize(1920, 1080) << QSize(578, 282);
        QTest::newRow("1280x720 at pixel ratio 2") << QSize(1280, 720) << QSize(1156, 564);
        QTest::newRow("160x120 scaled up") << QSize(160, 120) << QSize(578, 282);
        QTest::newRow("odd sizes") << QSize(401, 59) << QSize(901, 599);
        QTest::newRow("a portrait frame") << QSize(505, 676) << QSize(460, 646);
        QTest::newRow("rows longer than Qt's pieces") << QSize(3001, 40) << QSize(2600, 900);
        QTest::newRow("a tiny label, far outside fixed point") << QSize(1920, 1080) << QSize(6, 14);
        QTest::newRow("the frame's own size") << QSize(320, 240) << QSize(320, 240);
    }
    void picturePixelsAreQtsFastScaling()
    {
        QFETCH(QSize, frameSize);
        QFETCH(QSize, labelSize);
        cv::Mat frame(frameSize.height(), frameSize.width(), CV_8UC3);
        cv::randu(frame, 0, 256);
        const GuardedCopy guarded(frame); // reading past the last pixel faults
        const QImage wrapped(guarded.frame.data, frame.cols, frame.rows, static_cast<qsizetype>(guarded.frame.step),
                             QImage::Format_BGR888);
        const QImage expected = wrapped.scaled(labelSize, Qt::KeepAspectRatio, Qt::FastTransformation)
                                    .convertToFormat(QImage::Format_RGB32);
        QCOMPARE(fitPicture(wrapped, labelSize), expected);
    }

    void stopEndsLoopAfterFrameInProgress()
    {
        QVERIFY(live.openSource(writeSequence("f", {160, 120}, 60), cv::CAP_IMAGES));
        stopWhen([] { return trailPoints.size() >= 5; });
        runLiveView();
        QVERIFY(!live.window->isVisible());
        // Every frame read was tracked (each holds the marker), and none was read after.
        QCOMPARE(live.sourcePosition(), double(trailPoints.size()));
        QVERIFY(trailPoints.size() < 60);
    }

    void missingFramesShowMessageUntilFramesReturn()
    {
        // No source at all first, as with no camera.
        int phase = 0;
        bool emptyWithoutFrames = false;
        bool reopened = false;
        during([&]() -> bool {
            if (phase == 0 && status() == kNoFrame) {
                emptyWithoutFrames = trailPoints.empty();
                reopened = live.openSource(writeSequence("g", {160, 100}, 40), cv::CAP_IMAGES);
                phase = 1;
            } else if (phase == 1 && !trailPoints.empty()) {
                if (status() == kNoFrame)
                    return false;
                phase = 2; // frames flow and the message is gone
            } else if (phase == 2 && status() == kNoFrame) {
                phase = 3; // the sequence ran out: the message is back, and stop still works
                live.clickStop();
                return true;
            }
            return false;
        });
        runLiveView();
        QVERIFY(emptyWithoutFrames);
        QVERIFY(reopened);
        QCOMPARE(phase, 3);
        QCOMPARE(trailPoints.size(), size_t(40));
    }

    void closingTheWindowEndsTheLoop()
    {
        QVERIFY(live.openSource(writeSequence("f", {160, 120}, 400), cv::CAP_IMAGES));
        during([this] {
            if (trailPoints.size() < 3)
                return false;
            live.window->close(); // as the title bar's close control does
            return true;
        });
        runLiveView();
        QVERIFY(!captureRunning);
        QVERIFY(trailPoints.size() < 400);
        const double readSoFar = live.sourcePosition();
        QTest::qWait(50);
        QCOMPARE(live.sourcePosition(), readSoFar);
    }

    void waitsForACameraWithoutSpinning()
    {
        live.releaseSource(); // as with no camera at all
        QElapsedTimer wall;
        const double cpuBefore = processorMs();
        during([&] {
            if (wall.isValid() && wall.elapsed() >= 1500) {
                live.clickStop();
                return true;
            }
            if (!wall.isValid() && status() == kNoFrame)
                wall.start();
            return false;
        });
        runLiveView();
        const double cpuMs = processorMs() - cpuBefore;
        // A loop that spins takes the whole core; waiting takes a few per cent.
        QVERIFY2(cpuMs < 0.3 * double(wall.elapsed()), qPrintable(QString::number(cpuMs)));
    }

    void reopeningWithNoCameraCostsNothing()
    {
        // What the live view does every 2 s while no camera answers, 200 times over, on
        // the camera's thread: the memory stays where it was, and no attempt takes long.
        // Camera 99, which no machine has, so that a camera 0 is left alone.
        constexpr int kNoCamera = 99;
        const auto reopen = [] {
            bool opened = true;
            LiveHarness::camera().run([&](cv::VideoCapture &capture) { opened = reopenCamera(capture, kNoCamera); });
            return opened;
        };
        for (int i = 0; i < 10; ++i)
            reopen(); // the back-ends' libraries loaded once
        const long long before = residentBytes();
        std::vector<double> heldMs;
        for (int i = 0; i < 200; ++i) {
            QElapsedTimer clock;
            clock.start();
            QVERIFY(!reopen());
            heldMs.push_back(double(clock.nsecsElapsed()) / 1e6);
        }
        const long long grown = residentBytes() - before;
        std::sort(heldMs.begin(), heldMs.end());
        qInfo("200 reopens with no camera: resident memory %+lld KiB; an attempt %.2f ms (median), %.2f ms at most",
              grown / 1024, heldMs[100], heldMs.back());
        // A busy machine may hold up an attempt or two; a slow back-end holds them all.
        QVERIFY2(heldMs[198] <= 20, qPrintable(QString::number(heldMs[198])));
#ifndef VELTRA_SANITIZE // whose quarantine holds on to freed memory
        QVERIFY2(grown <= 1024 * 1024, qPrintable(QString::number(grown)));
#endif
    }

    void startOnAWindowNeverShownLeavesTheLiveViewAvailable()
    {
        Veltra hidden;
        hidden.onpic();
        QVERIFY(captureRunning);
        QVERIFY(live.openSource(writeSequence("f", {160, 120}, 60), cv::CAP_IMAGES));
        stopWhen([] { return trailPoints.size() >= 3; });
        runLiveView();
        QVERIFY(trailPoints.size() >= 3);
    }

    void secondStartDoesNotNest()
    {
        QVERIFY(live.openSource(writeSequence("f", {160, 120}, 400), cv::CAP_IMAGES));
        auto *start = child<QPushButton>("pushButton");
        int attempts = 0;
        bool returnedAtOnce = true;
        bool startDisabled = true;
        during([&] {
            if (trailPoints.size() < 2)
                return false;
            startDisabled = startDisabled && !start->isEnabled();
            QTest::mouseClick(start, Qt::LeftButton);
            const size_t before = trailPoints.size();
            live.window->onpic(); // even a direct call must not start a second loop
            returnedAtOnce = returnedAtOnce && captureRunning && trailPoints.size() == before;
            if (++attempts < 3)
                return false;
            live.clickStop();
            return true;
        });
        runLiveView();
        QCOMPARE(attempts, 3);
        QVERIFY(startDisabled);
        QVERIFY(returnedAtOnce);
        QVERIFY(start->isEnabled());
    }

    void comboChangeDuringLoopReachesGetIndex()
    {
        colorRanges.push_back(colorRanges[0]);
        markerColors.push_back(cv::Scalar(255, 0, 255, 0));
        auto *combo = child<QComboBox>("comboBox");
        combo->addItem("second");
        QVERIFY(live.openSource(writeSequence("f", {160, 120}, 400), cv::CAP_IMAGES));
        size_t switchedAt = 0;
        during([&] {
            if (switchedAt == 0 && trailPoints.size() >= 3) {
                combo->setCurrentIndex(1);
                switchedAt = trailPoints.size();
            }
            if (switchedAt == 0 || trailPoints.size() < switchedAt + 3)
                return false;
            live.clickStop();
            return true;
        });
        runLiveView();
        QCOMPARE(selectedIndex, 1);
        QCOMPARE(trailPoints.front().row, 0);
        QCOMPARE(trailPoints.back().row, 1);
    }

    void answersWhileTheCameraHoldsARead_data()
    {
        QTest::addColumn<QString>("end");
        QTest::newRow("stop button") << "stop";
        QTest::newRow("window's close") << "close";
    }
    void answersWhileTheCameraHoldsARead()
    {
#ifdef _WIN32
        QSKIP("needs a named pipe read by OpenCV's FFmpeg back-end, which the Windows build leaves out");
#else
        if (!cv::videoio_registry::hasBackend(cv::CAP_FFMPEG))
            QSKIP("this OpenCV has no FFmpeg back-end, whose read of a silent pipe blocks");
        QFETCH(QString, end);
        const std::string pipe = live.dir->filePath("camera.mjpeg").toStdString();
        QVERIFY(mkfifo(pipe.c_str(), 0600) == 0);
        const int fd = ::open(pipe.c_str(), O_RDWR); // waits for no reader, and keeps the pipe open
        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VELTRA_STALLED_PIPE", QString::fromStdString(pipe));
        env.insert("VELTRA_STALL_END", end);
        // Told the format, FFmpeg opens at the first frame instead of reading seconds ahead.
        env.insert("OPENCV_FFMPEG_CAPTURE_OPTIONS", "input_format;mjpeg|probesize;32|analyzeduration;0");
        program.setProcessEnvironment(env);
        program.start(QCoreApplication::applicationFilePath(), {});
        QByteArray out;
        std::vector<uchar> jpeg;
        QElapsedTimer clock;
        clock.start();
        // A frame every 33 ms until they show, then silence: the program's read blocks.
        for (int i = 0; !program.waitForFinished(33) && clock.elapsed() < 30000; ++i) {
            out += program.readAllStandardOutput();
            if (!out.contains("flowing") && cv::imencode(".jpg", standInFrame({160, 120}, i), jpeg))
                QVERIFY(write(fd, jpeg.data(), jpeg.size()) > 0);
        }
        const qint64 endedAt = steadyMs();
        ::close(fd);
        out += program.readAllStandardOutput();
        const auto value = [&out](const char *name) {
            const QRegularExpressionMatch m = QRegularExpression(QString("%1 (\\d+)").arg(name)).match(out);
            return m.hasMatch() ? m.captured(1).toLongLong() : -1;
        };
        qInfo("window unanswered %lld ms at most in the stall; %s acted in %lld ms, the process ended %lld ms after",
              value("longest"), qPrintable(end), value("quit") - value("end"), endedAt - value("end"));
        QVERIFY2(program.state() == QProcess::NotRunning && program.exitStatus() == QProcess::NormalExit
                     && program.exitCode() == 0,
                 (out + program.readAllStandardError().right(2000)).constData());
        QVERIFY2(value("blocked") == 1, out.constData()); // ended while the read was still under way
        QVERIFY(value("longest") >= 0 && value("longest") <= 150);
        QVERIFY(value("quit") - value("end") <= 500);
        QVERIFY(endedAt - value("end") <= 1000);
#endif
    }

    void frameRateShownWhileFramesFlow()
    {
        QVERIFY(live.openSource(writeSequence("f", {160, 60}, 2000), cv::CAP_IMAGES));
        QString seen;
        stopWhen([&] {
            if (status().startsWith(QStringLiteral("帧率")))
                seen = status();
            return !seen.isEmpty() || status() == kNoFrame;
        });
        runLiveView();
        QVERIFY2(QRegularExpression(QStringLiteral("^帧率 \\d+\\.\\d 帧/秒$")).match(seen).hasMatch(),
                 qPrintable(seen));
    }
};

QTEST_MAIN_WRAPPER(TestLiveView, if (qEnvironmentVariableIsSet("VELTRA_STALLED_PIPE")) return runOnStalledPipe(argc, argv);
                   QTEST_MAIN_SETUP())
#include "tst_liveview.moc"

// The real program against a camera: the veltra binary, unmodified, on an X server,
// with camera 0 served by PipeWire's V4L2 layer from the test's own frame source
// (vcam/), and driven by clicks on its real buttons.

#include "vcam/vcam_path.h"
#include "vcam/x11driver.h"

#include "window/veltra.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>

#include <opencv2/imgproc.hpp>

#include <csignal>
#include <functional>
#include <memory>

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
const QString kNoFrame = QStringLiteral("未检测到摄像头画面");

// The private PipeWire session the fixture started, as variables for its clients.
QProcessEnvironment sessionEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QFile file(QStringLiteral(VCAM_DIR "/env"));
    if (file.open(QIODevice::ReadOnly))
        for (const QByteArray &line : file.readAll().split('\n'))
            if (const int eq = line.indexOf('='); eq > 0)
                env.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
    return env;
}

// A child process whose output is collected as it comes.
class Child
{
public:
    explicit Child(const QString &program) : program_(program)
    {
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] { out += process.readAllStandardOutput(); });
        QObject::connect(&process, &QProcess::readyReadStandardError, [this] { err += process.readAllStandardError(); });
    }
    ~Child()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    void start(const QProcessEnvironment &env, const QStringList &args = {})
    {
        process.setProcessEnvironment(env);
        process.start(program_, args);
    }
    void signal(int sig) const { ::kill(static_cast<pid_t>(process.processId()), sig); }
    bool running() const { return process.state() == QProcess::Running; }
    qint64 pid() const { return process.processId(); }
    // Processor time used so far, in milliseconds.
    qint64 cpuMs() const
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid()));
        if (!stat.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        return (fields.value(11).toLongLong() + fields.value(12).toLongLong()) * 1000 / sysconf(_SC_CLK_TCK);
    }

    QProcess process;
    QByteArray out;
    QByteArray err;

private:
    QString program_;
};

// Waits, handling events, until `done` holds or `ms` pass. Returns the time taken, or
// -1 on time-out.
qint64 waitUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return -1;
        QTest::qWait(10);
    }
    return clock.elapsed();
}

// The path's marker points, each the top centre of the marker box, in frame pixels.
std::vector<cv::Point> pathPoints()
{
    std::vector<cv::Point> points;
    for (int i = 0; i < vcam::kStepsPerTurn; ++i) {
        const vcam::Box box = vcam::markerBox(static_cast<uint64_t>(i), kWidth, kHeight);
        points.emplace_back(box.x + box.w / 2, box.y);
    }
    return points;
}

// Frame-sized mask of every disc the trail can hold, widened by `margin` pixels.
QImage trailArea(int margin)
{
    cv::Mat area(kHeight, kWidth, CV_8UC1, cv::Scalar(0));
    for (const cv::Point &p : pathPoints())
        cv::circle(area, p, 10 + margin, cv::Scalar(255), cv::FILLED, cv::LINE_8);
    return QImage(area.data, kWidth, kHeight, static_cast<qsizetype>(area.step), QImage::Format_Grayscale8).copy();
}

// Equal for equal pictures, whatever the unused fourth byte of their pixels holds.
QByteArray fingerprint(const QImage &image)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    return QCryptographicHash::hash(QByteArrayView(rgb.constBits(), rgb.sizeInBytes()), QCryptographicHash::Md5);
}

bool isTrailYellow(QRgb c) { return qRed(c) == 255 && qGreen(c) == 255 && qBlue(c) == 0; }

} // namespace

class TestCamera : public QObject
{
    Q_OBJECT

    QProcessEnvironment env;
    X11Driver x;
    // The same form, laid out here unseen, tells where the program's controls are.
    std::unique_ptr<Veltra> layout;
    QPoint startButton, stopButton;
    QRect pictureRect; // the scaled frame inside the picture label
    QRect statusRect;
    QHash<QByteArray, QString> statusTexts; // rendering of the status bar -> its text

    std::unique_ptr<Child> source;
    std::unique_ptr<Child> program;
    unsigned long window = 0;

    QRect inWindow(QWidget *w) const { return {w->mapTo(layout.get(), QPoint(0, 0)), w->size()}; }

    void learnStatusRenderings()
    {
        auto *bar = layout->findChild<QStatusBar *>("statusBar");
        auto remember = [&](const QString &text) {
            bar->showMessage(text);
            statusTexts.insert(fingerprint(bar->grab().toImage()), text);
        };
        remember(QString());
        remember(kNoFrame);
        for (int tenths = 0; tenths <= 1200; ++tenths)
            remember(QStringLiteral("帧率 %1 帧/秒").arg(tenths / 10.0, 0, 'f', 1));
        bar->clearMessage();
    }

    // The status bar's text as the program shows it, "?" if it is none of the known ones.
    QString status() const
    {
        return statusTexts.value(fingerprint(x.grab(window).copy(statusRect)), QStringLiteral("?"));
    }
    double shownRate() const
    {
        const QString text = status();
        return text.startsWith(QStringLiteral("帧率 ")) ? text.section(' ', 1, 1).toDouble() : -1;
    }
    QImage picture() const { return x.grab(window).copy(pictureRect); }
    int framesSeen() const { return program->out.count('\n') / 2; } // an area and a corner count a frame

    void startSource()
    {
        source = std::make_unique<Child>(QStringLiteral(VCAM_SOURCE));
        source->start(env, {"--width", QString::number(kWidth), "--height", QString::number(kHeight), "--fps", "30"});
        QVERIFY2(waitUntil([&] { return source->out.contains("ready\n"); }, 5000) >= 0, source->err.constData());
    }
    QProcessEnvironment programEnvironment() const
    {
        QProcessEnvironment e = env;
        e.insert("LD_PRELOAD", QStringLiteral(PW_V4L2_LIB));
        e.insert("QT_QPA_PLATFORM", "xcb");
        // OpenCV's warnings go to std::cerr, which flushes std::cout first: they would
        // hide whether the program flushes its own diagnostic lines.
        e.insert("OPENCV_LOG_LEVEL", "ERROR");
        // Under AddressSanitizer the preloaded layer comes before ASan's own runtime,
        // and the layer's mmap, called while ASan sets up its symbolizer, loads
        // PipeWire's plugins through ASan's dlopen, which waits on that same set-up:
        // the process hangs at start unless ASan leaves symbols alone.
        e.insert("ASAN_OPTIONS", e.value("ASAN_OPTIONS") + ":verify_asan_link_order=0:symbolize=0");
        return e;
    }
    void startProgram()
    {
        program = std::make_unique<Child>(QStringLiteral(VELTRA_BINARY));
        program->start(programEnvironment());
        QVERIFY2(waitUntil([&] { return (window = x.findWindow(program->pid(), "Veltra")) != 0; }, 15000) >= 0,
                 program->err.constData());
    }
    void startLiveView()
    {
        QVERIFY(waitUntil([&] { return !picture().isNull(); }, 5000) >= 0); // painted once
        x.click(window, startButton);
        QVERIFY2(waitUntil([&] { return framesSeen() >= 30; }, 10000) >= 0, program->err.constData());
    }
    // Asks for the window to close (by the stop button or as a window manager does) and
    // returns how long the window took to go; the process must then end with code 0.
    qint64 closeAndMeasure(const std::function<void()> &close)
    {
        close();
        const qint64 gone = waitUntil([&] { return x.findWindow(program->pid(), "Veltra") == 0; }, 10000);
        if (gone < 0)
            return -1;
        if (!program->process.waitForFinished(10000) || program->process.exitStatus() != QProcess::NormalExit
            || program->process.exitCode() != 0) {
            qWarning("the program did not end cleanly: %s", program->err.right(3000).constData());
            return -1;
        }
        return gone;
    }
    int stallAndWaitForMessage()
    {
        const int before = framesSeen();
        source->signal(SIGUSR1);
        return static_cast<int>(waitUntil([&] { return framesSeen() >= before && status() == kNoFrame; }, 10000));
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(x.connected(), "no X server");
        env = sessionEnvironment();
        QVERIFY2(env.contains("PIPEWIRE_RUNTIME_DIR"), "the virtual camera's session is not running");
        layout = std::make_unique<Veltra>();
        layout->setAttribute(Qt::WA_DontShowOnScreen);
        layout->show();
        QTest::qWait(100); // laid out and polished as the shown window is
        startButton = inWindow(layout->findChild<QPushButton *>("pushButton")).center();
        stopButton = inWindow(layout->findChild<QPushButton *>("pushButton_2")).center();
        const QRect label = inWindow(layout->findChild<QLabel *>("label"));
        const QSize scaled = QSize(kWidth, kHeight).scaled(label.size(), Qt::KeepAspectRatio);
        pictureRect = QRect(label.topLeft() + QPoint((label.width() - scaled.width()) / 2,
                                                     (label.height() - scaled.height()) / 2),
                            scaled);
        statusRect = inWindow(layout->findChild<QStatusBar *>("statusBar"));
        learnStatusRenderings();
    }

    void cleanup()
    {
        program.reset();
        source.reset();
        window = 0;
    }

    void claimsCameraAtStartAndShowsTrackedFrames()
    {
        startSource();
        startProgram();
        // The camera was claimed before the window appeared.
        QVERIFY2(source->out.contains("linked"), source->out.constData());
        startLiveView();

        // A full turn of the path and more: the rate settles and the trail is a ring.
        QTest::qWait(3500);
        const int before = framesSeen();
        QTest::qWait(2000);
        const double rate = (framesSeen() - before) / 2.0;
        qInfo("frames tracked: %.1f a second; the status bar says %s", rate, qPrintable(status()));
        QVERIFY2(rate >= 20 && rate <= 31, qPrintable(QString::number(rate)));
        QVERIFY2(shownRate() >= 20 && shownRate() <= 31, qPrintable(status()));

        // Every yellow pixel lies on a disc of the path, and the discs fill the ring.
        const QImage shown = picture();
        const QImage wide = trailArea(2).scaled(pictureRect.size(), Qt::KeepAspectRatio, Qt::FastTransformation);
        const QImage exact = trailArea(0).scaled(pictureRect.size(), Qt::KeepAspectRatio, Qt::FastTransformation);
        int yellow = 0, stray = 0, ring = 0, background = 0;
        for (int y = 0; y < shown.height(); ++y)
            for (int x = 0; x < shown.width(); ++x) {
                const QRgb c = shown.pixel(x, y);
                ring += qGray(exact.pixel(x, y)) == 255;
                if (isTrailYellow(c)) {
                    ++yellow;
                    stray += qGray(wide.pixel(x, y)) != 255;
                }
                background += c == qRgb(vcam::kBackgroundBgr[2], vcam::kBackgroundBgr[1], vcam::kBackgroundBgr[0]);
            }
        QCOMPARE(stray, 0);
        QVERIFY2(yellow >= ring * 9 / 10, qPrintable(QString("%1 of %2").arg(yellow).arg(ring)));
        QVERIFY(background > shown.width() * shown.height() / 4); // the source's own picture

        // Ending the program releases the camera.
        const qsizetype seen = source->out.size();
        QVERIFY(closeAndMeasure([&] { x.click(window, stopButton); }) >= 0);
        QVERIFY(waitUntil([&] { return source->out.indexOf("consumer 0", seen) >= 0; }, 5000) >= 0);
    }

    void staysResponsiveWhileTheCameraStalls_data()
    {
        QTest::addColumn<bool>("byStopButton");
        QTest::newRow("stop button") << true;
        QTest::newRow("window manager's close") << false;
    }
    void staysResponsiveWhileTheCameraStalls()
    {
        QFETCH(bool, byStopButton);
        startSource();
        startProgram();
        startLiveView();

        const int message = stallAndWaitForMessage();
        qInfo("no-frame message %d ms after the stall", message);
        QVERIFY(message >= 0 && message <= 1500);

        // Long enough for the program to reopen the camera at least once meanwhile.
        QTest::qWait(3000 - message);
        const int stalledAt = framesSeen();
        source->signal(SIGUSR2);
        const qint64 back = waitUntil([&] { return framesSeen() >= stalledAt + 10 && shownRate() > 0; }, 10000);
        qInfo("frames and rate back %lld ms after the camera resumed", back);
        QVERIFY2(back >= 0, source->out.constData());

        QVERIFY(stallAndWaitForMessage() >= 0);
        QTest::qWait(500);
        const qint64 closed = closeAndMeasure([&] {
            if (byStopButton)
                x.click(window, stopButton);
            else
                x.requestClose(window);
        });
        qInfo("window gone %lld ms after the %s during a stall", closed, byStopButton ? "click" : "close request");
        QVERIFY(closed >= 0 && closed <= 500);
    }

    void picksUpACameraThatComesBack()
    {
        startSource();
        startProgram();
        startLiveView();
        QTest::qWait(1000);
        const QImage before = picture();

        source.reset(); // unplugged
        QVERIFY(waitUntil([&] { return status() == kNoFrame; }, 3000) >= 0);
        QTest::qWait(2500);
        QCOMPARE(status(), kNoFrame);

        const int framesBefore = framesSeen();
        startSource();
        const qint64 back = waitUntil([&] { return framesSeen() >= framesBefore + 5; }, 10000);
        qInfo("frames back %lld ms after the camera returned", back);
        QVERIFY(back >= 0 && back <= 3000);

        // Every disc painted before the camera went is still there.
        QVERIFY(waitUntil([&] { return shownRate() > 0; }, 3000) >= 0);
        const QImage after = picture();
        int lost = 0, kept = 0;
        for (int y = 0; y < before.height(); ++y)
            for (int x = 0; x < before.width(); ++x)
                if (isTrailYellow(before.pixel(x, y)))
                    (isTrailYellow(after.pixel(x, y)) ? kept : lost) += 1;
        QVERIFY(kept > 0);
        QCOMPARE(lost, 0);
        QVERIFY(closeAndMeasure([&] { x.click(window, stopButton); }) >= 0);
    }

    void waitsQuietlyWithNoCamera()
    {
        startProgram(); // no source: nothing answers to camera 0
        x.click(window, startButton);
        QVERIFY(waitUntil([&] { return status() == kNoFrame; }, 1500) >= 0);
        // It keeps trying to open the camera, without spinning a core.
        const qint64 cpuBefore = program->cpuMs();
        QTest::qWait(4000);
        const qint64 cpu = program->cpuMs() - cpuBefore;
        qInfo("%lld ms of processor time in 4 s with no camera", cpu);
        QVERIFY(cpu < 2000); // a spinning loop takes the whole 4000
        QCOMPARE(status(), kNoFrame);
        const qint64 closed = closeAndMeasure([&] { x.click(window, stopButton); });
        QVERIFY(closed >= 0 && closed <= 500);
    }

    void triesV4l2BeforeGStreamerUnlessTheUserSaysOtherwise_data()
    {
        QTest::addColumn<QString>("userPriority");
        QTest::addColumn<QByteArray>("firstTried");
        QTest::newRow("default") << QString() << QByteArray("V4L2");
        QTest::newRow("user's own V4L2 priority") << QString("1") << QByteArray("GSTREAMER");
    }
    void triesV4l2BeforeGStreamerUnlessTheUserSaysOtherwise()
    {
        QFETCH(QString, userPriority);
        QFETCH(QByteArray, firstTried);
        startSource();
        program = std::make_unique<Child>(QStringLiteral(VELTRA_BINARY));
        QProcessEnvironment e = programEnvironment();
        e.insert("OPENCV_VIDEOIO_DEBUG", "1");
        e.insert("OPENCV_LOG_LEVEL", "WARNING"); // the back-ends tried are warnings
        if (!userPriority.isEmpty())
            e.insert("OPENCV_VIDEOIO_PRIORITY_V4L2", userPriority);
        program->start(e);
        const QByteArray trying = "trying capture cameraNum=0";
        QVERIFY(waitUntil([&] { return program->err.contains(trying); }, 10000) >= 0);
        const QByteArray err = program->err;
        const qsizetype line = err.lastIndexOf('\n', err.indexOf(trying)) + 1;
        QVERIFY2(err.mid(line, err.indexOf(trying) - line).contains("VIDEOIO(" + firstTried + ")"),
                 err.mid(line, 200).constData());
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

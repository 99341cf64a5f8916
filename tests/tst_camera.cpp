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

#include <algorithm>
#include <csignal>
#include <ctime>
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
    // This process shares the program's start-up, which sets OpenCV's capture options
    // in its own environment; the program must find only what a user set.
    for (const QString &name : env.keys())
        if (name.startsWith(QStringLiteral("OPENCV_VIDEOIO_")))
            env.remove(name);
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

    // Times the main thread has gone to sleep so far (voluntary context switches):
    // each is a wake-up later.
    qint64 wakeUps() const
    {
        QFile status(QStringLiteral("/proc/%1/task/%1/status").arg(pid()));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("voluntary_ctxt_switches:"))
                return line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
        return -1;
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
    // The program's environment, with the user's own settings (VAR=value) on top.
    QProcessEnvironment programEnvironment(const QStringList &userSettings = {}) const
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
        for (const QString &setting : userSettings)
            e.insert(setting.section('=', 0, 0), setting.section('=', 1));
        return e;
    }
    void startProgram(const QStringList &userSettings = {})
    {
        program = std::make_unique<Child>(QStringLiteral(VELTRA_BINARY));
        program->start(programEnvironment(userSettings));
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
    // Milliseconds from the source sending a frame to the program's first line about
    // it, for the next `count` frames. The wait blocks on the program's output, so each
    // line is timed as it comes, not when the test next looks.
    std::vector<double> frameDelays(int count)
    {
        std::vector<qint64> taken; // microseconds on the monotonic clock, as the source's
        while (static_cast<int>(taken.size()) < count) {
            const bool frameStarts = program->out.count('\n') % 2 == 0;
            const qsizetype before = program->out.size();
            if (!program->process.waitForReadyRead(2000))
                break;
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (frameStarts && program->out.size() > before)
                taken.push_back(static_cast<qint64>(now.tv_sec) * 1000000 + now.tv_nsec / 1000);
        }
        QTest::qWait(100); // the source's lines for the same frames
        std::vector<qint64> sent;
        for (const QByteArray &line : source->out.split('\n'))
            if (line.startsWith("frame "))
                sent.push_back(line.mid(6).toLongLong());
        std::vector<double> delays;
        for (const qint64 t : taken) {
            const auto next = std::upper_bound(sent.begin(), sent.end(), t);
            if (next != sent.begin())
                delays.push_back(static_cast<double>(t - *(next - 1)) / 1000.0);
        }
        return delays;
    }

    // Whether the picture fills the label as the form lays it out at the window's
    // present size: the frame scaled to the label, aspect ratio kept, black around it.
    bool pictureFollowsLabel()
    {
        const QSize windowSize = x.size(window);
        layout->resize(windowSize);
        const QRect label = inWindow(layout->findChild<QLabel *>("label"));
        const QSize scaled = QSize(kWidth, kHeight).scaled(label.size(), Qt::KeepAspectRatio);
        // The frame never holds black, the label's background is nothing else.
        return waitUntil([&] {
                   const QImage shot = x.grab(window);
                   if (shot.size() != windowSize)
                       return false;
                   int lit = 0;
                   for (int y = label.top(); y <= label.bottom(); ++y)
                       for (int x = label.left(); x <= label.right(); ++x)
                           lit += (shot.pixel(x, y) & 0xffffff) != 0;
                   return lit == scaled.width() * scaled.height();
               }, 3000) >= 0;
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

        // Each frame is tracked as it arrives, not on a later turn of the loop.
        std::vector<double> delays = frameDelays(60);
        QVERIFY(delays.size() >= 50);
        std::nth_element(delays.begin(), delays.begin() + delays.size() / 2, delays.end());
        const double median = delays[delays.size() / 2];
        qInfo("a frame is tracked %.1f ms after it is sent (median of %zu)", median, delays.size());
        QVERIFY2(median <= 8, qPrintable(QString::number(median)));

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
        QTest::addColumn<QStringList>("userSettings");
        QTest::addColumn<int>("longestHoldMinMs"); // the longest the window goes unanswered
        QTest::addColumn<int>("longestHoldMaxMs");
        QTest::newRow("stop button") << true << QStringList{} << 0 << 100;
        QTest::newRow("window manager's close") << false << QStringList{} << 0 << 100;
        // A user's own V4L2 wait is the user's: the first read after each reopen waits it out.
        QTest::newRow("user's own V4L2 wait of 1 s")
            << true << QStringList{"OPENCV_VIDEOIO_V4L_SELECT_TIMEOUT=1"} << 900 << 1500;
    }
    void staysResponsiveWhileTheCameraStalls()
    {
        QFETCH(bool, byStopButton);
        QFETCH(QStringList, userSettings);
        QFETCH(int, longestHoldMinMs);
        QFETCH(int, longestHoldMaxMs);
        startSource();
        startProgram(userSettings);
        startLiveView();

        // The window answers all through a stall, the reopens of the camera included.
        PingMonitor pings(window);
        const int message = stallAndWaitForMessage();
        qInfo("no-frame message %d ms after the stall", message);
        QVERIFY(message >= 0 && message <= 1500);
        QTest::qWait(5500 - message); // the camera is reopened at 2 s and 4 s
        const PingMonitor::Result held = pings.stop();
        qInfo("longest the window went unanswered in a 5.5 s stall: %.0f ms (%d of %d pings answered)",
              held.longestMs, held.answered, held.sent);
        QVERIFY(held.answered >= 100);
        QVERIFY2(held.longestMs >= longestHoldMinMs && held.longestMs <= longestHoldMaxMs,
                 qPrintable(QString::number(held.longestMs)));

        // Frames come back, and the first rate shown counts from their return.
        const int stalledAt = framesSeen();
        source->signal(SIGUSR2);
        const qint64 back = waitUntil([&] { return shownRate() >= 0; }, 10000);
        qInfo("rate back %lld ms after the camera resumed: %s", back, qPrintable(status()));
        QVERIFY2(back >= 0, source->out.right(3000).constData());
        QVERIFY2(shownRate() >= 20 && shownRate() <= 31, qPrintable(status()));
        QVERIFY(framesSeen() >= stalledAt + 10);

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

    void waitsQuietlyWithNoCamera()
    {
        startProgram(); // no source: nothing answers to camera 0
        x.click(window, startButton);
        QVERIFY(waitUntil([&] { return status() == kNoFrame; }, 1500) >= 0);
        // It keeps trying to open the camera, waking only for that and to look for frames.
        const qint64 cpuBefore = program->cpuMs();
        const qint64 wakeUpsBefore = program->wakeUps();
        QTest::qWait(4000);
        const qint64 cpu = program->cpuMs() - cpuBefore;
        const double wakeUps = (program->wakeUps() - wakeUpsBefore) / 4.0;
        qInfo("with no camera: %lld ms of processor time in 4 s, %.0f wake-ups a second", cpu, wakeUps);
        QVERIFY(cpu < 2000); // a spinning loop takes the whole 4000
        QVERIFY2(wakeUps <= 45, qPrintable(QString::number(wakeUps)));
        // Each attempt to open it holds the window for a moment only (tst_liveview times
        // the attempts themselves; this allows for a busy machine).
        PingMonitor pings(window);
        QTest::qWait(4500);
        const PingMonitor::Result held = pings.stop();
        qInfo("longest the window went unanswered over two reopens: %.0f ms", held.longestMs);
        QVERIFY(held.answered >= 100);
        QVERIFY2(held.longestMs <= 100, qPrintable(QString::number(held.longestMs)));
        QCOMPARE(status(), kNoFrame);
        const qint64 closed = closeAndMeasure([&] { x.click(window, stopButton); });
        QVERIFY(closed >= 0 && closed <= 500);
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

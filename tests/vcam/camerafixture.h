#pragma once

// What the end-to-end tests share: the real program, the veltra binary unmodified, on
// an X server, with camera 0 served by PipeWire's V4L2 layer from the test's own frame
// source (vcam/), driven by clicks on its real buttons and read off the screen.

#include "testsupport.h"
#include "vcam_path.h"
#include "x11driver.h"

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
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>

namespace camerafixture {

inline const QString kNoFrame = QStringLiteral("未检测到摄像头画面");

// The private PipeWire session the fixture started, as variables for its clients.
inline QProcessEnvironment sessionEnvironment()
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

using testsupport::fingerprint;
using testsupport::waitUntil;

// The virtual camera: what it sends, at what size, and how like a webcam.
struct Camera
{
    QString format = QStringLiteral("bgr");
    QSize size{320, 240};
    int pad = 0;               // zero bytes before each JPEG's end marker
    int firstFrameDelayMs = 0; // the first frame's lateness after streaming starts
};

// Frame-sized mask of every disc the trail can hold, widened by `margin` pixels: one
// at the top centre of each marker box of the path.
inline QImage trailArea(QSize frame, int margin)
{
    cv::Mat area(frame.height(), frame.width(), CV_8UC1, cv::Scalar(0));
    for (int i = 0; i < vcam::kStepsPerTurn; ++i) {
        const vcam::Box box = vcam::markerBox(static_cast<uint64_t>(i), frame.width(), frame.height());
        cv::circle(area, cv::Point(box.x + box.w / 2, box.y), 10 + margin, cv::Scalar(255), cv::FILLED, cv::LINE_8);
    }
    return QImage(area.data, area.cols, area.rows, static_cast<qsizetype>(area.step), QImage::Format_Grayscale8).copy();
}

// Within `tolerance` on every channel: YUYV and JPEG bring colours back only nearly.
inline bool near(QRgb c, const uint8_t (&bgr)[3], int tolerance)
{
    return std::abs(qRed(c) - bgr[2]) <= tolerance && std::abs(qGreen(c) - bgr[1]) <= tolerance
        && std::abs(qBlue(c) - bgr[0]) <= tolerance;
}

inline bool isTrailYellow(QRgb c) { return qRed(c) == 255 && qGreen(c) == 255 && qBlue(c) == 0; }

} // namespace camerafixture

using namespace camerafixture;

// The program's controls found on the screen through the same form, laid out unseen;
// a frame source and the program started and stopped for each test.
class CameraFixture : public QObject
{
    Q_OBJECT

protected:
    QProcessEnvironment env;
    X11Driver x;
    // The same form, laid out here unseen, tells where the program's controls are.
    std::unique_ptr<Veltra> layout;
    QPoint startButton, stopButton;
    QRect statusRect;
    Camera camera; // what the next source plays
    QHash<QByteArray, QString> statusTexts; // rendering of the status bar -> its text

    std::unique_ptr<Child> source;
    std::unique_ptr<Child> program;
    unsigned long window = 0;

    QRect inWindow(QWidget *w) const { return {w->mapTo(layout.get(), QPoint(0, 0)), w->size()}; }

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
    // Where the frame shows in the picture label, as the unseen form lays it out now.
    QRect pictureRect() const
    {
        const QRect label = inWindow(layout->findChild<QLabel *>("label"));
        const QSize scaled = camera.size.scaled(label.size(), Qt::KeepAspectRatio);
        return {label.topLeft() + QPoint((label.width() - scaled.width()) / 2, (label.height() - scaled.height()) / 2),
                scaled};
    }
    QImage picture() const { return x.grab(window).copy(pictureRect()); }
    int framesSeen() const { return program->out.count('\n') / 2; } // an area and a corner count a frame

    void startSource()
    {
        source = std::make_unique<Child>(QStringLiteral(VCAM_SOURCE));
        source->start(env, {"--width", QString::number(camera.size.width()), "--height",
                            QString::number(camera.size.height()), "--fps", "30", "--format", camera.format,
                            "--pad", QString::number(camera.pad), "--first-frame-delay",
                            QString::number(camera.firstFrameDelayMs)});
        QVERIFY2(waitUntil([&] { return source->out.contains("ready\n"); }, 5000) >= 0, source->err.constData());
    }
    // The program's environment, with the user's own settings (VAR=value) on top.
    QProcessEnvironment programEnvironment(const QStringList &userSettings = {}) const
    {
        QProcessEnvironment e = env;
        e.insert("LD_PRELOAD", QStringLiteral(PW_V4L2_LIB));
        e.insert("QT_QPA_PLATFORM", "xcb");
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
        const QSize scaled = pictureRect().size();
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

    // The program's lines on standard error from `from` on: none in normal running.
    QByteArray errorLinesSince(qsizetype from) const { return program->err.mid(from); }

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
        statusRect = inWindow(layout->findChild<QStatusBar *>("statusBar"));
        statusTexts = testsupport::statusRenderings(layout->findChild<QStatusBar *>("statusBar"));
    }

    void cleanup()
    {
        program.reset();
        source.reset();
        window = 0;
        camera = Camera();
    }

};

#pragma once

// Drives the live view from a test: a shown main window, a folder for stand-in
// frames written as image sequences, and timers that act while the loop runs.

#include "testsupport.h"

#include "camera/camerathread.h"
#include "window/veltra.h"

#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <opencv2/imgcodecs.hpp>

#include <functional>
#include <memory>

namespace testsupport {

inline const QString kNoFrame = QStringLiteral("未检测到摄像头画面");

inline QImage asImage(const cv::Mat &bgr)
{
    return QImage(bgr.data, bgr.cols, bgr.rows, static_cast<qsizetype>(bgr.step), QImage::Format_BGR888).copy();
}

class LiveHarness
{
public:
    std::unique_ptr<Veltra> window;
    std::unique_ptr<QTemporaryDir> dir;

    // Fresh state, a shown window, an empty folder. Returns false if the window
    // never appeared.
    bool start()
    {
        resetTrackingState();
        dir = std::make_unique<QTemporaryDir>();
        window = std::make_unique<Veltra>();
        window->show();
        // A safety net, so that a loop that never ends fails the test instead of hanging it.
        QTimer::singleShot(240000, window.get(), [] { captureRunning = false; });
        return QTest::qWaitForWindowExposed(window.get());
    }
    void finish()
    {
        window.reset();
        // A read the camera's thread still makes, or a frame it read that nobody took,
        // is this test's: neither may reach the next one.
        QVERIFY(camera().discard(10000));
        releaseSource();
    }

    // The test's calls on the capture go to the camera's thread, as the program's do.
    static CameraThread &camera() { return CameraThread::of(captureDevice); }
    static bool openSource(const std::string &name, int api = cv::CAP_IMAGES)
    {
        bool opened = false;
        camera().run([&](cv::VideoCapture &capture) { opened = capture.open(name, api); });
        return opened;
    }
    static double sourcePosition()
    {
        double position = 0;
        camera().run([&](cv::VideoCapture &capture) { position = capture.get(cv::CAP_PROP_POS_FRAMES); }, false);
        return position;
    }
    static void releaseSource() { camera().run([](cv::VideoCapture &capture) { capture.release(); }); }

    template<typename T>
    T *child(const char *name) const { return window->findChild<T *>(QString::fromLatin1(name)); }
    QString status() const { return child<QStatusBar>("statusBar")->currentMessage(); }
    QLabel *label() const { return child<QLabel>("label"); }
    void clickStop() const { QTest::mouseClick(child<QPushButton>("pushButton_2"), Qt::LeftButton); }

    // Writes `frames` as name_0000.png, name_0001.png, ... and returns the pattern.
    std::string writeSequence(const QString &name, const std::vector<cv::Mat> &frames) const
    {
        for (size_t i = 0; i < frames.size(); ++i)
            cv::imwrite(dir->filePath(QString("%1_%2.png").arg(name).arg(i, 4, 10, QChar('0'))).toStdString(),
                        frames[i]);
        return dir->filePath(name + "_%04d.png").toStdString();
    }

    // Calls `step` every `ms` milliseconds while the loop runs, until it returns true.
    void during(std::function<bool()> step, int ms = 5) const
    {
        auto *timer = new QTimer(window.get());
        QObject::connect(timer, &QTimer::timeout, timer, [timer, step] {
            if (step())
                timer->stop();
        });
        timer->start(ms);
    }
    void stopWhen(std::function<bool()> done) const
    {
        during([this, done] {
            if (!done())
                return false;
            clickStop();
            return true;
        });
    }
    // Presses start; returns when the loop has ended.
    void runLiveView() const { QTest::mouseClick(child<QPushButton>("pushButton"), Qt::LeftButton); }

    // The label as painted, in device pixels, against `frame` with `trail` drawn disc by
    // disc and scaled to the label's size in device pixels, at its centre (Qt centres
    // in logical pixels: half a pixel either way at ratio 2). Each screen pixel of the
    // picture must be a frame pixel.
    bool showsExactly(const cv::Mat &frame, const std::vector<TrailEntry> &trail) const
    {
        if (label()->pixmap().isNull())
            return false;
        cv::Mat expected = frame.clone();
        drawDiscByDisc(expected, trail, markerColors);
        const QImage wanted = asImage(expected).scaled(label()->size() * label()->devicePixelRatioF(),
                                                       Qt::KeepAspectRatio, Qt::FastTransformation);
        const QImage painted = label()->grab().toImage().convertToFormat(wanted.format());
        const QSize spare = painted.size() - wanted.size();
        for (const int dx : {spare.width() / 2, (spare.width() + 1) / 2})
            for (const int dy : {spare.height() / 2, (spare.height() + 1) / 2})
                if (painted.copy(QRect(QPoint(dx, dy), wanted.size())) == wanted)
                    return true;
        return false;
    }
};

} // namespace testsupport

// The live view: the start button's slot runs the capture, track, paint and show loop
// on the GUI thread until the stop button (or closing the window) ends it. Every call
// on the camera is made on the camera's own thread; the loop takes what they brought,
// handling the window's events until they bring something.

#include "window/veltra.h"

#include "core/state.h"
#include "camera/camerathread.h"
#include "camera/frameformat.h"
#include "tracking/tracking.h"
#include "window/picturefit.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

namespace {

constexpr int kFrameWaitMs = 1;
// The longest wait for the camera's news before the loop looks at the clock again (a
// stall to report, a reopen due); the news itself ends the wait at once. Longer than a
// frame's time at 25 frames a second and up, so that a loop waiting for the next frame
// wakes once, for the frame.
constexpr int kReadWaitMs = 50;
// At the stop, how long a frame on its way is waited for.
constexpr int kLastFrameWaitMs = 30;
// After a read that failed: long enough not to spin a core on a missing camera, short
// enough that frames coming back are picked up at once.
constexpr int kNoFrameWaitMs = 30;
// A live camera that has sent nothing for this long has stalled: say so.
constexpr qint64 kStallMessageMs = 1000;
// While no frame arrives, the camera is reopened this often: an unplugged camera, or
// one whose stream broke, delivers again only through a fresh open.
constexpr qint64 kReopenIntervalMs = 2000;
// But a camera that opened gets this long for its first frame: capture cards, cameras
// settling their exposure and those behind a desktop camera service take seconds.
constexpr qint64 kFirstFrameWaitMs = 5000;
constexpr qint64 kRateIntervalMs = 1000;

// The loop the live view waits in. Made once and owned by the application: a new loop
// and timer every frame cost more than the wait's own work.
QPointer<QEventLoop> waitLoop;
QPointer<QTimer> waitTimer;

QEventLoop *waitingLoop()
{
    if (!waitLoop) {
        waitLoop = new QEventLoop(qApp);
        waitTimer = new QTimer(waitLoop);
        waitTimer->setSingleShot(true);
        waitTimer->setTimerType(Qt::PreciseTimer);
        QObject::connect(waitTimer, &QTimer::timeout, waitLoop, &QEventLoop::quit);
    }
    return waitLoop;
}

// Waits `ms` milliseconds while Qt handles the window's pending events, user input
// included, so the stop button, the combo box and repaints work during the loop. News
// from the camera ends the wait early.
void waitHandlingEvents(int ms)
{
    waitingLoop();
    waitTimer->start(ms);
    waitLoop->exec();
}

// While the live view runs, the camera's thread ends its wait as soon as a read or a
// reopen has ended: the GUI thread sleeps in its event loop, not in a wait of its own,
// and wakes once for each frame.
class CameraNews
{
public:
    explicit CameraNews(CameraThread &camera) : camera_(camera)
    {
        QEventLoop *loop = waitingLoop();
        camera_.setListener([loop] { QMetaObject::invokeMethod(loop, &QEventLoop::quit, Qt::QueuedConnection); });
    }
    ~CameraNews() { camera_.setListener({}); }
    CameraNews(const CameraNews &) = delete;
    CameraNews &operator=(const CameraNews &) = delete;

private:
    CameraThread &camera_;
};

QString noFrameMessage()
{
    return QCoreApplication::translate("VeltraClass", "未检测到摄像头画面", nullptr);
}

QString frameRateMessage(double framesPerSecond)
{
    return QCoreApplication::translate("VeltraClass", "帧率 %1 帧/秒", nullptr)
        .arg(framesPerSecond, 0, 'f', 1);
}

} // namespace

void Veltra::onpic()
{
    // The loop handles events while it waits, so a click on the start button could
    // enter this slot again and nest a second loop; the disabled button refuses it.
    if (!form.pushButton->isEnabled() || !isVisible())
        return;
    form.pushButton->setEnabled(false);

    CameraThread &camera = CameraThread::of(captureDevice);
    const CameraNews news(camera);
    QElapsedTimer rateClock;
    rateClock.start();
    int framesSinceRate = 0;
    bool frameMissing = false;
    QElapsedTimer sinceFrame;   // since the last frame, or since the loop started
    sinceFrame.start();
    // Since the camera's last open ended: its stream starts with the loop's first read.
    QElapsedTimer sinceOpen;
    sinceOpen.start();
    bool waitingForFirstFrame = camera.isOpen(); // opened, and nothing from it yet
    bool opening = false;       // a reopen asked for has not ended

    // A window closed from its title bar is hidden, not stopped: end the loop then too.
    while (captureRunning && isVisible()) {
        const FrameRead read = camera.next(currentFrame, 0);
        if (read == FrameRead::Opened || read == FrameRead::OpenFailed) {
            // However long the open took, an opened camera's time for its first frame,
            // and the time to the next attempt, count from its end.
            opening = false;
            waitingForFirstFrame = read == FrameRead::Opened;
            sinceOpen.restart();
            continue;
        }
        if (read != FrameRead::Frame || !frameAsBgr(currentFrame, currentFrame)) {
            frameImage = QImage(); // it wrapped a buffer the failed read may have freed
            // A camera that is gone is reported at once; a live camera that is late, or
            // sent a frame that cannot be shown, gets a moment first.
            const bool reportNow = read == FrameRead::Failed;
            if (!frameMissing && (reportNow || sinceFrame.elapsed() >= kStallMessageMs)) {
                form.statusBar->showMessage(noFrameMessage());
                frameMissing = true;
            }
            // A read under way is waited for; one that failed would fail again right
            // away (no camera), so the loop then sleeps instead.
            waitHandlingEvents(read == FrameRead::NotYet ? kReadWaitMs
                                                         : read == FrameRead::Failed ? kNoFrameWaitMs : kFrameWaitMs);
            // A reopen still under way counts as opening, however long it takes.
            const qint64 patience = waitingForFirstFrame ? kFirstFrameWaitMs : kReopenIntervalMs;
            if (captureRunning && isVisible() && !opening && sinceFrame.elapsed() >= kReopenIntervalMs
                && sinceOpen.elapsed() >= patience) {
                camera.reopen(kCameraIndex);
                opening = true;
            }
            continue;
        }
        sinceFrame.restart();
        waitingForFirstFrame = false;
        if (frameMissing) {
            form.statusBar->clearMessage();
            frameMissing = false;
            framesSinceRate = 0;
            rateClock.restart();
        }

        trackAndShowFrame();

        ++framesSinceRate;
        const qint64 elapsed = rateClock.elapsed();
        if (elapsed >= kRateIntervalMs) {
            form.statusBar->showMessage(frameRateMessage(framesSinceRate * 1000.0 / elapsed));
            framesSinceRate = 0;
            rateClock.restart();
        }

        waitHandlingEvents(kFrameWaitMs);
    }

    // A frame on its way when the loop was stopped is still tracked and shown, as it
    // would have been had the stop come a moment later: every frame read is tracked.
    // The wait for it is short, and no further frame is read.
    if (camera.last(currentFrame, kLastFrameWaitMs) == FrameRead::Frame && frameAsBgr(currentFrame, currentFrame))
        trackAndShowFrame();

    // However the loop ended, the live view is over for good, as after the stop button.
    captureRunning = false;
    form.pushButton->setEnabled(true);
}

// The frame's work: the marker looked for and added to the trail, the whole trail
// painted into the frame, and the frame shown.
void Veltra::trackAndShowFrame()
{
    detectMarker(currentFrame);
    paintTrail(trailPoints, markerColors);
    showFrame();
}

void Veltra::showFrame()
{
    // The const constructor: the image reads the frame's pixels and cannot write them.
    frameImage = QImage(static_cast<const uchar *>(currentFrame.data), currentFrame.cols,
                        currentFrame.rows, static_cast<qsizetype>(currentFrame.step),
                        QImage::Format_BGR888);
    // Scaled to the label's size in device pixels, and marked so: on a screen of ratio
    // 2 each screen pixel of the picture is a frame pixel, not a quarter of one
    // stretched by Qt.
    const qreal ratio = form.label->devicePixelRatioF();
    // Fast, unsmoothed scaling, made straight in the format the pixmap keeps, so that
    // the pixmap takes the pixels as they are.
    scaledImage = fitPicture(frameImage, form.label->size() * ratio);
    scaledImage.setDevicePixelRatio(ratio);
    framePixmap = QPixmap::fromImage(scaledImage);
    form.label->setPixmap(framePixmap);
}

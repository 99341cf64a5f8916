#include "app/entry.h"

#include "camera/camerathread.h"
#include "platform/processend.h"
#include "platform/streams.h"
#include "window/veltra.h"

#include <QApplication>
#include <QIcon>

#include <opencv2/core.hpp>

#include <cstdio>
#include <memory>

namespace {

// How long the end waits for the camera's thread to release the capture: the process
// ends within a second of the window, whatever the camera does.
constexpr int kReleaseWaitMs = 500;

} // namespace

int runVeltra(int &argc, char **argv)
{
    // The frame's work runs on the GUI thread, OpenCV's functions included: its worker
    // threads would save little on one frame at a time and spin between frames.
    cv::setNumThreads(0);
    // The diagnostic stream reads the same on every platform.
    writeStandardStreamsAsIs();
    // The command line goes whole to Qt; the program has no options of its own.
    QApplication app(argc, argv);
    app.setWindowIcon(QIcon(QStringLiteral(":/veltra/veltra.png")));
    auto window = std::make_unique<Veltra>();
    window->show();
    const int result = app.exec();
    window.reset(); // the window goes before the application object
    // The capture is released on the thread that owns it. A back-end still inside a
    // call there (a read of a stalled stream, or a DirectShow release waiting for one)
    // may never return, and the capture cannot be released under it: the process then
    // ends here, with nothing left to save but the diagnostic stream.
    std::fflush(nullptr);
    if (CameraThread *camera = CameraThread::existing(); camera && !camera->shutDown(kReleaseWaitMs))
        endProcessNow(result);
    return result;
}

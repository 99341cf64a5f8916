#include "app/entry.h"

#include "camera/camera.h"
#include "platform/streams.h"
#include "window/veltra.h"

#include <QApplication>
#include <QIcon>

#include <opencv2/core.hpp>

#include <cstdio>
#include <cstdlib>
#include <memory>

int runVeltra(int &argc, char **argv)
{
    // The frame work runs on the GUI thread, OpenCV's functions included: its worker
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
    // A back-end still inside a camera call (a read of a stalled stream) may never
    // return, and the capture cannot be released under it: the process ends here,
    // with nothing left to save but the diagnostic stream.
    if (cameraCallUnderWay()) {
        std::fflush(nullptr);
        std::_Exit(result);
    }
    return result;
}

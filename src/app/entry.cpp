#include "app/entry.h"

#include "platform/streams.h"
#include "window/veltra.h"

#include <QApplication>
#include <QIcon>

#include <opencv2/core.hpp>

#include <memory>

int runVeltra(int &argc, char **argv)
{
    // Everything runs on the GUI thread, OpenCV's functions included: its worker
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
    return result;
}

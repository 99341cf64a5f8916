#include "app/entry.h"

#include "window/veltra.h"

#include <QApplication>
#include <QIcon>

#include <memory>

int runVeltra(int &argc, char **argv)
{
    // The command line goes whole to Qt; the program has no options of its own.
    QApplication app(argc, argv);
    app.setWindowIcon(QIcon(QStringLiteral(":/veltra/veltra.png")));
    auto window = std::make_unique<Veltra>();
    window->show();
    const int result = app.exec();
    window.reset(); // the window goes before the application object
    return result;
}

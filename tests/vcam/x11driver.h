#pragma once

// Drives another process's window on the X server, as a user and a window manager
// would: finds it, clicks in it, asks it to close, and reads what it shows.

#include <QImage>
#include <QPoint>

#include <cstdint>

typedef struct _XDisplay Display;

class X11Driver
{
public:
    X11Driver();
    ~X11Driver();
    X11Driver(const X11Driver &) = delete;
    X11Driver &operator=(const X11Driver &) = delete;

    bool connected() const { return display_ != nullptr; }

    // The mapped top-level window of process `pid` titled `title`, or 0.
    unsigned long findWindow(qint64 pid, const QString &title) const;
    // The window's top-left corner on the screen.
    QPoint origin(unsigned long window) const;
    // A left click at `pos`, in the window's own coordinates, through XTEST.
    void click(unsigned long window, QPoint pos) const;
    // What a window manager sends when the user closes the window from its frame.
    void requestClose(unsigned long window) const;
    // What the window shows now; null if it is gone.
    QImage grab(unsigned long window) const;

private:
    Display *display_ = nullptr;
};

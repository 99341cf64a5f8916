#pragma once

// Drives another process's window on the X server, as a user and a window manager
// would: finds it, clicks in it, resizes, maximises and asks it to close, reads what
// it shows, and pings it to tell whether it still answers.

#include <QImage>
#include <QPoint>
#include <QSize>

#include <atomic>
#include <cstdint>
#include <thread>

typedef struct _XDisplay Display;

class X11Driver
{
public:
    X11Driver();
    ~X11Driver();
    X11Driver(const X11Driver &) = delete;
    X11Driver &operator=(const X11Driver &) = delete;

    bool connected() const { return display_ != nullptr; }

    // The mapped top-level window of process `pid` titled `title`, or 0. Under a window
    // manager that is the client window inside the frame the manager put round it.
    unsigned long findWindow(qint64 pid, const QString &title) const;
    // The window's top-left corner on the screen.
    QPoint origin(unsigned long window) const;
    QSize size(unsigned long window) const;
    // A left click at `pos`, in the window's own coordinates, through XTEST.
    void click(unsigned long window, QPoint pos) const;
    // What a window manager sends when the user closes the window from its frame.
    void requestClose(unsigned long window) const;
    // Asks for a new size, as dragging the frame's edge does: a window manager grants
    // it within the window's own size hints.
    void resize(unsigned long window, QSize size) const;
    // Asks the window manager to maximise the window, or to restore it.
    void setMaximized(unsigned long window, bool maximized) const;
    // Whether a window manager runs on this screen.
    bool windowManagerRunning() const;
    // What the window shows now; null if it is gone.
    QImage grab(unsigned long window) const;

private:
    Display *display_ = nullptr;
};

// Pings a window as a window manager does to tell whether its program still answers
// (_NET_WM_PING), every few milliseconds, from a thread and a connection of its own.
// The program answers only while its GUI thread handles events, so the longest wait
// for an answer is the longest time that thread was held.
class PingMonitor
{
public:
    explicit PingMonitor(unsigned long window, int intervalMs = 5);
    ~PingMonitor();
    PingMonitor(const PingMonitor &) = delete;
    PingMonitor &operator=(const PingMonitor &) = delete;

    struct Result
    {
        int sent = 0;
        int answered = 0;
        double longestMs = 0; // a ping still unanswered at the stop counts until then
    };
    // Stops pinging and says how it went.
    Result stop();

private:
    void run(unsigned long window, int intervalMs);

    std::atomic<bool> stopping_{false};
    Result result_;
    std::thread thread_;
};

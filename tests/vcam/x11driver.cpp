#include "x11driver.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <poll.h>
#include <vector>

namespace {

int ignoreErrors(Display *, XErrorEvent *) { return 0; } // a window may vanish mid-call

// A window manager's kind of message about `window`: up to five 32-bit values.
XEvent clientMessage(Window window, Atom type, std::initializer_list<long> values)
{
    XEvent event;
    std::memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = type;
    event.xclient.format = 32;
    std::copy(values.begin(), values.end(), event.xclient.data.l);
    return event;
}

bool isMapped(Display *d, Window w)
{
    XWindowAttributes a;
    return XGetWindowAttributes(d, w, &a) && a.map_state == IsViewable;
}

qint64 windowPid(Display *d, Window w)
{
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char *data = nullptr;
    qint64 pid = -1;
    if (XGetWindowProperty(d, w, XInternAtom(d, "_NET_WM_PID", False), 0, 1, False, XA_CARDINAL, &type,
                           &format, &count, &after, &data) == Success && data && count == 1)
        pid = static_cast<qint64>(*reinterpret_cast<unsigned long *>(data));
    if (data)
        XFree(data);
    return pid;
}

QString windowTitle(Display *d, Window w)
{
    XTextProperty text;
    QString title;
    if (XGetWMName(d, w, &text) && text.value) {
        title = QString::fromUtf8(reinterpret_cast<const char *>(text.value), static_cast<int>(text.nitems));
        XFree(text.value);
    }
    return title;
}

} // namespace

X11Driver::X11Driver()
{
    display_ = XOpenDisplay(nullptr);
    XSetErrorHandler(ignoreErrors);
}

X11Driver::~X11Driver()
{
    if (display_)
        XCloseDisplay(display_);
}

unsigned long X11Driver::findWindow(qint64 pid, const QString &title) const
{
    // A window manager reparents each client window into a frame of its own, a level
    // or two below the root.
    std::function<Window(Window, int)> search = [&](Window parentWindow, int depth) -> Window {
        Window root, parent, *children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display_, parentWindow, &root, &parent, &children, &count))
            return 0;
        Window found = 0;
        for (unsigned int i = 0; i < count && !found; ++i) {
            if (windowPid(display_, children[i]) == pid && windowTitle(display_, children[i]) == title
                && isMapped(display_, children[i]))
                found = children[i];
            else if (depth > 0)
                found = search(children[i], depth - 1);
        }
        if (children)
            XFree(children);
        return found;
    };
    return search(DefaultRootWindow(display_), 3);
}

QPoint X11Driver::origin(unsigned long window) const
{
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(display_, window, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
    return {x, y};
}

void X11Driver::click(unsigned long window, QPoint pos) const
{
    const QPoint at = origin(window) + pos;
    XTestFakeMotionEvent(display_, -1, at.x(), at.y(), CurrentTime);
    XTestFakeButtonEvent(display_, 1, True, CurrentTime);
    XTestFakeButtonEvent(display_, 1, False, CurrentTime);
    XFlush(display_);
}

void X11Driver::requestClose(unsigned long window) const
{
    XEvent event = clientMessage(window, XInternAtom(display_, "WM_PROTOCOLS", False),
                                 {static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False)), CurrentTime});
    XSendEvent(display_, window, False, NoEventMask, &event);
    XFlush(display_);
}

QSize X11Driver::size(unsigned long window) const
{
    XWindowAttributes a;
    if (!XGetWindowAttributes(display_, window, &a))
        return {};
    return {a.width, a.height};
}

void X11Driver::resize(unsigned long window, QSize size) const
{
    XResizeWindow(display_, window, static_cast<unsigned>(size.width()), static_cast<unsigned>(size.height()));
    XFlush(display_);
}

void X11Driver::setMaximized(unsigned long window, bool maximized) const
{
    XEvent event = clientMessage(window, XInternAtom(display_, "_NET_WM_STATE", False),
                                 {maximized ? 1 : 0, // add or remove
                                  static_cast<long>(XInternAtom(display_, "_NET_WM_STATE_MAXIMIZED_VERT", False)),
                                  static_cast<long>(XInternAtom(display_, "_NET_WM_STATE_MAXIMIZED_HORZ", False)),
                                  1}); // asked for by an application
    XSendEvent(display_, DefaultRootWindow(display_), False, SubstructureRedirectMask | SubstructureNotifyMask,
               &event);
    XFlush(display_);
}

bool X11Driver::windowManagerRunning() const
{
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char *data = nullptr;
    const bool found = XGetWindowProperty(display_, DefaultRootWindow(display_),
                                          XInternAtom(display_, "_NET_SUPPORTING_WM_CHECK", False), 0, 1, False,
                                          XA_WINDOW, &type, &format, &count, &after, &data) == Success
        && data && count == 1;
    if (data)
        XFree(data);
    return found;
}

QImage X11Driver::grab(unsigned long window) const
{
    XWindowAttributes a;
    if (!XGetWindowAttributes(display_, window, &a) || a.map_state != IsViewable)
        return {};
    XImage *image = XGetImage(display_, window, 0, 0, static_cast<unsigned>(a.width),
                              static_cast<unsigned>(a.height), AllPlanes, ZPixmap);
    if (!image)
        return {};
    QImage copy;
    if (image->bits_per_pixel == 32) // the 24-bit screens of the tests: x8r8g8b8
        copy = QImage(reinterpret_cast<const uchar *>(image->data), image->width, image->height,
                      image->bytes_per_line, QImage::Format_RGB32).copy();
    XDestroyImage(image);
    return copy;
}

PingMonitor::PingMonitor(unsigned long window, int intervalMs)
    : thread_([this, window, intervalMs] { run(window, intervalMs); })
{
}

PingMonitor::~PingMonitor() { stop(); }

PingMonitor::Result PingMonitor::stop()
{
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
    return result_;
}

void PingMonitor::run(unsigned long window, int intervalMs)
{
    using Clock = std::chrono::steady_clock;
    Display *display = XOpenDisplay(nullptr);
    if (!display)
        return;
    // Qt answers to the root window, for whoever listens to the root's own structure
    // (or redirects its substructure, as only a window manager may).
    const Window root = DefaultRootWindow(display);
    XSelectInput(display, root, StructureNotifyMask);
    const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    const Atom ping = XInternAtom(display, "_NET_WM_PING", False);
    constexpr long kMark = 0x56454c54; // tells this monitor's pings from a window manager's

    std::vector<Clock::time_point> sentAt;
    size_t firstUnanswered = 0;
    auto waited = [](Clock::time_point from, Clock::time_point to) {
        return std::chrono::duration<double, std::milli>(to - from).count();
    };
    Clock::time_point nextPing = Clock::now();
    while (!stopping_) {
        if (Clock::now() >= nextPing) {
            // The ping's number stands in place of a timestamp.
            XEvent event = clientMessage(window, protocols, {static_cast<long>(ping), static_cast<long>(sentAt.size()),
                                                             static_cast<long>(window), kMark});
            XSendEvent(display, window, False, NoEventMask, &event);
            XFlush(display);
            sentAt.push_back(Clock::now());
            nextPing += std::chrono::milliseconds(intervalMs);
        }
        pollfd fd{ConnectionNumber(display), POLLIN, 0};
        poll(&fd, 1, 1);
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type != ClientMessage || event.xclient.message_type != protocols
                || static_cast<Atom>(event.xclient.data.l[0]) != ping || event.xclient.data.l[3] != kMark)
                continue;
            const auto serial = static_cast<size_t>(event.xclient.data.l[1]);
            if (serial >= sentAt.size() || serial < firstUnanswered)
                continue;
            // Answers come in order: this one answers every earlier ping too.
            result_.longestMs = std::max(result_.longestMs, waited(sentAt[firstUnanswered], Clock::now()));
            result_.answered += static_cast<int>(serial + 1 - firstUnanswered);
            firstUnanswered = serial + 1;
        }
    }
    if (firstUnanswered < sentAt.size())
        result_.longestMs = std::max(result_.longestMs, waited(sentAt[firstUnanswered], Clock::now()));
    result_.sent = static_cast<int>(sentAt.size());
    XCloseDisplay(display);
}

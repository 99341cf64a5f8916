#include "x11driver.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <cstring>

namespace {

int ignoreErrors(Display *, XErrorEvent *) { return 0; } // a window may vanish mid-call

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
    Window root, parent, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count))
        return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && !found; ++i)
        if (windowPid(display_, children[i]) == pid && windowTitle(display_, children[i]) == title
            && isMapped(display_, children[i]))
            found = children[i];
    if (children)
        XFree(children);
    return found;
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
    XEvent event;
    std::memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, window, False, NoEventMask, &event);
    XFlush(display_);
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

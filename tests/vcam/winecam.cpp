// A virtual camera for Wine: /dev/video0 served from inside the process, for Windows
// programs whose DirectShow reaches V4L2 through Wine. Preloaded into Wine, this
// library answers Wine's avicap32, which looks for cameras with stat, open, the
// capability ioctl and close from libc, and Wine's qcap, which loads libv4l2.so.0 by
// name and reads through its v4l2_* functions: this library's name is that one, and
// being loaded already, it is what qcap gets. libc's calls on anything else go on to
// libc. Frames are 8-bit B, G, R, read whole with read(), drawn by vcam_path.h as the
// PipeWire source draws them.
//
// VELTRA_WINECAM names a folder. Its file "control" is read as the camera runs, one
// "key value" a line, each optional:
//   state live|stall|gone   gone: stat and open fail with ENOENT, and an open device's
//                           read and ioctl with ENODEV until it is opened again
//   width W, height H, fps N          (at open; 640, 480 and 30 unless set)
//   open-delay-ms N         how long an open takes
//   first-frame-delay-ms N  how much later than one frame time the first frame comes
// Each frame sent is written to the file "frames" as "frame N T", its number and the
// monotonic clock in microseconds, and each of qcap's opens as "open T".

#include "vcam_path.h"

#include <linux/videodev2.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr const char *kDevice = "/dev/video0";

struct Settings
{
    std::string state = "live";
    int width = 640, height = 480, fps = 30;
    int openDelayMs = 0, firstFrameDelayMs = 0;
};

struct Device
{
    int fd = -1;
    unsigned generation = 0; // the camera's life it was opened in: an unplug ends it
    int width = 0, height = 0, fps = 0;
    long long firstFrameUs = 0; // when its first frame is due
    long long sent = 0;         // frames it was sent
};

std::mutex mutex;
std::vector<Device> devices;
std::atomic<unsigned> generation{1};
std::atomic<uint64_t> frameNumber{0};

template<typename F>
F next(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

long long nowUs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void sleepUs(long long us)
{
    if (us <= 0)
        return;
    const timespec wait{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    nanosleep(&wait, nullptr);
}

std::string folder()
{
    const char *dir = std::getenv("VELTRA_WINECAM");
    return dir ? dir : "";
}

// Read afresh at every call: the test changes it while the camera runs.
Settings settings()
{
    Settings s;
    const std::string dir = folder();
    FILE *file = dir.empty() ? nullptr : std::fopen((dir + "/control").c_str(), "re");
    if (!file)
        return s;
    char key[64], value[64];
    while (std::fscanf(file, "%63s %63s", key, value) == 2) {
        const std::string k = key;
        const int n = std::atoi(value);
        if (k == "state")
            s.state = value;
        else if (k == "width" && n >= 64)
            s.width = n;
        else if (k == "height" && n >= 64)
            s.height = n;
        else if (k == "fps" && n >= 1)
            s.fps = n;
        else if (k == "open-delay-ms")
            s.openDelayMs = n;
        else if (k == "first-frame-delay-ms")
            s.firstFrameDelayMs = n;
    }
    std::fclose(file);
    return s;
}

// Whether the camera is plugged in; a camera found gone ends the life of every device
// opened so far.
bool present()
{
    static std::atomic<bool> wasGone{false};
    const bool gone = settings().state == "gone";
    if (gone && !wasGone.exchange(true))
        ++generation;
    if (!gone)
        wasGone = false;
    return !gone;
}

bool isCamera(const char *path)
{
    return path && std::strcmp(path, kDevice) == 0 && !folder().empty();
}

Device *find(int fd)
{
    for (Device &d : devices)
        if (d.fd == fd)
            return &d;
    return nullptr;
}

void logLine(const std::string &line)
{
    FILE *log = std::fopen((folder() + "/frames").c_str(), "ae");
    if (!log)
        return;
    std::fprintf(log, "%s\n", line.c_str());
    std::fclose(log);
}

int fail(int error)
{
    errno = error;
    return -1;
}

int openCamera(int flags, bool slow)
{
    if (!present())
        return fail(ENOENT);
    const Settings s = settings();
    if (slow) {
        logLine("open " + std::to_string(nowUs()));
        sleepUs(static_cast<long long>(s.openDelayMs) * 1000);
    }
    // A descriptor of its own, so that nothing else in the process gets its number.
    const int fd = next<int (*)(const char *, int, ...)>("open")("/dev/null", (flags & O_CLOEXEC) | O_RDWR);
    if (fd < 0)
        return fd;
    Device d;
    d.fd = fd;
    d.generation = generation;
    d.width = s.width;
    d.height = s.height;
    d.fps = s.fps;
    d.firstFrameUs = nowUs() + 1000000 / s.fps + static_cast<long long>(s.firstFrameDelayMs) * 1000;
    const std::lock_guard lock(mutex);
    devices.push_back(d);
    return fd;
}

void describe(const Device &d, v4l2_pix_format &pix)
{
    pix.width = static_cast<__u32>(d.width);
    pix.height = static_cast<__u32>(d.height);
    pix.pixelformat = V4L2_PIX_FMT_BGR24;
    pix.field = V4L2_FIELD_NONE;
    pix.bytesperline = static_cast<__u32>(3 * d.width);
    pix.sizeimage = static_cast<__u32>(3 * d.width * d.height);
    pix.colorspace = V4L2_COLORSPACE_SRGB;
}

int cameraIoctl(Device d, unsigned long request, void *arg)
{
    if (d.generation != generation || !present())
        return fail(ENODEV);
    switch (static_cast<uint32_t>(request)) { // Wine passes it sign-extended
    case static_cast<uint32_t>(VIDIOC_QUERYCAP): {
        auto *cap = static_cast<v4l2_capability *>(arg);
        std::memset(cap, 0, sizeof *cap);
        std::strcpy(reinterpret_cast<char *>(cap->driver), "veltra-winecam");
        std::strcpy(reinterpret_cast<char *>(cap->card), "Veltra test camera");
        std::strcpy(reinterpret_cast<char *>(cap->bus_info), "platform:veltra");
        cap->version = (6u << 16) | (1u << 8);
        cap->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_READWRITE;
        cap->capabilities = cap->device_caps | V4L2_CAP_DEVICE_CAPS;
        return 0;
    }
    case static_cast<uint32_t>(VIDIOC_ENUM_FMT): {
        auto *fmt = static_cast<v4l2_fmtdesc *>(arg);
        if (fmt->index != 0 || fmt->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return fail(EINVAL);
        fmt->flags = 0;
        fmt->pixelformat = V4L2_PIX_FMT_BGR24;
        std::strcpy(reinterpret_cast<char *>(fmt->description), "BGR24");
        return 0;
    }
    case static_cast<uint32_t>(VIDIOC_G_FMT):
    case static_cast<uint32_t>(VIDIOC_TRY_FMT):
    case static_cast<uint32_t>(VIDIOC_S_FMT): {
        auto *fmt = static_cast<v4l2_format *>(arg);
        if (fmt->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return fail(EINVAL);
        describe(d, fmt->fmt.pix); // the one format there is, whatever was asked
        return 0;
    }
    case static_cast<uint32_t>(VIDIOC_ENUM_FRAMESIZES): {
        auto *size = static_cast<v4l2_frmsizeenum *>(arg);
        if (size->index != 0 || size->pixel_format != V4L2_PIX_FMT_BGR24)
            return fail(EINVAL);
        size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        size->discrete = {static_cast<__u32>(d.width), static_cast<__u32>(d.height)};
        return 0;
    }
    case static_cast<uint32_t>(VIDIOC_ENUM_FRAMEINTERVALS): {
        auto *interval = static_cast<v4l2_frmivalenum *>(arg);
        if (interval->index != 0 || interval->pixel_format != V4L2_PIX_FMT_BGR24
            || interval->width != static_cast<__u32>(d.width) || interval->height != static_cast<__u32>(d.height))
            return fail(EINVAL);
        interval->type = V4L2_FRMIVAL_TYPE_DISCRETE;
        interval->discrete = {1, static_cast<__u32>(d.fps)};
        return 0;
    }
    default:
        return fail(EINVAL); // no controls, no streaming I/O
    }
}


// Waits for the device's next frame and writes it whole; blocks, as a camera's read
// does, all through a stall.
ssize_t cameraRead(int fd, void *buf, size_t count)
{
    Device d;
    {
        const std::lock_guard lock(mutex);
        const Device *found = find(fd);
        if (!found)
            return fail(EBADF);
        d = *found;
    }
    const size_t size = static_cast<size_t>(3 * d.width * d.height);
    if (count < size)
        return fail(EINVAL);
    const long long due = d.firstFrameUs + d.sent * 1000000 / d.fps;
    for (;;) {
        if (d.generation != generation || !present())
            return fail(ENODEV);
        const long long wait = due - nowUs();
        if (wait <= 0 && settings().state != "stall")
            break;
        sleepUs(wait > 0 ? std::min(wait, 20000LL) : 20000);
    }
    const uint64_t number = frameNumber++;
    vcam::drawFrame(number, d.width, d.height, static_cast<uint8_t *>(buf), static_cast<size_t>(3 * d.width));
    const long long sentAt = nowUs();
    {
        const std::lock_guard lock(mutex);
        if (Device *found = find(fd)) {
            ++found->sent;
            // After a stall the stream goes on from now, not with the frames it missed.
            if (sentAt - due > 1000000 / d.fps)
                found->firstFrameUs = sentAt - found->sent * 1000000 / d.fps + 1000000 / d.fps;
        }
    }
    logLine("frame " + std::to_string(number) + " " + std::to_string(sentAt));
    return static_cast<ssize_t>(size);
}

bool isOpenCamera(int fd)
{
    const std::lock_guard lock(mutex);
    return find(fd) != nullptr;
}

int closeCamera(int fd)
{
    {
        const std::lock_guard lock(mutex);
        for (auto it = devices.begin(); it != devices.end(); ++it)
            if (it->fd == fd) {
                devices.erase(it);
                break;
            }
    }
    return next<int (*)(int)>("close")(fd);
}

int statCamera(struct stat *st)
{
    if (!present())
        return fail(ENOENT);
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFCHR | 0666;
    st->st_rdev = makedev(81, 0);
    st->st_nlink = 1;
    return 0;
}

mode_t modeOf(int flags, va_list args)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

} // namespace

extern "C" {

// libc's entry points, as Wine's avicap32 calls them.
__attribute__((visibility("default"))) int stat(const char *path, struct stat *st)
{
    return isCamera(path) ? statCamera(st) : next<int (*)(const char *, struct stat *)>("stat")(path, st);
}
__attribute__((visibility("default"))) int stat64(const char *path, struct stat64 *st)
{
    return isCamera(path) ? statCamera(reinterpret_cast<struct stat *>(st))
                          : next<int (*)(const char *, struct stat64 *)>("stat64")(path, st);
}
__attribute__((visibility("default"))) int open(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    return isCamera(path) ? openCamera(flags, false) : next<int (*)(const char *, int, ...)>("open")(path, flags, mode);
}
__attribute__((visibility("default"))) int open64(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    return isCamera(path) ? openCamera(flags, false)
                          : next<int (*)(const char *, int, ...)>("open64")(path, flags, mode);
}
__attribute__((visibility("default"))) int openat(int dirfd, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeOf(flags, args);
    va_end(args);
    return isCamera(path) ? openCamera(flags, false)
                          : next<int (*)(int, const char *, int, ...)>("openat")(dirfd, path, flags, mode);
}
__attribute__((visibility("default"))) int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    Device d;
    {
        const std::lock_guard lock(mutex);
        const Device *found = find(fd);
        if (!found)
            return next<int (*)(int, unsigned long, ...)>("ioctl")(fd, request, arg);
        d = *found;
    }
    return cameraIoctl(d, request, arg);
}
__attribute__((visibility("default"))) ssize_t read(int fd, void *buf, size_t count)
{
    return isOpenCamera(fd) ? cameraRead(fd, buf, count) : next<ssize_t (*)(int, void *, size_t)>("read")(fd, buf, count);
}
__attribute__((visibility("default"))) int close(int fd)
{
    return closeCamera(fd);
}

// libv4l2's, as Wine's qcap calls them: its open is the one that takes long on a
// camera slow to open.
__attribute__((visibility("default"))) int v4l2_open(const char *path, int flags, ...)
{
    return isCamera(path) ? openCamera(flags, true) : fail(ENOENT);
}
__attribute__((visibility("default"))) int v4l2_close(int fd)
{
    return closeCamera(fd);
}
__attribute__((visibility("default"))) int v4l2_ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    return ioctl(fd, request, arg);
}
__attribute__((visibility("default"))) ssize_t v4l2_read(int fd, void *buf, size_t count)
{
    return read(fd, buf, count);
}

} // extern "C"

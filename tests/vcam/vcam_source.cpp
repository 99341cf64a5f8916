// A virtual camera for the end-to-end tests: a PipeWire Video/Source node that plays
// frames with a marker moving on a known path (see vcam_path.h). Through PipeWire's
// V4L2 layer a program sees it as /dev/video0.
//
//   veltra-vcam-source [--width W] [--height H] [--fps N] [--format bgr|yuy2|mjpg]
//                      [--pad N] [--first-frame-delay MS]
//
// The formats are those cameras send: 8-bit BGR; YUY2 (YUYV 4:2:2, BT.601 video
// range), what UVC webcams send at 640x480; and Motion-JPEG, 4:2:2 like a webcam's
// encoder, each frame its own JPEG without the standard Huffman tables, as many
// webcams leave them out. --pad puts N zero bytes before each JPEG's end marker, as
// many UVC webcams do; --first-frame-delay holds the first frame of each stream back
// by MS milliseconds, as capture cards and cameras settling their exposure do.
//
// Signals steer it: SIGUSR1 stalls the stream (no more frames, the node stays),
// SIGUSR2 resumes it, SIGTERM or SIGINT ends it. It prints "ready" once the node
// exists, "linked" when a consumer claims it (agrees on a format), "consumer 1" or
// "consumer 0" when a consumer starts or stops streaming, and "frame T" as each frame
// goes out, T the monotonic clock in microseconds.
//
// A consumer that goes away after streaming keeps the buffers of its link, whether it
// was sent frames or the source was stalled meanwhile, and a PipeWire stream does not
// take them back: the next consumer would get nothing. A real camera starts afresh
// for every user, so this one does too: when a consumer that streamed for a frame
// time or more leaves, the node suspends itself, which drops its format and buffers;
// the next consumer negotiates new ones. The node itself stays, so a program that reopens the
// camera at once finds the same node (PipeWire's V4L2 layer hangs for 30 s in an
// open whose node is replaced under it).

#include "mjpeg.h"
#include "vcam_path.h"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/param/props.h>
#include <turbojpeg.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

enum class Format { Bgr, Yuy2, Mjpg };

struct Source
{
    Format format = Format::Bgr;
    std::vector<uint8_t> picture; // the frame as 8-bit BGR, before it is put in the format
    tjhandle encoder = nullptr;
    pw_main_loop *loop = nullptr;
    pw_stream *stream = nullptr;
    spa_source *timer = nullptr;
    spa_source *suspendTimer = nullptr;
    pw_registry *registry = nullptr;
    int width = 320;
    int height = 240;
    int fps = 30;
    int pad = 0;               // zero bytes before each JPEG's end marker
    int firstFrameDelayMs = 0; // added to the first frame's wait in each stream
    bool stalled = false;
    bool streaming = false;
    uint64_t frame = 0;     // the frame number, so the marker moves on as frames go out
    uint64_t streamedTicks = 0; // frame times the current consumer streamed through, sent or stalled
};

void setTimer(Source *s, spa_source *timer, long firstNs, long intervalNs)
{
    timespec value{firstNs / 1000000000L, firstNs % 1000000000L};
    timespec interval{intervalNs / 1000000000L, intervalNs % 1000000000L};
    pw_loop_update_timer(pw_main_loop_get_loop(s->loop), timer, &value, &interval, false);
}

// A buffer's row stride and size, as PipeWire's V4L2 layer asks for them: rows of a
// width rounded up to 4 pixels, and an even number of rows. A JPEG frame is much
// smaller than its buffer, which holds a byte a pixel.
int bufferStride(const Source &s) { return (s.width + 3) / 4 * 4 * (s.format == Format::Bgr ? 3 : s.format == Format::Yuy2 ? 2 : 1); }
int bufferSize(const Source &s) { return bufferStride(s) * ((s.height + 1) / 2 * 2); }

void drawPicture(Source &s)
{
    s.picture.resize(static_cast<size_t>(3 * s.width * s.height));
    vcam::drawFrame(s.frame, s.width, s.height, s.picture.data(), static_cast<size_t>(3 * s.width));
}

// Two pixels share their chroma, taken from their mean colour.
void toYuyv(const uint8_t *bgr, uint8_t *out, int pixels)
{
    const auto luma = [](const uint8_t *p) { return uint8_t(16 + ((66 * p[2] + 129 * p[1] + 25 * p[0] + 128) >> 8)); };
    for (int i = 0; i + 1 < pixels; i += 2, bgr += 6, out += 4) {
        const int b = (bgr[0] + bgr[3] + 1) / 2, g = (bgr[1] + bgr[4] + 1) / 2, r = (bgr[2] + bgr[5] + 1) / 2;
        out[0] = luma(bgr);
        out[1] = uint8_t(128 + ((-38 * r - 74 * g + 112 * b + 128) >> 8));
        out[2] = luma(bgr + 3);
        out[3] = uint8_t(128 + ((112 * r - 94 * g - 18 * b + 128) >> 8));
    }
}

// Puts the next picture into `data` (`capacity` bytes) in the stream's format; returns
// the bytes used, 0 if it did not fit.
uint32_t fillFrame(Source &s, uint8_t *data, uint32_t capacity)
{
    drawPicture(s);
    const int stride = bufferStride(s);
    switch (s.format) {
    case Format::Bgr:
    case Format::Yuy2:
        for (int y = 0; y < s.height; ++y) {
            const uint8_t *from = s.picture.data() + static_cast<ptrdiff_t>(y) * 3 * s.width;
            uint8_t *to = data + static_cast<ptrdiff_t>(y) * stride;
            if (s.format == Format::Bgr)
                std::memcpy(to, from, static_cast<size_t>(3 * s.width));
            else
                toYuyv(from, to, s.width);
        }
        return static_cast<uint32_t>(stride * s.height);
    case Format::Mjpg: {
        unsigned char *jpeg = nullptr;
        unsigned long size = 0;
        if (tjCompress2(s.encoder, s.picture.data(), s.width, 3 * s.width, s.height, TJPF_BGR, &jpeg, &size,
                        TJSAMP_422, 85, 0) != 0 || size > capacity) {
            tjFree(jpeg);
            return 0;
        }
        if (size + static_cast<unsigned long>(s.pad) > capacity) {
            tjFree(jpeg);
            return 0;
        }
        const size_t used = vcam::withoutHuffmanTables(jpeg, size, data);
        tjFree(jpeg);
        std::memset(data + used - 2, 0, static_cast<size_t>(s.pad)); // the end marker moves back
        data[used - 2 + s.pad] = 0xff;
        data[used - 1 + s.pad] = 0xd9;
        return static_cast<uint32_t>(used + static_cast<size_t>(s.pad));
    }
    }
    return 0;
}

void onTimeout(void *userdata, uint64_t)
{
    auto *s = static_cast<Source *>(userdata);
    if (!s->streaming)
        return;
    ++s->streamedTicks;
    if (s->stalled)
        return;
    pw_buffer *b = pw_stream_dequeue_buffer(s->stream);
    if (!b)
        return; // the consumer holds every buffer: skip this tick
    spa_buffer *buf = b->buffer;
    spa_data &d = buf->datas[0];
    if (d.data && d.maxsize >= static_cast<uint32_t>(bufferSize(*s))) {
        d.chunk->offset = 0;
        d.chunk->stride = bufferStride(*s);
        d.chunk->size = fillFrame(*s, static_cast<uint8_t *>(d.data), d.maxsize);
    }
    ++s->frame;
    // Timed before it goes: the consumer may take it, and say so, before this thread
    // runs again.
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    pw_stream_queue_buffer(s->stream, b);
    std::printf("frame %lld\n", static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000);
    std::fflush(stdout);
}

void onStateChanged(void *userdata, pw_stream_state, pw_stream_state state, const char *)
{
    auto *s = static_cast<Source *>(userdata);
    const bool streaming = state == PW_STREAM_STATE_STREAMING;
    if (streaming != s->streaming) {
        s->streaming = streaming;
        std::printf("consumer %d\n", streaming ? 1 : 0);
        std::fflush(stdout);
        // Not from inside the stream's own callback: next, from the loop.
        if (!streaming && s->streamedTicks > 0)
            setTimer(s, s->suspendTimer, 1, 0);
    }
    // The first frame goes out one frame time after streaming starts: a program that
    // opens the camera streams for a moment to learn its format, and should take none.
    const long interval = 1000000000L / s->fps;
    const long first = interval + s->firstFrameDelayMs * 1000000L;
    setTimer(s, s->timer, streaming ? first : 0, streaming ? interval : 0);
}

void onParamChanged(void *userdata, uint32_t id, const spa_pod *param)
{
    auto *s = static_cast<Source *>(userdata);
    if (id != SPA_PARAM_Format)
        return;
    if (!param) {
        std::printf("unlinked\n");
        std::fflush(stdout);
        return;
    }
    // A consumer agreed on the format: the camera is claimed, streaming or not.
    std::printf("linked\n");
    std::fflush(stdout);
    uint8_t storage[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    const spa_pod *params[1];
    params[0] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
        SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(4, 2, 8),
        SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
        SPA_PARAM_BUFFERS_size, SPA_POD_Int(bufferSize(*s)),
        SPA_PARAM_BUFFERS_stride, SPA_POD_Int(bufferStride(*s)),
        SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd)));
    pw_stream_update_params(s->stream, params, 1);
}

const pw_stream_events kStreamEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = onStateChanged;
    e.param_changed = onParamChanged;
    return e;
}();

void onStall(void *userdata, int) { static_cast<Source *>(userdata)->stalled = true; }
void onResume(void *userdata, int) { static_cast<Source *>(userdata)->stalled = false; }
void onQuit(void *userdata, int) { pw_main_loop_quit(static_cast<Source *>(userdata)->loop); }

// Offers one format, at the chosen size and rate.
bool connect(Source *s)
{
    s->streamedTicks = 0;
    uint8_t storage[1024];
    spa_pod_builder b = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    const spa_rectangle size = SPA_RECTANGLE(static_cast<uint32_t>(s->width), static_cast<uint32_t>(s->height));
    const spa_fraction rate = SPA_FRACTION(static_cast<uint32_t>(s->fps), 1);
    const spa_pod *params[1];
    if (s->format == Format::Mjpg)
        params[0] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat,
            SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
            SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_mjpg),
            SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
            SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)));
    else
        params[0] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
            &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat,
            SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
            SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
            SPA_FORMAT_VIDEO_format, SPA_POD_Id(s->format == Format::Bgr ? SPA_VIDEO_FORMAT_BGR : SPA_VIDEO_FORMAT_YUY2),
            SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
            SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)));

    const int res = pw_stream_connect(s->stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                                      static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
                                      params, 1);
    if (res < 0) {
        std::fprintf(stderr, "veltra-vcam-source: cannot connect to PipeWire: %s\n", std::strerror(-res));
        return false;
    }
    return true;
}

void onSuspend(void *userdata, uint64_t)
{
    auto *s = static_cast<Source *>(userdata);
    if (!s->registry)
        s->registry = pw_core_get_registry(pw_stream_get_core(s->stream), PW_VERSION_REGISTRY, 0);
    auto *node = static_cast<pw_node *>(pw_registry_bind(s->registry, pw_stream_get_node_id(s->stream),
                                                         PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
    const spa_command suspend = SPA_NODE_COMMAND_INIT(SPA_NODE_COMMAND_Suspend);
    pw_node_send_command(node, &suspend);
    pw_proxy_destroy(reinterpret_cast<pw_proxy *>(node));
    s->streamedTicks = 0;
}

int intOption(int argc, char **argv, const char *name, int fallback)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return std::atoi(argv[i + 1]);
    return fallback;
}

} // namespace

int main(int argc, char **argv)
{
    pw_init(&argc, &argv);
    Source s;
    s.width = intOption(argc, argv, "--width", s.width);
    s.height = intOption(argc, argv, "--height", s.height);
    s.fps = intOption(argc, argv, "--fps", s.fps);
    s.pad = intOption(argc, argv, "--pad", s.pad);
    s.firstFrameDelayMs = intOption(argc, argv, "--first-frame-delay", s.firstFrameDelayMs);
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--format") == 0) {
            const std::string name = argv[i + 1];
            s.format = name == "yuy2" ? Format::Yuy2 : name == "mjpg" ? Format::Mjpg : Format::Bgr;
            if (name != "bgr" && name != "yuy2" && name != "mjpg")
                s.width = 0; // refused below
        }
    if (s.width < 64 || s.height < 64 || s.fps < 1 || s.fps > 240 || (s.format == Format::Yuy2 && s.width % 2)
        || s.pad < 0 || s.pad > 4096 || s.firstFrameDelayMs < 0) {
        std::fprintf(stderr, "veltra-vcam-source: bad size, rate or format\n");
        return 2;
    }
    s.encoder = tjInitCompress();

    s.loop = pw_main_loop_new(nullptr);
    pw_loop *loop = pw_main_loop_get_loop(s.loop);
    pw_loop_add_signal(loop, SIGUSR1, onStall, &s);
    pw_loop_add_signal(loop, SIGUSR2, onResume, &s);
    pw_loop_add_signal(loop, SIGTERM, onQuit, &s);
    pw_loop_add_signal(loop, SIGINT, onQuit, &s);
    s.timer = pw_loop_add_timer(loop, onTimeout, &s);
    s.suspendTimer = pw_loop_add_timer(loop, onSuspend, &s);

    // Idle sources are suspended after 5 s by the session manager, and a program
    // opens the camera long before it reads: keep this one awake.
    s.stream = pw_stream_new_simple(
        loop, "veltra-test-camera",
        pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_TYPE, "Video",
                          PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Camera",
                          PW_KEY_NODE_DESCRIPTION, "Veltra test camera",
                          "session.suspend-timeout-seconds", "0", nullptr),
        &kStreamEvents, &s);

    if (!connect(&s))
        return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    pw_main_loop_run(s.loop);

    if (s.registry)
        pw_proxy_destroy(reinterpret_cast<pw_proxy *>(s.registry));
    pw_stream_destroy(s.stream);
    tjDestroy(s.encoder);
    pw_main_loop_destroy(s.loop);
    pw_deinit();
    return 0;
}

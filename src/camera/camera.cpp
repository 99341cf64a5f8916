#include "camera/camera.h"

#include "camera/backends.h"
#include "camera/jpegframe.h"

#include <opencv2/core/utils/logger.hpp>

#include <cstdint>
#include <vector>

namespace {

// Whether the last open failed: the back-ends' warnings about a camera that stays
// away are shown for the first failed open, not again every 2 s while it is away.
bool lastOpenFailed = false;

// OpenCV's log level raised to `level` for a stretch of camera calls whose messages
// would come every frame or every reopen, and back to what it was after.
class QuietOpenCv
{
public:
    QuietOpenCv(bool quiet, cv::utils::logging::LogLevel level)
        : before_(quiet ? cv::utils::logging::setLogLevel(level) : cv::utils::logging::getLogLevel())
    {
    }
    ~QuietOpenCv() { cv::utils::logging::setLogLevel(before_); }
    QuietOpenCv(const QuietOpenCv &) = delete;
    QuietOpenCv &operator=(const QuietOpenCv &) = delete;

private:
    cv::utils::logging::LogLevel before_;
};

constexpr uint32_t fourcc(const char (&code)[5])
{
    return uint32_t(uint8_t(code[0])) | uint32_t(uint8_t(code[1])) << 8 | uint32_t(uint8_t(code[2])) << 16
        | uint32_t(uint8_t(code[3])) << 24;
}
constexpr uint32_t kFourccMjpg = fourcc("MJPG");
constexpr uint32_t kFourccJpeg = fourcc("JPEG");
constexpr uint32_t kFourccBgr = fourcc("BGR3");

// A fourcc is 32 bits unsigned: V4L2's big-endian formats set the top bit, which a
// signed int cannot hold.
uint32_t fourccOf(const cv::VideoCapture &capture)
{
    return static_cast<uint32_t>(capture.get(cv::CAP_PROP_FOURCC));
}

uint32_t v4l2Fourcc(const cv::VideoCapture &capture)
{
    return capture.get(cv::CAP_PROP_BACKEND) == cv::CAP_V4L2 ? fourccOf(capture) : 0;
}

// The frame in `sent`, as OpenCV's V4L2 back-end hands it over unconverted, made
// 8-bit BGR in `frame`: a JPEG comes as one row of bytes.
FrameRead fromSent(const cv::VideoCapture &capture, const cv::Mat &sent, cv::Mat &frame)
{
    const uint32_t fourcc = fourccOf(capture);
    if (fourcc == kFourccMjpg || fourcc == kFourccJpeg)
        return decodeJpegFrame(sent, frame) ? FrameRead::Frame : FrameRead::Bad;
    // B, G, R rows as they are, less any padding at their ends: a view, no copy. OpenCV
    // lays them out by the frame's width, not by the row length the camera gives, so
    // rows a camera pads beyond 4-byte alignment come out skewed, as in OpenCV's own
    // conversion; cameras send B, G, R rarely, and pad it more rarely still.
    const int width = static_cast<int>(capture.get(cv::CAP_PROP_FRAME_WIDTH));
    const int height = static_cast<int>(capture.get(cv::CAP_PROP_FRAME_HEIGHT));
    const size_t bytes = sent.total() * sent.elemSize();
    if (width <= 0 || height <= 0 || !sent.isContinuous() || bytes % static_cast<size_t>(height) != 0
        || bytes / static_cast<size_t>(height) < 3 * static_cast<size_t>(width))
        return FrameRead::Bad;
    frame = sent.reshape(1, height).colRange(0, 3 * width).reshape(3);
    return FrameRead::Frame;
}

// A read where the back-end waits as it likes. A failed grab is a camera gone, or an
// image sequence at its end. A grab that worked and a retrieve that did not is a
// camera late with its frame: DirectShow gives up on one after a second, and fills
// no picture.
FrameRead readPlainly(cv::VideoCapture &capture, cv::Mat &frame)
{
    if (!capture.grab())
        return FrameRead::Failed;
    if (!capture.retrieve(frame) || frame.empty())
        return FrameRead::NotYet;
    return FrameRead::Frame;
}

FrameRead readV4l2(cv::VideoCapture &capture, cv::Mat &frame, int timeoutMs)
{
    // With no wait of its own, V4L2 warns "select() timeout" whenever the device wakes
    // the wait below before a frame is ready to take: most frames with some drivers.
    const QuietOpenCv quiet(v4l2WaitIsOurs(), cv::utils::logging::LOG_LEVEL_ERROR);
    try {
        std::vector<int> ready;
        const std::vector<cv::VideoCapture> streams{capture}; // shares the open device
        cv::VideoCapture::waitAny(streams, ready, static_cast<int64>(timeoutMs) * 1000000);
        if (ready.empty())
            return FrameRead::NotYet;
        if (capture.get(cv::CAP_PROP_CONVERT_RGB) != 0)
            return capture.retrieve(frame) ? FrameRead::Frame : FrameRead::NotYet;
        // A fresh buffer each time: the frame made from it below may be a view of it,
        // still in use elsewhere when the next frame comes.
        cv::Mat sent;
        if (!capture.retrieve(sent))
            return FrameRead::NotYet;
        return fromSent(capture, sent, frame);
    } catch (const cv::Exception &) {
        // waitAny asserts when its grab finds no frame: at the start of a stream, after
        // a wake-up with nothing behind it, and when the device reports an error. All
        // of them mean "no frame now"; a device that is gone is reopened by the caller.
        return FrameRead::NotYet;
    }
}

} // namespace

bool reopenCamera(cv::VideoCapture &capture, int index)
{
    capture.release();
    {
        // After the first failure, nothing: every back-end says again what it said
        // then, some (OpenCV 4.10's Orbbec one) as errors.
        const QuietOpenCv quiet(lastOpenFailed, cv::utils::logging::LOG_LEVEL_SILENT);
        lastOpenFailed = !capture.open(index, cv::CAP_ANY);
    }
    if (lastOpenFailed)
        return false;
    // OpenCV would decode each JPEG to R, G, B and swap the bytes after, which costs
    // more than the decoding itself, and copies B, G, R frames twice over; readFrame
    // decodes straight to B, G, R, and takes B, G, R rows as they come.
    const uint32_t fourcc = v4l2Fourcc(capture);
    if (fourcc == kFourccMjpg || fourcc == kFourccJpeg || fourcc == kFourccBgr)
        capture.set(cv::CAP_PROP_CONVERT_RGB, 0);
    return true;
}

FrameRead readFrame(cv::VideoCapture &capture, cv::Mat &frame, int timeoutMs)
{
    if (!capture.isOpened())
        return FrameRead::Failed;
    const FrameRead read = capture.get(cv::CAP_PROP_BACKEND) == cv::CAP_V4L2 ? readV4l2(capture, frame, timeoutMs)
                                                                             : readPlainly(capture, frame);
    // A view of the back-end's own buffer would be filled again by the next read while
    // the frame is still tracked: such a frame alone is copied.
    if (read == FrameRead::Frame && !frame.u)
        frame = frame.clone();
    return read;
}

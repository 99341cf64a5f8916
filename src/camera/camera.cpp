#include "app/camera.h"

#include "app/state.h"
#include "tracking/jpegframe.h"

#include <cstdlib>
#include <vector>

void prepareCameraBackends()
{
    // A user's own priority list, or own priority for a back-end, is left as it is.
    if (!std::getenv("OPENCV_VIDEOIO_PRIORITY_LIST")) {
        // OpenCV tries back-ends in order of priority, GStreamer (990) before V4L2 (970).
        // A GStreamer camera reads the same /dev/videoN, but its reads can block forever.
        setenv("OPENCV_VIDEOIO_PRIORITY_V4L2", "1100", /*overwrite=*/0);
        // For a camera index the last back-end tried is GPHOTO2 (still cameras over
        // USB): with no camera, each of its probes holds the GUI thread some 80 ms and
        // leaks about 130 KiB inside libgphoto2, once per reopen, every 2 s for as long
        // as the live view waits. Priority 0 takes it out of the list.
        setenv("OPENCV_VIDEOIO_PRIORITY_GPHOTO2", "0", /*overwrite=*/0);
    }
    // V4L2 reads this in whole seconds and by default waits 10 s for a frame, blocking
    // the GUI thread all that time on a stalled camera. readFrame polls with its own
    // short bound first; 0 makes the back-end's own waits (the first grab of a stream,
    // and a grab after a wake-up with no frame behind it) return at once.
    setenv("OPENCV_VIDEOIO_V4L_SELECT_TIMEOUT", "0", /*overwrite=*/0);
}

namespace {

constexpr int fourcc(const char (&code)[5])
{
    return code[0] | code[1] << 8 | code[2] << 16 | code[3] << 24;
}
constexpr int kFourccMjpg = fourcc("MJPG");
constexpr int kFourccJpeg = fourcc("JPEG");
constexpr int kFourccBgr = fourcc("BGR3");

int v4l2Fourcc(const cv::VideoCapture &capture)
{
    return capture.get(cv::CAP_PROP_BACKEND) == cv::CAP_V4L2 ? static_cast<int>(capture.get(cv::CAP_PROP_FOURCC)) : 0;
}

// The frame in `sent` (one row of bytes, as the V4L2 camera sent it) made 8-bit BGR
// in `frame`.
FrameRead fromSent(const cv::VideoCapture &capture, const cv::Mat &sent, cv::Mat &frame)
{
    const int fourcc = static_cast<int>(capture.get(cv::CAP_PROP_FOURCC));
    if (fourcc == kFourccMjpg || fourcc == kFourccJpeg)
        return decodeJpegFrame(sent, frame) ? FrameRead::Frame : FrameRead::Bad;
    // B, G, R rows as they are, whatever padding ends each: a view, no copy.
    const int width = static_cast<int>(capture.get(cv::CAP_PROP_FRAME_WIDTH));
    const int height = static_cast<int>(capture.get(cv::CAP_PROP_FRAME_HEIGHT));
    const size_t bytes = sent.total() * sent.elemSize();
    if (width <= 0 || height <= 0 || !sent.isContinuous() || bytes % static_cast<size_t>(height) != 0
        || bytes / static_cast<size_t>(height) < 3 * static_cast<size_t>(width))
        return FrameRead::Bad;
    frame = sent.reshape(1, height).colRange(0, 3 * width).reshape(3);
    return FrameRead::Frame;
}

} // namespace

void takeFramesAsSent(cv::VideoCapture &capture)
{
    // OpenCV would decode each JPEG to R, G, B and swap the bytes after, which costs
    // more than the decoding itself, and copies B, G, R frames twice over; readFrame
    // decodes straight to B, G, R, and takes B, G, R rows as they come.
    const int fourcc = v4l2Fourcc(capture);
    if (capture.isOpened() && (fourcc == kFourccMjpg || fourcc == kFourccJpeg || fourcc == kFourccBgr))
        capture.set(cv::CAP_PROP_CONVERT_RGB, 0);
}

bool reopenCamera()
{
    captureDevice.release();
    if (!captureDevice.open(kCameraIndex, cv::CAP_ANY))
        return false;
    takeFramesAsSent(captureDevice);
    return true;
}

FrameRead readFrame(cv::VideoCapture &capture, cv::Mat &frame, int timeoutMs)
{
    if (!capture.isOpened())
        return FrameRead::Failed;
    if (capture.get(cv::CAP_PROP_BACKEND) != cv::CAP_V4L2)
        return capture.read(frame) ? FrameRead::Frame : FrameRead::Failed;

    try {
        std::vector<int> ready;
        const std::vector<cv::VideoCapture> streams{capture}; // shares the open device
        cv::VideoCapture::waitAny(streams, ready, static_cast<int64>(timeoutMs) * 1000000);
        if (ready.empty())
            return FrameRead::NotYet;
        if (capture.get(cv::CAP_PROP_CONVERT_RGB) != 0)
            return capture.retrieve(frame) ? FrameRead::Frame : FrameRead::NotYet;
        thread_local cv::Mat sent;
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

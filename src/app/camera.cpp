#include "app/camera.h"

#include "app/state.h"

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

bool reopenCamera()
{
    captureDevice.release();
    return captureDevice.open(kCameraIndex, cv::CAP_ANY);
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
        return capture.retrieve(frame) ? FrameRead::Frame : FrameRead::NotYet;
    } catch (const cv::Exception &) {
        // waitAny asserts when its grab finds no frame: at the start of a stream, after
        // a wake-up with nothing behind it, and when the device reports an error. All
        // of them mean "no frame now"; a device that is gone is reopened by the caller.
        return FrameRead::NotYet;
    }
}

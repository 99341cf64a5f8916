#include "camera/backends.h"
#include "camera/camera.h"

#include <cstdlib>

namespace {

bool selectTimeoutIsOurs = false;

} // namespace

bool v4l2WaitIsOurs()
{
    return selectTimeoutIsOurs;
}

void leaveOutStillCameras()
{
    // The last back-end OpenCV tries, for a camera index or a file it cannot open
    // otherwise, is GPHOTO2 (still cameras over USB): each of its probes holds the
    // thread some 80 ms and leaks inside libgphoto2, for the live view once per reopen,
    // every 2 s for as long as it waits. Priority 0 takes it out of the list. A user's
    // own priority list, or own priority for it, is left as it is.
    if (!std::getenv("OPENCV_VIDEOIO_PRIORITY_LIST"))
        setenv("OPENCV_VIDEOIO_PRIORITY_GPHOTO2", "0", /*overwrite=*/0);
}

void prepareCameraBackends()
{
    leaveOutStillCameras();
    // OpenCV tries back-ends in order of priority, GStreamer (990) before V4L2 (970). A
    // GStreamer camera reads the same /dev/videoN, but its reads can block forever.
    if (!std::getenv("OPENCV_VIDEOIO_PRIORITY_LIST"))
        setenv("OPENCV_VIDEOIO_PRIORITY_V4L2", "1100", /*overwrite=*/0);
    // V4L2 reads this in whole seconds and by default waits 10 s for a frame, holding
    // the camera's thread, and a reopen or the end behind it, all that time on a stalled
    // camera. readFrame polls with its own short bound first; 0 makes the back-end's own waits (the first grab of a stream,
    // and a grab after a wake-up with no frame behind it) return at once.
    if (!std::getenv("OPENCV_VIDEOIO_V4L_SELECT_TIMEOUT")) {
        setenv("OPENCV_VIDEOIO_V4L_SELECT_TIMEOUT", "0", /*overwrite=*/1);
        selectTimeoutIsOurs = true;
    }
}

#include "app/state.h"

#include "tracking/trailoverlay.h"

#include <cstdlib>

namespace {

// V4L2 waits up to 10 s for a frame before a read fails, and the live view runs on
// the GUI thread, so a stalled camera would freeze the window that long. The
// back-end reads this variable when the camera opens; a user's own setting wins.
bool shortenCameraStallTimeout()
{
    return setenv("OPENCV_VIDEOIO_V4L_SELECT_TIMEOUT", "1000", /*overwrite=*/0) == 0;
}

} // namespace

// Order matters: objects in one translation unit are created top to bottom and
// destroyed bottom to top, so the camera is released after the trail and tables.
cv::Mat currentFrame;
[[maybe_unused]] static const bool cameraTimeoutSet = shortenCameraStallTimeout();
cv::VideoCapture captureDevice(0, cv::CAP_ANY);
std::vector<TrailEntry> trailPoints;
std::vector<ColorRangeRow> colorRanges{{13, 30, 127, 217, 151, 255}};
std::vector<cv::Scalar> markerColors{cv::Scalar(0, 255, 255, 0)};
TrailOverlay trailOverlay;
int selectedIndex = 0;
bool captureRunning = true;

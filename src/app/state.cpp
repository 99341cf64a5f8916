#include "app/state.h"

#include "camera/camera.h"
#include "camera/camerathread.h"
#include "tracking/trailoverlay.h"

// Only the veltra executable claims camera 0 as the process starts, and says so by
// defining this (main.cpp). The tests, the replay tool, the benchmark and the fuzz
// target share this state, and with this default never switch a camera on.
[[gnu::weak]] bool claimsCameraAtStartUp()
{
    return false;
}

namespace {

// The camera is claimed on its own thread, which keeps it for the process's life; the
// start-up waits for the open, so the camera is claimed before any window exists.
bool claimCameraAtStartUp(cv::VideoCapture &camera)
{
    if (!claimsCameraAtStartUp())
        return false;
    prepareCameraBackends();
    return CameraThread::of(camera).open(kCameraIndex);
}

} // namespace

// Order matters: objects in one translation unit are created top to bottom and
// destroyed bottom to top, so the camera is released after the trail and tables.
cv::Mat currentFrame;
cv::VideoCapture captureDevice;
[[maybe_unused]] const bool cameraClaimed = claimCameraAtStartUp(captureDevice);
std::vector<TrailEntry> trailPoints;
std::vector<ColorRangeRow> colorRanges{{13, 30, 127, 217, 151, 255}};
std::vector<cv::Scalar> markerColors{cv::Scalar(0, 255, 255, 0)};
TrailOverlay trailOverlay;
int selectedIndex = 0;
bool captureRunning = true;

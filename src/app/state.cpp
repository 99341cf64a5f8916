#include "app/state.h"

#include "app/camera.h"
#include "tracking/trailoverlay.h"

namespace {

// The program claims camera 0 as the process starts. The replay tool, the benchmark
// and the fuzz target share this state but are built without VELTRA_CLAIM_CAMERA, so
// running them never switches the user's camera on.
cv::VideoCapture cameraAtStartUp()
{
#ifdef VELTRA_CLAIM_CAMERA
    prepareCameraBackends();
    cv::VideoCapture camera(kCameraIndex, cv::CAP_ANY);
    takeFramesAsSent(camera);
    return camera;
#else
    return cv::VideoCapture();
#endif
}

} // namespace

// Order matters: objects in one translation unit are created top to bottom and
// destroyed bottom to top, so the camera is released after the trail and tables.
cv::Mat currentFrame;
cv::VideoCapture captureDevice = cameraAtStartUp();
std::vector<TrailEntry> trailPoints;
std::vector<ColorRangeRow> colorRanges{{13, 30, 127, 217, 151, 255}};
std::vector<cv::Scalar> markerColors{cv::Scalar(0, 255, 255, 0)};
TrailOverlay trailOverlay;
int selectedIndex = 0;
bool captureRunning = true;

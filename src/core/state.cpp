#include "core/state.h"

#include "camera/camera.h"
#include "camera/camerathread.h"
#include "tracking/tracking.h"
#include "tracking/trailoverlay.h"

// Order matters: objects in one translation unit are created top to bottom and
// destroyed bottom to top, so the camera is released after the trail and tables.
cv::Mat currentFrame;
cv::VideoCapture captureDevice;
std::vector<TrailEntry> trailPoints;
std::vector<ColorRangeRow> colorRanges{{13, 30, 127, 217, 151, 255}};
std::vector<cv::Scalar> markerColors{cv::Scalar(0, 255, 255, 0)};
TrailOverlay trailOverlay;
int selectedIndex = 0;
bool captureRunning = true;

bool claimCamera()
{
    prepareCameraBackends();
    return CameraThread::of(captureDevice).open(kCameraIndex);
}

const std::vector<TrailEntry> &detectMarker(const cv::Mat &frame)
{
    return detectMarker(frame, colorRanges, selectedIndex, trailPoints);
}

void paintTrail(const std::vector<TrailEntry> &points, const std::vector<cv::Scalar> &colors)
{
    paintTrail(currentFrame, trailOverlay, points, colors);
}

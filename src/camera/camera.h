#pragma once

// The program's camera: device 0 through any capture back-end. What one call on the
// capture does, made on the calling thread however long the back-end takes: the
// program makes them all on the camera's own thread (camerathread.h).

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

inline constexpr int kCameraIndex = 0;

// Takes GPHOTO2 out of the back-ends OpenCV tries, where the user has not set their
// order: it probes USB for still cameras, slowly and leaking, whatever is opened.
// Must run before the first use of OpenCV's capture back-ends; it is read only once.
void leaveOutStillCameras();

// Sets OpenCV's capture options for the camera, each only where the user has not set
// it: V4L2 is tried before GStreamer, whose camera reads wait without any limit,
// GPHOTO2 is not tried at all (leaveOutStillCameras), and V4L2's own wait for a frame
// is cut to nothing, since readFrame waits instead. Must run before the first use of
// OpenCV's capture back-ends; it is read only once.
void prepareCameraBackends();

// Releases `capture` and opens camera `index` in it, any back-end: a camera that was
// unplugged, or whose stream broke, comes back only this way. Where it is a V4L2
// camera sending Motion-JPEG or B, G, R, OpenCV is told to hand each frame over as it
// came, for readFrame to make it 8-bit BGR with less work. True if it opened.
bool reopenCamera(cv::VideoCapture &capture, int index = kCameraIndex);

enum class FrameRead {
    Frame,      // a new frame is in `frame`
    NotYet,     // the camera is live but had no frame within the wait
    Bad,        // a frame came but its picture was not whole (a truncated or corrupt JPEG)
    Failed,     // nothing to read from: not open, or the read itself failed
    Opened,     // a reopen has ended, and the camera opened
    OpenFailed, // a reopen has ended, and no camera opened
};

// Reads the next frame of `capture` into `frame` on the calling thread. V4L2 waits at
// most `timeoutMs` for it; every other back-end waits as long as it likes, which is why
// only the camera's own thread calls this (camerathread.h). A frame taken as sent is
// made 8-bit BGR here; a bad JPEG leaves `frame` as it was. The frame never shares
// memory the back-end writes again: it may be handed to another thread.
FrameRead readFrame(cv::VideoCapture &capture, cv::Mat &frame, int timeoutMs);

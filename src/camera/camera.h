#pragma once

// The program's camera: device 0 through any capture back-end. These work on the
// capture they are given and keep the calling thread from blocking on it for long,
// except reopenCamera, which opens on the calling thread however long it takes.

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
    Frame,     // a new frame is in `frame`
    NotYet,    // the camera is live but had no frame within the wait
    Bad,       // a frame came but its picture was not whole (a truncated or corrupt JPEG)
    Failed,    // nothing to read from: not open, or the read itself failed
};

// Reads the next frame of `capture` into `frame`, waiting at most `timeoutMs` for it.
// V4L2 waits with that bound itself, on this thread. Every other back-end may hold a
// read as long as it likes, so the read is made on the camera's own thread: NotYet if
// it has not ended within the wait, and the frame it brings is taken by a later call.
// A frame taken as sent is made 8-bit BGR here; a bad JPEG leaves `frame` as it was.
FrameRead readFrame(cv::VideoCapture &capture, cv::Mat &frame, int timeoutMs);

// Reopens camera `index` in `capture` as reopenCamera does, but on the camera's own
// thread, after any read under way there: no back-end bounds how long an open takes.
// Waits at most `timeoutMs`; true if the camera opened within that time. Until the
// reopen has ended, readFrame waits for it and reports NotYet.
bool reopenCameraWithin(cv::VideoCapture &capture, int timeoutMs, int index = kCameraIndex);

// Whether the camera's own thread is inside a back-end call (a read or a reopen) that
// has not returned: nothing may release the capture meanwhile, nor wait for the call.
bool cameraCallUnderWay();

// Whether `capture` holds an open camera, or may: asked without touching a capture
// that the camera's own thread is using.
bool cameraIsOpen(const cv::VideoCapture &capture);

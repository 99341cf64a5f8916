#pragma once

// The camera's own thread, for the calls a back-end may hold for as long as it likes:
// a read on anything but V4L2 (DirectShow waits up to 1 s, Media Foundation 10 s,
// FFmpeg and GStreamer without any limit) and every reopen. The caller waits for a call
// only as long as it chooses and goes back to its own work; the call goes on here.
//
// One caller thread asks, this thread calls. While a call is under way nothing else
// may touch the capture: readFrame and reopenCameraWithin look here first.

#include "camera/camera.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

class CameraThread
{
public:
    // The thread, started on first use.
    static CameraThread &instance();
    // The thread if it was ever started, else null: a V4L2 camera that never stalls
    // goes without one.
    static CameraThread *existing();

    // Where a call is under way, or has ended with a frame nobody took yet: waits up to
    // `timeoutMs` for it and gives its result. Nothing if the thread is idle, or has just
    // ended a reopen: the capture is then the caller's.
    std::optional<FrameRead> finishCall(cv::Mat &frame, int timeoutMs);
    // Reads the next frame of `capture` here, waiting up to `timeoutMs` for it: NotYet if
    // the read goes on. The thread must be idle (finishCall gave nothing).
    FrameRead read(cv::VideoCapture &capture, cv::Mat &frame, int timeoutMs);
    // Reopens `capture` here, after any read under way, and waits up to `timeoutMs`:
    // true if it opened within that time.
    bool reopen(cv::VideoCapture &capture, int index, int timeoutMs);
    bool callUnderWay();

private:
    enum class Call { None, Read, Reopen };

    CameraThread();
    void run();
    // With the mutex held, and the thread idle.
    void start(cv::VideoCapture &capture, Call call);
    // Waits up to `timeoutMs` for the call under way to end; true if none is left.
    bool waitIdle(std::unique_lock<std::mutex> &lock, int timeoutMs);
    FrameRead takeRead(cv::Mat &frame);

    std::mutex mutex_;
    std::condition_variable asked_;
    std::condition_variable ended_;
    cv::VideoCapture *capture_ = nullptr;
    Call call_ = Call::None;      // under way
    bool reopenNext_ = false;     // asked for while a read was under way
    int index_ = kCameraIndex;    // the camera a reopen opens
    std::optional<FrameRead> readResult_; // an ended read nobody took; its frame in readFrame_
    cv::Mat readFrame_;           // this thread's alone while a read is under way
    std::optional<bool> reopened_; // an ended reopen: whether it opened
    std::thread thread_;
};

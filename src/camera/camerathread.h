#pragma once

// The camera's own thread, the one owner of the program's capture for its whole life:
// it opens the camera at start-up, makes every read and every reopen, and releases the
// capture at the end. A back-end may hold any of these calls as long as it likes
// (DirectShow waits up to 1 s for a frame, Media Foundation 10 s, FFmpeg and GStreamer
// without any limit; a DirectShow release waits for a read the camera never ends);
// the GUI thread only asks for calls and takes what they brought, waiting for each
// with a deadline of its own.
//
// Nothing else touches the capture: the tests, too, hand their calls to this thread.

#include "camera/camera.h"
#include "camera/threadhome.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

class CameraThread
{
public:
    // The thread, started by the first call, for `capture`, which it then owns; every
    // later call names the same capture.
    static CameraThread &of(cv::VideoCapture &capture);
    // The thread if one runs, else null.
    static CameraThread *existing();

    // Opens camera `index` and waits for the open to end, however long it takes: the
    // start-up claim, made before there is a window to hold. True if it opened.
    bool open(int index = kCameraIndex);
    // Asks for camera `index` to be reopened, after the call under way, and returns at
    // once. A read that ends meanwhile is from the stream being replaced, and is
    // dropped. The reopen's end comes through next(), as Opened or OpenFailed.
    void reopen(int index = kCameraIndex);
    // What the camera has for the caller, waiting at most `timeoutMs` in all: the end
    // of a reopen, or the next frame (a read is asked for if none is under way). NotYet
    // while a call goes on past the deadline; Failed at once if no camera is open.
    // On a V4L2 camera the thread reads on while what it read is taken, one read ahead
    // at most, so that a frame is made ready while the last one is tracked and the
    // thread does not sleep between them.
    FrameRead next(cv::Mat &frame, int timeoutMs);
    // What the reads already asked for bring, waiting at most `timeoutMs`, without
    // asking for another: the frame that was on its way when the caller stopped.
    // NotYet if there is none.
    FrameRead last(cv::Mat &frame, int timeoutMs);
    // `notify` is called on this thread whenever next() has something new: a read or a
    // reopen has ended. It must only hand the news on (post an event, say), never call
    // back in here. An empty function stops the calls.
    void setListener(std::function<void()> notify);
    // Whether the capture held an open camera when its last call ended.
    bool isOpen();
    // Whether a call on the capture is under way here.
    bool callUnderWay();
    // Whether the thread has no call under way or asked for, and nothing it brought
    // is waiting to be taken.
    bool idle();

    // Runs `call` on the capture here, after the call under way, and waits for it:
    // what a test does to the capture. A call that replaces the stream (a new source)
    // drops what reads brought that nobody took, and any that ends meanwhile; one that
    // only looks (at the position, say) leaves them to be taken.
    void run(const std::function<void(cv::VideoCapture &)> &call, bool replacesStream = true);
    // Waits up to `timeoutMs` for the call under way, then drops what it and any
    // earlier call brought that nobody took. False if the call went on past the wait.
    bool discard(int timeoutMs);

    // Releases the capture here and ends the thread, waiting up to `timeoutMs`. False
    // if a back-end call has not returned by then: the capture cannot be released under
    // it, and the thread is left as it is. A later of() starts a new thread.
    bool shutDown(int timeoutMs);

private:
    enum class Call { None, Read, Reopen, Run, End };
    struct Work
    {
        Call call = Call::None;
        int index = kCameraIndex;
        std::function<void(cv::VideoCapture &)> run;
        uint64_t ticket = 0; // a run the caller waits for
        bool replaces = true; // a run that replaces the stream
    };

    explicit CameraThread(cv::VideoCapture &capture);
    void loop();
    void make(const Work &work);
    void ask(Work work);   // with the mutex held
    bool replacing() const; // with the mutex held: a call queued that replaces the stream
    FrameRead take(cv::Mat &frame, int timeoutMs, bool readOnward);
    void readOn();          // with the mutex held: the next read, if the camera reads ahead
    void dropResults();     // with the mutex held
    bool waitUntilIdle(std::unique_lock<std::mutex> &lock, int timeoutMs);

    cv::VideoCapture &capture_;
    WakeSignal wake_;
    std::mutex mutex_;
    std::condition_variable ended_; // a call has ended
    std::deque<Work> queue_;
    Call underWay_ = Call::None;
    bool open_ = false;
    struct Result
    {
        FrameRead read;
        cv::Mat frame;
    };
    static constexpr size_t kResultsKept = 2; // the one being taken and the one read ahead
    std::deque<Result> results_;          // ended reads nobody took, oldest first
    cv::Mat readFrame_;                   // this thread's alone: the read under way fills it
    std::deque<cv::Mat> spare_;           // buffers given back by the caller, for later reads
    bool readsAhead_ = false;             // a V4L2 camera is open
    std::function<void()> notify_;
    std::optional<bool> reopened_;        // an ended reopen nobody heard of: whether it opened
    uint64_t ticketsAsked_ = 0;
    uint64_t ticketsDone_ = 0;
    bool finished_ = false;
    std::thread thread_;
};

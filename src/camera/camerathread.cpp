#include "camera/camerathread.h"

#include <atomic>
#include <chrono>
#include <utility>

namespace {

std::atomic<CameraThread *> started{nullptr};

// A read where the back-end waits as it likes. A failed grab is a camera gone, or an
// image sequence at its end. A grab that worked and a retrieve that did not is a
// camera late with its frame: DirectShow gives up on one after a second, and fills
// no picture.
FrameRead readPlainly(cv::VideoCapture &capture, cv::Mat &frame)
{
    if (!capture.grab())
        return FrameRead::Failed;
    if (!capture.retrieve(frame) || frame.empty())
        return FrameRead::NotYet;
    // The frame changes hands below: it must not be a view of the back-end's own
    // buffer, which the next read fills while the frame is tracked.
    if (!frame.u)
        frame = frame.clone();
    return FrameRead::Frame;
}

} // namespace

CameraThread &CameraThread::instance()
{
    // Never destroyed: at the process's end the thread may be inside a back-end call
    // that never returns, and nothing waits for it. Idle, it waits for a call that
    // does not come.
    static CameraThread *const thread = new CameraThread;
    return *thread;
}

CameraThread *CameraThread::existing()
{
    return started.load(std::memory_order_acquire);
}

CameraThread::CameraThread()
    : thread_([this] { run(); })
{
    started.store(this, std::memory_order_release);
}

void CameraThread::run()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        asked_.wait(lock, [this] { return call_ != Call::None; });
        const Call call = call_;
        cv::VideoCapture &capture = *capture_;
        const int index = index_;
        lock.unlock();
        if (call == Call::Read) {
            const FrameRead result = readPlainly(capture, readFrame_);
            lock.lock();
            readResult_ = result;
        } else {
            const bool opened = reopenCamera(capture, index);
            lock.lock();
            reopened_ = opened;
        }
        call_ = Call::None;
        if (reopenNext_) {
            // The frame read before the reopen is from the stream being replaced.
            reopenNext_ = false;
            readResult_.reset();
            reopened_.reset();
            call_ = Call::Reopen;
            continue;
        }
        ended_.notify_all();
    }
}

void CameraThread::start(cv::VideoCapture &capture, Call call)
{
    capture_ = &capture;
    call_ = call;
    asked_.notify_one();
}

bool CameraThread::waitIdle(std::unique_lock<std::mutex> &lock, int timeoutMs)
{
    return ended_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return call_ == Call::None; });
}

FrameRead CameraThread::takeRead(cv::Mat &frame)
{
    const FrameRead result = *readResult_;
    readResult_.reset();
    // Handed over, not copied: the next read fills the buffer the caller gave back.
    if (result == FrameRead::Frame)
        cv::swap(frame, readFrame_);
    return result;
}

std::optional<FrameRead> CameraThread::finishCall(cv::Mat &frame, int timeoutMs)
{
    std::unique_lock lock(mutex_);
    if (call_ == Call::None && !readResult_)
        return std::nullopt;
    if (!waitIdle(lock, timeoutMs))
        return FrameRead::NotYet;
    if (readResult_)
        return takeRead(frame);
    return std::nullopt; // a reopen ended: the capture is the caller's again
}

FrameRead CameraThread::read(cv::VideoCapture &capture, cv::Mat &frame, int timeoutMs)
{
    std::unique_lock lock(mutex_);
    start(capture, Call::Read);
    if (!waitIdle(lock, timeoutMs))
        return FrameRead::NotYet;
    return takeRead(frame);
}

bool CameraThread::reopen(cv::VideoCapture &capture, int index, int timeoutMs)
{
    std::unique_lock lock(mutex_);
    if (call_ == Call::Read) {
        reopenNext_ = true;
        index_ = index;
    } else if (call_ == Call::None) {
        readResult_.reset();
        reopened_.reset();
        index_ = index;
        start(capture, Call::Reopen);
    }
    // A reopen already under way is the one asked for.
    if (!waitIdle(lock, timeoutMs) || !reopened_)
        return false;
    return *std::exchange(reopened_, std::nullopt);
}

bool CameraThread::callUnderWay()
{
    const std::lock_guard lock(mutex_);
    return call_ != Call::None;
}

#include "camera/camerathread.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <exception>
#include <utility>

namespace {

// The longest one V4L2 read waits here before the thread looks for other work: a
// reopen or the end is never held up by more than this on a stalled V4L2 camera.
constexpr int kV4l2ReadSliceMs = 100;

std::atomic<CameraThread *> current{nullptr};

} // namespace

CameraThread &CameraThread::of(cv::VideoCapture &capture)
{
    // Created and ended by the GUI thread only, so two callers never race to make it.
    CameraThread *thread = current.load(std::memory_order_acquire);
    if (!thread) {
        thread = new CameraThread(capture);
        current.store(thread, std::memory_order_release);
    }
    assert(&thread->capture_ == &capture);
    return *thread;
}

CameraThread *CameraThread::existing()
{
    return current.load(std::memory_order_acquire);
}

CameraThread::CameraThread(cv::VideoCapture &capture)
    : capture_(capture)
    , open_(capture.isOpened())
    , thread_([this] { loop(); })
{
}

void CameraThread::loop()
{
    const ThreadHome home;
    std::unique_lock lock(mutex_);
    for (;;) {
        if (queue_.empty()) {
            lock.unlock();
            wake_.wait();
            lock.lock();
            continue;
        }
        const Work work = std::move(queue_.front());
        queue_.pop_front();
        underWay_ = work.call;
        lock.unlock();
        make(work);
        lock.lock();
        underWay_ = Call::None;
        ended_.notify_all();
        if (work.call == Call::End) {
            finished_ = true;
            return;
        }
    }
}

// One call, made with the mutex free. Back-ends throw from inside their calls (a
// GStreamer assertion, memory running out): the call then fails, and the thread goes on.
void CameraThread::make(const Work &work)
{
    switch (work.call) {
    case Call::Read: {
        FrameRead read = FrameRead::Failed;
        try {
            read = readFrame(capture_, readFrame_, kV4l2ReadSliceMs);
        } catch (...) {
        }
        const std::lock_guard lock(mutex_);
        if (!replacing())
            readResult_ = read;
        break;
    }
    case Call::Reopen: {
        bool opened = false;
        try {
            opened = reopenCamera(capture_, work.index);
        } catch (...) {
        }
        const std::lock_guard lock(mutex_);
        open_ = opened;
        reopened_ = opened;
        break;
    }
    case Call::Run:
    case Call::End: {
        bool opened = false;
        try {
            if (work.call == Call::Run)
                work.run(capture_);
            else
                capture_.release();
            opened = capture_.isOpened();
        } catch (...) {
        }
        const std::lock_guard lock(mutex_);
        open_ = opened;
        ticketsDone_ = std::max(ticketsDone_, work.ticket);
        break;
    }
    case Call::None:
        break;
    }
}

void CameraThread::ask(Work work)
{
    queue_.push_back(std::move(work));
    wake_.wake();
}

bool CameraThread::replacing() const
{
    for (const Work &work : queue_)
        if (work.call != Call::Read)
            return true;
    return false;
}

bool CameraThread::open(int index)
{
    reopen(index);
    std::unique_lock lock(mutex_);
    ended_.wait(lock, [this] { return reopened_.has_value(); });
    return *std::exchange(reopened_, std::nullopt);
}

void CameraThread::reopen(int index)
{
    const std::lock_guard lock(mutex_);
    readResult_.reset();
    reopened_.reset();
    ask({Call::Reopen, index, {}, 0});
}

FrameRead CameraThread::next(cv::Mat &frame, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock lock(mutex_);
    for (;;) {
        if (reopened_)
            return *std::exchange(reopened_, std::nullopt) ? FrameRead::Opened : FrameRead::OpenFailed;
        if (readResult_) {
            const FrameRead read = *std::exchange(readResult_, std::nullopt);
            // Handed over, not copied: the next read fills the buffer the caller gave back.
            if (read == FrameRead::Frame)
                cv::swap(frame, readFrame_);
            return read;
        }
        if (underWay_ == Call::None && queue_.empty()) {
            if (!open_)
                return FrameRead::Failed;
            ask({Call::Read, 0, {}, 0});
        }
        if (ended_.wait_until(lock, deadline) == std::cv_status::timeout && !reopened_ && !readResult_)
            return FrameRead::NotYet;
    }
}

bool CameraThread::isOpen()
{
    const std::lock_guard lock(mutex_);
    return open_;
}

bool CameraThread::callUnderWay()
{
    const std::lock_guard lock(mutex_);
    return underWay_ != Call::None;
}

void CameraThread::run(const std::function<void(cv::VideoCapture &)> &call)
{
    std::unique_lock lock(mutex_);
    readResult_.reset();
    reopened_.reset();
    const uint64_t ticket = ++ticketsAsked_;
    ask({Call::Run, 0, call, ticket});
    ended_.wait(lock, [&] { return ticketsDone_ >= ticket; });
}

bool CameraThread::waitUntilIdle(std::unique_lock<std::mutex> &lock, int timeoutMs)
{
    return ended_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return underWay_ == Call::None && queue_.empty(); });
}

bool CameraThread::discard(int timeoutMs)
{
    std::unique_lock lock(mutex_);
    const bool idle = waitUntilIdle(lock, timeoutMs);
    readResult_.reset();
    reopened_.reset();
    return idle;
}

bool CameraThread::shutDown(int timeoutMs)
{
    {
        std::unique_lock lock(mutex_);
        queue_.clear();
        ask({Call::End, 0, {}, 0});
        if (!ended_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return finished_; }))
            return false;
    }
    thread_.join();
    current.store(nullptr, std::memory_order_release);
    delete this;
    return true;
}

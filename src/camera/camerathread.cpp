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
        if (replacing())
            break;
        // A read ahead that found nothing yet is no news: the reading goes on, and the
        // live view sleeps on. V4L2's wait wakes before the frame with some drivers (once
        // a frame through PipeWire's layer), and a stall is the live view's to time.
        if (read == FrameRead::NotYet && readsAhead_) {
            readOn();
            break;
        }
        results_.push_back({read, cv::Mat()});
        if (read == FrameRead::Frame) {
            cv::swap(results_.back().frame, readFrame_);
            if (!spare_.empty()) {
                cv::swap(readFrame_, spare_.front());
                spare_.pop_front();
            }
        }
        if (read != FrameRead::Failed)
            readOn();
        if (notify_)
            notify_();
        break;
    }
    case Call::Reopen: {
        bool opened = false;
        bool v4l2 = false;
        try {
            opened = reopenCamera(capture_, work.index);
            v4l2 = opened && capture_.get(cv::CAP_PROP_BACKEND) == cv::CAP_V4L2;
        } catch (...) {
        }
        const std::lock_guard lock(mutex_);
        open_ = opened;
        readsAhead_ = v4l2;
        reopened_ = opened;
        if (notify_)
            notify_();
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
        if (work.replaces)
            readsAhead_ = false; // whatever the test made of the capture, it reads on demand
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
        if (work.call != Call::Read && work.replaces)
            return true;
    return false;
}

// A V4L2 read waits at most a slice and never holds up a reopen or the end for long,
// and the frames it does not read wait in the driver's queue: reading one ahead loses
// none. Other back-ends read only when asked: an image sequence must not be read past
// the frame the caller stops at.
void CameraThread::readOn()
{
    if (readsAhead_ && queue_.empty() && results_.size() < kResultsKept)
        queue_.push_back({Call::Read, 0, {}, 0});
}

void CameraThread::dropResults()
{
    results_.clear();
    reopened_.reset();
}

void CameraThread::setListener(std::function<void()> notify)
{
    const std::lock_guard lock(mutex_);
    notify_ = std::move(notify);
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
    dropResults();
    ask({Call::Reopen, index, {}, 0});
}

FrameRead CameraThread::next(cv::Mat &frame, int timeoutMs)
{
    return take(frame, timeoutMs, true);
}

FrameRead CameraThread::last(cv::Mat &frame, int timeoutMs)
{
    return take(frame, timeoutMs, false);
}

FrameRead CameraThread::take(cv::Mat &frame, int timeoutMs, bool readOnward)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock lock(mutex_);
    for (;;) {
        if (reopened_)
            return *std::exchange(reopened_, std::nullopt) ? FrameRead::Opened : FrameRead::OpenFailed;
        if (!results_.empty()) {
            Result &result = results_.front();
            const FrameRead read = result.read;
            if (read == FrameRead::Frame) {
                // Handed over, not copied: a later read fills the buffer given back.
                cv::swap(frame, result.frame);
                if (!result.frame.empty() && spare_.size() < kResultsKept)
                    spare_.push_back(std::move(result.frame));
            }
            results_.pop_front();
            if (readOnward && underWay_ == Call::None)
                readOn();
            if (!queue_.empty())
                wake_.wake();
            return read;
        }
        if (underWay_ == Call::None && queue_.empty()) {
            if (!readOnward)
                return FrameRead::NotYet;
            if (!open_)
                return FrameRead::Failed;
            ask({Call::Read, 0, {}, 0});
        }
        if (timeoutMs <= 0) // the live view's look: nothing to wait for
            return FrameRead::NotYet;
        if (ended_.wait_until(lock, deadline) == std::cv_status::timeout && !reopened_ && results_.empty())
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

bool CameraThread::idle()
{
    const std::lock_guard lock(mutex_);
    return underWay_ == Call::None && queue_.empty() && results_.empty() && !reopened_;
}

void CameraThread::run(const std::function<void(cv::VideoCapture &)> &call, bool replacesStream)
{
    std::unique_lock lock(mutex_);
    if (replacesStream)
        dropResults();
    const uint64_t ticket = ++ticketsAsked_;
    ask({Call::Run, 0, call, ticket, replacesStream});
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
    dropResults();
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

#include "camera/threadhome.h"

#include <condition_variable>
#include <mutex>

// No apartments here: V4L2, GStreamer and FFmpeg need nothing of the calling thread.
ThreadHome::ThreadHome() = default;
ThreadHome::~ThreadHome() = default;

struct WakeSignal::Impl
{
    std::mutex mutex;
    std::condition_variable woken;
    bool pending = false;
};

WakeSignal::WakeSignal() : d_(std::make_unique<Impl>()) {}
WakeSignal::~WakeSignal() = default;

void WakeSignal::wake()
{
    {
        const std::lock_guard lock(d_->mutex);
        d_->pending = true;
    }
    d_->woken.notify_one();
}

void WakeSignal::wait()
{
    std::unique_lock lock(d_->mutex);
    d_->woken.wait(lock, [this] { return d_->pending; });
    d_->pending = false;
}

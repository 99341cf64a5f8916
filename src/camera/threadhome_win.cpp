#include "camera/threadhome.h"

#include <objbase.h>
#include <windows.h>

// OpenCV's DirectShow capture enters an apartment of its own in its constructor and
// leaves it in its destructor; entered here first, the apartment outlives every
// capture the thread makes, and each of its entries and leavings is matched on the
// same thread.
ThreadHome::ThreadHome() : entered_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}

ThreadHome::~ThreadHome()
{
    if (entered_)
        CoUninitialize();
}

struct WakeSignal::Impl
{
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr); // auto-reset: one wake, one wait
};

WakeSignal::WakeSignal() : d_(std::make_unique<Impl>()) {}

WakeSignal::~WakeSignal()
{
    CloseHandle(d_->event);
}

void WakeSignal::wake()
{
    SetEvent(d_->event);
}

void WakeSignal::wait()
{
    // COM delivers calls into a single-threaded apartment as window messages, and
    // DirectShow's graph posts its own: both are handled while the thread is idle.
    for (;;) {
        const DWORD woken = MsgWaitForMultipleObjectsEx(1, &d_->event, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woken == WAIT_OBJECT_0)
            return;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (woken == WAIT_FAILED)
            return;
    }
}

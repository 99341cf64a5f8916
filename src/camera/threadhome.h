#pragma once

// What the camera's thread needs of its platform, one file per platform:
// threadhome_unix.cpp and threadhome_win.cpp.

#include <memory>

// Set up on the camera's thread when it starts and taken down when it ends, so that
// every back-end call in between finds the thread as its back-end expects it. On
// Windows that is a single-threaded COM apartment, which DirectShow's objects belong
// to: opened, read and released there, they are never used from another apartment.
class ThreadHome
{
public:
    ThreadHome();
    ~ThreadHome();
    ThreadHome(const ThreadHome &) = delete;
    ThreadHome &operator=(const ThreadHome &) = delete;

private:
    bool entered_ = false;
};

// How the camera's thread sleeps until it is given work. A wake given before the wait
// is kept, not lost. On Windows the thread handles its window messages meanwhile, as
// a thread that holds COM objects of a single-threaded apartment must.
class WakeSignal
{
public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal &) = delete;
    WakeSignal &operator=(const WakeSignal &) = delete;

    void wake();
    void wait();

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

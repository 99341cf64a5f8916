#include "platform/processend.h"

#include <windows.h>

#include <cstdlib>

void endProcessNow(int code)
{
    // ExitProcess, which _Exit ends in, still calls every DLL's shutdown code, and
    // OpenCV's DirectShow objects would wait there for the thread blocked in a read.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    std::abort(); // not reached
}

#include "platform/instance.h"

#include <windows.h>

void markRunning()
{
    // Held, never closed: Windows drops it when the process ends, however it ends.
    CreateMutexW(nullptr, FALSE, L"" VELTRA_RUNNING_MARK);
}

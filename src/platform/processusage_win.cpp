#include "platform/processusage.h"

#include <windows.h>
#include <psapi.h>

namespace {

bool counters(PROCESS_MEMORY_COUNTERS &out)
{
    return GetProcessMemoryInfo(GetCurrentProcess(), &out, sizeof out) != 0;
}

} // namespace

// Windows calls resident memory the working set.
long long residentBytes()
{
    PROCESS_MEMORY_COUNTERS c{};
    return counters(c) ? static_cast<long long>(c.WorkingSetSize) : -1;
}

long peakResidentKiB()
{
    PROCESS_MEMORY_COUNTERS c{};
    return counters(c) ? static_cast<long>(c.PeakWorkingSetSize / 1024) : -1;
}

double processorMs()
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return -1;
    const auto ticks = [](const FILETIME &t) { return double(ULONGLONG(t.dwHighDateTime) << 32 | t.dwLowDateTime); };
    return (ticks(kernel) + ticks(user)) / 1e4; // in 100 ns ticks
}

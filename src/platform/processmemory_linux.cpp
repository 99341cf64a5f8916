#include "platform/processmemory.h"

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>

long long residentBytes()
{
    std::ifstream statm("/proc/self/statm");
    long long size = 0, resident = -1;
    statm >> size >> resident;
    return resident < 0 ? -1 : resident * sysconf(_SC_PAGESIZE);
}

long peakResidentKiB()
{
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return -1;
    return usage.ru_maxrss;
}

#include "platform/processusage.h"

#include <sys/resource.h>
#include <unistd.h>

#include <ctime>
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

double processorMs()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

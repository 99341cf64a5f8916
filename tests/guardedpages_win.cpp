#include "guardedpages.h"

#include <QtGlobal>

#include <windows.h>

GuardedPages::GuardedPages(std::size_t bytes)
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    page_ = info.dwPageSize;
    length_ = (bytes + page_ - 1) / page_ * page_ + page_;
    base_ = static_cast<unsigned char *>(VirtualAlloc(nullptr, length_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD before = 0;
    if (!base_ || !VirtualProtect(base_ + length_ - page_, page_, PAGE_NOACCESS, &before))
        qFatal("cannot map guarded pages");
}

GuardedPages::~GuardedPages()
{
    VirtualFree(base_, 0, MEM_RELEASE);
}

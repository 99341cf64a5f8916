#include "guardedpages.h"

#include <QtGlobal>

#include <sys/mman.h>
#include <unistd.h>

GuardedPages::GuardedPages(std::size_t bytes) : page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE)))
{
    length_ = (bytes + page_ - 1) / page_ * page_ + page_;
    void *base = mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED || mprotect(static_cast<unsigned char *>(base) + length_ - page_, page_, PROT_NONE) != 0)
        qFatal("cannot map guarded pages");
    base_ = static_cast<unsigned char *>(base);
}

GuardedPages::~GuardedPages()
{
    munmap(base_, length_);
}

#pragma once

// Pages of memory followed by one that can be neither read nor written, so that
// reading past the end faults at once. One file per platform, chosen by the build.

#include <cstddef>

class GuardedPages
{
public:
    explicit GuardedPages(std::size_t bytes); // at least `bytes` usable before end()
    ~GuardedPages();
    GuardedPages(const GuardedPages &) = delete;
    GuardedPages &operator=(const GuardedPages &) = delete;

    unsigned char *end() const { return base_ + length_ - page_; } // the first byte that faults

private:
    unsigned char *base_ = nullptr;
    std::size_t length_ = 0;
    std::size_t page_ = 0;
};

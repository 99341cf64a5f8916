#pragma once

// The marker mask without an HSV image: whether a pixel lies in a colour row depends
// only on its three bytes, so a table of one bit for each of the 2^24 BGR colours
// (2 MiB) answers it in one lookup. The table is filled by OpenCV's own
// cvtColor(BGR2HSV) and inRange over every colour, so the mask is the one those two
// calls give, bit for bit, whatever OpenCV's rounding.

#include "tracking/trail.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

enum class MaskPath {
    Best,     // the fastest this processor runs
    Portable, // plain C++, for any processor
    Avx2,     // 8 pixels at a time with AVX2 gathers; only where the processor has AVX2
};

// Whether this processor can run `path`.
bool maskPathAvailable(MaskPath path);

class ColourTable
{
public:
    // Fills the table for `row`: runs cvtColor and inRange over all 2^24 colours, a
    // strip at a time so that little memory is needed beyond the table itself.
    void build(const ColorRangeRow &row);
    bool builtFor(const ColorRangeRow &row) const;

    // mask = 255 where the pixel of `bgr` (8-bit, 3 channels, any row step) lies in the
    // row, 0 elsewhere; `mask` is (re)allocated to the frame's size. Returns the rows
    // from the first to the last that hold a set pixel, empty if none does.
    cv::Range apply(const cv::Mat &bgr, cv::Mat &mask, MaskPath path = MaskPath::Best) const;

private:
    std::vector<uint32_t> bits_; // bit (b | g << 8 | r << 16) is set for colours in range
    ColorRangeRow row_{};
    bool built_ = false;
};

// The table for `row`, built on the first call for a row and kept until the row
// changes: only the first frame after a change pays for building it.
const ColourTable &colourTableFor(const ColorRangeRow &row);

// Makes every later MaskPath::Best mean `path` (the benchmark compares the two).
void preferMaskPath(MaskPath path);

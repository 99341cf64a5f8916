#pragma once

#include <opencv2/core.hpp>

// Brings a captured frame to 8-bit B, G, R, the one layout the tracker and the
// display work on. 8-bit grey and BGRA frames (some capture back-ends deliver them)
// are converted, 16-bit ones are scaled down to 8 bits first. Returns false, and
// leaves `out` untouched, for an empty frame or any other depth or channel count.
// `in` and `out` may be the same matrix.
bool frameAsBgr(const cv::Mat &in, cv::Mat &out);

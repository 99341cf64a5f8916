#pragma once

#include <opencv2/core.hpp>

// Decodes a camera's Motion-JPEG frame, as OpenCV's V4L2 back-end hands it over with
// its conversion off (one row of bytes), straight to 8-bit B, G, R: the very pixels
// cv::imdecode gives, without its decoding to R, G, B and swapping the bytes after.
// Frames without Huffman tables (webcams leave out the standard ones) are decoded
// with the standard tables, and padding before the end marker is passed over, as
// OpenCV does. Returns false, and leaves `bgr` untouched, for anything but a whole
// picture: a truncated or corrupt frame is never half decoded.
bool decodeJpegFrame(const cv::Mat &jpeg, cv::Mat &bgr);

#pragma once

// Helpers shared by the test programs: synthetic frames with known content, the
// reference disc-by-disc trail drawing, and capture of the diagnostic stream.

#include "app/state.h"
#include "tracking/trailoverlay.h"

#include <opencv2/imgproc.hpp>

#include <QtGlobal>

#include <sys/mman.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

// A BGR colour inside the program's marker range: hue 15, saturation 128, value 200.
inline const cv::Scalar kMarkerBgr(100, 150, 200);

// Collects what is written to std::cout while it lives.
class CoutCapture
{
public:
    CoutCapture() : previous_(std::cout.rdbuf(buffer_.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(previous_); }
    CoutCapture(const CoutCapture &) = delete;
    CoutCapture &operator=(const CoutCapture &) = delete;

    std::string text() const { return buffer_.str(); }

    std::vector<int> numbers() const
    {
        std::istringstream in(buffer_.str());
        std::vector<int> values;
        for (int v; in >> v;)
            values.push_back(v);
        return values;
    }

private:
    std::ostringstream buffer_;
    std::streambuf *previous_;
};

// A frame's pixels copied to the very end of readable memory: the page after its last
// row cannot be read, so reading past the frame faults at once, in any build. (OpenCV
// leaves spare bytes after each image, where even AddressSanitizer sees nothing.)
class GuardedCopy
{
public:
    explicit GuardedCopy(const cv::Mat &pixels)
    {
        const size_t bytes = pixels.total() * pixels.elemSize();
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        length_ = (bytes + page - 1) / page * page + page;
        base_ = static_cast<uchar *>(mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (base_ == MAP_FAILED || mprotect(base_ + length_ - page, page, PROT_NONE) != 0)
            qFatal("cannot map a guarded frame");
        frame = cv::Mat(pixels.size(), pixels.type(), base_ + length_ - page - bytes);
        pixels.copyTo(frame);
    }
    ~GuardedCopy() { munmap(base_, length_); }
    GuardedCopy(const GuardedCopy &) = delete;
    GuardedCopy &operator=(const GuardedCopy &) = delete;

    cv::Mat frame; // continuous, its last byte the last readable one

private:
    uchar *base_ = nullptr;
    size_t length_ = 0;
};

inline cv::Mat blackFrame(int width, int height)
{
    return cv::Mat(height, width, CV_8UC3, cv::Scalar::all(0));
}

// A filled axis-aligned rectangle of exactly w by h pixels.
inline void fillBox(cv::Mat &image, int x, int y, int w, int h, const cv::Scalar &colour)
{
    image(cv::Rect(x, y, w, h)).setTo(colour);
}

// The reference: every entry drawn in order with cv::circle, as the trail is defined.
inline void drawDiscByDisc(cv::Mat &image, const std::vector<TrailEntry> &points,
                           const std::vector<cv::Scalar> &colors)
{
    for (const TrailEntry &entry : points)
        cv::circle(image, cv::Point(entry.x, entry.y), 10, colors[static_cast<size_t>(entry.row)],
                   cv::FILLED, cv::LINE_8);
}

inline double maxDifference(const cv::Mat &a, const cv::Mat &b)
{
    if (a.size() != b.size() || a.type() != b.type())
        return -1;
    return cv::norm(a, b, cv::NORM_INF);
}

// Resident memory of this process, in bytes.
inline long long residentBytes()
{
    std::ifstream statm("/proc/self/statm");
    long long size = 0, resident = -1;
    statm >> size >> resident;
    return resident < 0 ? -1 : resident * 4096;
}

// Puts the process-wide tracking state back to its start-up values.
inline void resetTrackingState()
{
    currentFrame.release();
    trailPoints.clear();
    trailOverlay.reset();
    colorRanges = {{13, 30, 127, 217, 151, 255}};
    markerColors = {cv::Scalar(0, 255, 255, 0)};
    selectedIndex = 0;
    captureRunning = true;
}

} // namespace testsupport

#pragma once

// Process-wide state shared by the tracking functions, the main window's slots and
// the live view loop. Everything here lives for the whole process; it is defined in
// state.cpp, in the order in which it must be created.

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <vector>

// One recorded marker position: frame pixel coordinates and the colour row that
// found it (the same row selects the disc colour). Held inline, 12 bytes an entry.
struct TrailEntry
{
    int x = 0;
    int y = 0;
    int row = 0;

    friend bool operator==(const TrailEntry &a, const TrailEntry &b)
    {
        return a.x == b.x && a.y == b.y && a.row == b.row;
    }
};

// An inclusive HSV range on OpenCV's 8-bit scale (hue 0..179, saturation and value
// 0..255). An upper hue above 179 simply accepts every hue from the lower one up.
struct ColorRangeRow
{
    int lowHue = 0;
    int lowSaturation = 0;
    int lowValue = 0;
    int highHue = 0;
    int highSaturation = 0;
    int highValue = 0;

    friend bool operator==(const ColorRangeRow &a, const ColorRangeRow &b)
    {
        return a.lowHue == b.lowHue && a.lowSaturation == b.lowSaturation && a.lowValue == b.lowValue
            && a.highHue == b.highHue && a.highSaturation == b.highSaturation && a.highValue == b.highValue;
    }
};

class TrailOverlay;

extern cv::Mat currentFrame;                 // the one frame buffer: captured, tracked, painted, shown
extern cv::VideoCapture captureDevice;       // camera 0, claimed from process start to process end;
                                             // the live view reopens it when it stops delivering
extern std::vector<TrailEntry> trailPoints;  // grows by at most one entry a frame, never shrinks
extern std::vector<ColorRangeRow> colorRanges;
extern std::vector<cv::Scalar> markerColors; // B, G, R, 0; same row count as colorRanges
extern TrailOverlay trailOverlay;            // trailPoints rasterised once, composited every frame
extern int selectedIndex;                    // row of colorRanges and markerColors in use
extern bool captureRunning;                  // cleared once, by the stop button

// Whether this process opens camera 0 as it starts, before anything else here.
bool claimsCameraAtStartUp();

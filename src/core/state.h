#pragma once

// Process-wide state shared by the main window's slots, the live view loop and the
// tools. Everything here lives for the whole process; it is defined in state.cpp, in
// the order in which it must be created.

#include "tracking/trail.h"

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <vector>

class TrailOverlay;

extern cv::Mat currentFrame;                 // the one frame buffer: captured, tracked, painted, shown
extern cv::VideoCapture captureDevice;       // camera 0, claimed by veltra from start-up to process
                                             // end; the live view reopens it when it stops delivering
extern std::vector<TrailEntry> trailPoints;  // grows by at most one entry a frame, never shrinks
extern std::vector<ColorRangeRow> colorRanges;
extern std::vector<cv::Scalar> markerColors; // B, G, R, 0; same row count as colorRanges
extern TrailOverlay trailOverlay;            // trailPoints rasterised once, composited every frame
extern int selectedIndex;                    // row of colorRanges and markerColors in use
extern bool captureRunning;                  // cleared once, by the stop button

// Opens camera 0 into captureDevice on the camera's own thread, which keeps it for the
// process's life, and waits for the open. Only the veltra program calls it, as it
// starts; the tools and the tests share this state and never switch a camera on.
// Returns whether the camera opened.
bool claimCamera();

// The tracking as the live view runs it, on this state: looks for the marker of row
// selectedIndex of colorRanges in `frame` and appends its position to trailPoints,
// which it returns.
const std::vector<TrailEntry> &detectMarker(const cv::Mat &frame);
// Draws `points` into currentFrame in `colors`, through trailOverlay.
void paintTrail(const std::vector<TrailEntry> &points, const std::vector<cv::Scalar> &colors);

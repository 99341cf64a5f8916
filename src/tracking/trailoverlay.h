#pragma once

#include "tracking/trail.h"

#include <opencv2/core.hpp>

#include <cstddef>
#include <vector>

// The trail's discs rasterised once into a frame-sized layer, so that painting the
// trail into a frame costs a copy of the covered pixels instead of one disc per
// entry. New entries are drawn as they arrive; a change of frame size, colours or
// list redraws the layer from the whole trail. The result is always exactly what
// drawing every disc in order with cv::circle onto the frame would give.
class TrailOverlay
{
public:
    // Brings the layer up to date with `points` and copies it onto `frame` (CV_8UC3).
    void paint(cv::Mat &frame, const std::vector<TrailEntry> &points,
               const std::vector<cv::Scalar> &colors);

    // Forgets everything drawn; the next paint redraws from the whole list.
    void reset();

    std::size_t paintedCount() const { return painted_; }

    // Whether cv::circle would draw any pixel of the entry's disc in a frame of `size`.
    static bool discTouches(cv::Size size, const TrailEntry &entry);
    // Whether `colors` holds a colour for the entry's row; entries without one are not drawn.
    static bool hasColour(const TrailEntry &entry, const std::vector<cv::Scalar> &colors);

private:
    struct Run
    {
        int begin; // first covered column
        int end;   // one past the last
    };

    bool followsFrom(const std::vector<TrailEntry> &points,
                     const std::vector<cv::Scalar> &colors, cv::Size size) const;
    void restart(cv::Size size, const std::vector<TrailEntry> &points,
                 const std::vector<cv::Scalar> &colors);
    void draw(const TrailEntry &entry);
    void refreshRuns();

    cv::Mat colour_;   // CV_8UC3: the disc colours where covered
    cv::Mat coverage_; // CV_8UC1: 255 where some disc covers the pixel
    std::vector<std::vector<Run>> runs_; // per row, the covered column ranges
    int dirtyTop_ = 0;                   // rows whose runs need refreshing
    int dirtyBottom_ = -1;
    int coveredTop_ = 0;                 // rows that hold any run
    int coveredBottom_ = -1;

    // What the layer was drawn from, to tell an appended list from another one.
    const std::vector<TrailEntry> *source_ = nullptr;
    std::vector<cv::Scalar> colors_;
    std::size_t painted_ = 0;
    TrailEntry first_;
    TrailEntry last_;
};

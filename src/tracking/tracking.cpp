#include "tracking/tracking.h"

#include "tracking/colormask.h"
#include "camera/frameformat.h"
#include "tracking/trailoverlay.h"

#include <opencv2/imgproc.hpp>

#include <iostream>

const std::vector<TrailEntry> &detectMarker(const cv::Mat &frame, const std::vector<ColorRangeRow> &ranges,
                                            int selected, std::vector<TrailEntry> &trail)
{
    cv::Mat bgr;
    if (!frameAsBgr(frame, bgr))
        return trail;
    if (selected < 0 || static_cast<size_t>(selected) >= ranges.size())
        return trail;

    // The mask cvtColor(BGR2HSV) and inRange would give, inclusive bounds, an upper hue
    // above 179 accepting every hue up; from a table of all colours built by those same
    // two calls. Kept between calls: frames keep their size, so it is allocated once.
    static cv::Mat mask;
    const ColorRangeRow &row = ranges[static_cast<size_t>(selected)];
    // No pixel in range means no outline to examine, and nothing to print.
    const cv::Range band = colourTableFor(row).apply(bgr, mask);
    if (band.empty())
        return trail;

    // The outlines lie within the rows that hold set pixels: only those are searched,
    // and the outlines found there are those of the whole mask.
    const cv::Point myPoint = locateMarkerIn(mask.rowRange(band), cv::Point(0, band.start));
    // Only x is tested: a box 1 pixel wide at the left edge gives x 0 and is dropped.
    if (myPoint.x != 0)
        trail.push_back({myPoint.x, myPoint.y, selected});
    return trail;
}

cv::Point locateMarker(const cv::Mat &mask) { return locateMarkerIn(mask, cv::Point(0, 0)); }

cv::Point locateMarkerIn(const cv::Mat &mask, cv::Point offset)
{
    cv::Point myPoint(0, 0);
    if (mask.empty() || mask.dims != 2 || mask.type() != CV_8UC1)
        return myPoint;

    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    // Outside `mask` all is taken as unset; the outline points come out shifted by `offset`.
    cv::findContours(mask, contours, hierarchy, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE, offset);

    std::vector<std::vector<cv::Point>> conPoly(contours.size());
    std::vector<cv::Rect> boundRect(contours.size());

    for (size_t i = 0; i < contours.size(); ++i) {
        const int area = static_cast<int>(cv::contourArea(contours[i]));
        std::cout << area << std::endl; // flushed at once: the stream is watched live

        if (area > kMinMarkerArea) {
            // The perimeter is deliberately held in single precision; epsilon is
            // computed from that value, so the polygons match float arithmetic.
            const float peri = static_cast<float>(cv::arcLength(contours[i], true));
            cv::approxPolyDP(contours[i], conPoly[i], 0.02 * static_cast<double>(peri), true);
            std::cout << conPoly[i].size() << std::endl;

            boundRect[i] = cv::boundingRect(conPoly[i]);
            myPoint.x = boundRect[i].x + boundRect[i].width / 2;
            myPoint.y = boundRect[i].y;
        }
    }
    return myPoint;
}

void paintTrail(cv::Mat &frame, TrailOverlay &overlay, const std::vector<TrailEntry> &points,
                const std::vector<cv::Scalar> &colors)
{
    if (frame.empty() || frame.dims != 2)
        return;
    if (frame.type() == CV_8UC3) {
        overlay.paint(frame, points, colors);
        return;
    }
    // The live view always hands over 8-bit BGR; any other frame that reaches here is
    // drawn on directly, where cv::circle can draw on it at all.
    if (frame.channels() > 4 || frame.depth() == CV_16F)
        return;
    for (const TrailEntry &entry : points) {
        if (!TrailOverlay::hasColour(entry, colors) || !TrailOverlay::discTouches(frame.size(), entry))
            continue;
        cv::circle(frame, cv::Point(entry.x, entry.y), kTrailDiscRadius,
                   colors[static_cast<size_t>(entry.row)], cv::FILLED, cv::LINE_8);
    }
}

#pragma once

#include "tracking/trail.h"

#include <opencv2/core.hpp>

#include <vector>

class TrailOverlay;

// Looks for the marker of colour row `selected` of `ranges` in `frame` and appends its
// position to `trail` when one is found. Writes contour areas and corner counts to
// standard output, one number a line. The frame is not changed; frames that are not
// 8-bit BGR are converted where they can be, and skipped (no output, no entry) where
// they cannot. Returns `trail` itself, not a copy.
const std::vector<TrailEntry> &detectMarker(const cv::Mat &frame, const std::vector<ColorRangeRow> &ranges,
                                            int selected, std::vector<TrailEntry> &trail);

// Turns a CV_8UC1 mask into the marker point: the top-centre of the bounding box of
// the last outer contour whose area exceeds 1000 pixels, or (0, 0) when none does.
cv::Point locateMarker(const cv::Mat &mask);
// The same for a part of a larger mask (all unset outside it) whose top-left corner
// lies at `offset` in the larger one; the point is in the larger mask's coordinates.
cv::Point locateMarkerIn(const cv::Mat &mask, cv::Point offset);

// Draws every entry of `points`, in order, into `frame` as a filled disc of radius 10
// in the colour `colors` holds for the entry's row. Entries whose row has no colour are
// skipped. The picture is exactly that of drawing disc by disc, but each entry is
// rasterised only once, into `overlay`, which keeps them from one frame to the next.
void paintTrail(cv::Mat &frame, TrailOverlay &overlay, const std::vector<TrailEntry> &points,
                const std::vector<cv::Scalar> &colors);

constexpr int kTrailDiscRadius = 10;
constexpr int kMinMarkerArea = 1000; // an area must exceed this to count as a marker

#include "tracking/trailoverlay.h"

#include "tracking/tracking.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstring>

bool TrailOverlay::hasColour(const TrailEntry &entry, const std::vector<cv::Scalar> &colors)
{
    return entry.row >= 0 && static_cast<std::size_t>(entry.row) < colors.size();
}

bool TrailOverlay::discTouches(cv::Size size, const TrailEntry &entry)
{
    // A margin beyond the radius keeps this a safe over-estimate of what cv::circle
    // draws; it also keeps far-away coordinates away from the rasteriser's arithmetic.
    const long long reach = kTrailDiscRadius + 2;
    const long long x = entry.x;
    const long long y = entry.y;
    return x + reach >= 0 && x - reach < size.width && y + reach >= 0 && y - reach < size.height;
}

void TrailOverlay::reset()
{
    colour_.release();
    coverage_.release();
    runs_.clear();
    dirtyTop_ = 0;
    dirtyBottom_ = -1;
    coveredTop_ = 0;
    coveredBottom_ = -1;
    source_ = nullptr;
    colors_.clear();
    painted_ = 0;
}

bool TrailOverlay::followsFrom(const std::vector<TrailEntry> &points,
                               const std::vector<cv::Scalar> &colors, cv::Size size) const
{
    if (source_ != &points || colour_.size() != size || points.size() < painted_ || colors_ != colors)
        return false;
    // The trail only ever grows; a list that no longer starts and continues the same
    // way is another list that happens to live at the same address.
    return painted_ == 0 || (points.front() == first_ && points[painted_ - 1] == last_);
}

void TrailOverlay::restart(cv::Size size, const std::vector<TrailEntry> &points,
                           const std::vector<cv::Scalar> &colors)
{
    reset();
    colour_.create(size, CV_8UC3);
    colour_.setTo(cv::Scalar::all(0));
    coverage_ = cv::Mat::zeros(size, CV_8UC1);
    runs_.resize(static_cast<std::size_t>(size.height));
    source_ = &points;
    colors_ = colors;
}

void TrailOverlay::draw(const TrailEntry &entry)
{
    if (!hasColour(entry, colors_) || !discTouches(colour_.size(), entry))
        return;
    // Drawing with cv::circle itself into frame-sized layers gives the very pixels a
    // direct draw would, clipping at the borders included.
    const cv::Point centre(entry.x, entry.y);
    cv::circle(colour_, centre, kTrailDiscRadius, colors_[static_cast<std::size_t>(entry.row)],
               cv::FILLED, cv::LINE_8);
    cv::circle(coverage_, centre, kTrailDiscRadius, cv::Scalar(255), cv::FILLED, cv::LINE_8);

    const int top = std::max(0, entry.y - kTrailDiscRadius - 2);
    const int bottom = std::min(colour_.rows - 1, entry.y + kTrailDiscRadius + 2);
    if (dirtyBottom_ < dirtyTop_) {
        dirtyTop_ = top;
        dirtyBottom_ = bottom;
    } else {
        dirtyTop_ = std::min(dirtyTop_, top);
        dirtyBottom_ = std::max(dirtyBottom_, bottom);
    }
}

void TrailOverlay::refreshRuns()
{
    for (int y = dirtyTop_; y <= dirtyBottom_; ++y) {
        std::vector<Run> &row = runs_[static_cast<std::size_t>(y)];
        row.clear();
        const uchar *covered = coverage_.ptr<uchar>(y);
        int x = 0;
        while (x < coverage_.cols) {
            while (x < coverage_.cols && covered[x] == 0)
                ++x;
            const int begin = x;
            while (x < coverage_.cols && covered[x] != 0)
                ++x;
            if (x > begin)
                row.push_back({begin, x});
        }
        if (!row.empty()) {
            if (coveredBottom_ < coveredTop_) {
                coveredTop_ = coveredBottom_ = y;
            } else {
                coveredTop_ = std::min(coveredTop_, y);
                coveredBottom_ = std::max(coveredBottom_, y);
            }
        }
    }
    dirtyTop_ = 0;
    dirtyBottom_ = -1;
}

void TrailOverlay::paint(cv::Mat &frame, const std::vector<TrailEntry> &points,
                         const std::vector<cv::Scalar> &colors)
{
    CV_Assert(frame.type() == CV_8UC3 && frame.dims == 2);
    if (points.empty())
        return; // nothing to draw, and no layer to hold until there is
    if (!followsFrom(points, colors, frame.size()))
        restart(frame.size(), points, colors);

    for (std::size_t i = painted_; i < points.size(); ++i)
        draw(points[i]);
    if (points.size() > painted_) {
        if (painted_ == 0)
            first_ = points.front();
        painted_ = points.size();
        last_ = points.back();
    }
    if (dirtyBottom_ >= dirtyTop_)
        refreshRuns();

    for (int y = coveredTop_; y <= coveredBottom_; ++y) {
        const uchar *from = colour_.ptr<uchar>(y);
        uchar *to = frame.ptr<uchar>(y);
        for (const Run &run : runs_[static_cast<std::size_t>(y)])
            std::memcpy(to + 3 * run.begin, from + 3 * run.begin,
                        static_cast<std::size_t>(3 * (run.end - run.begin)));
    }
}

#pragma once

// Helpers shared by the test programs: synthetic frames with known content, the
// reference disc-by-disc trail drawing, and capture of the diagnostic stream.

#include "core/state.h"
#include "tracking/trailoverlay.h"

#include <opencv2/imgproc.hpp>

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QHash>
#include <QImage>
#include <QStatusBar>
#include <QTest>
#include <QtGlobal>

#include "guardedpages.h"
#include "platform/processusage.h"

#include <functional>
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
    explicit GuardedCopy(const cv::Mat &pixels) : pages_(pixels.total() * pixels.elemSize())
    {
        frame = cv::Mat(pixels.size(), pixels.type(), pages_.end() - pixels.total() * pixels.elemSize());
        pixels.copyTo(frame);
    }

    cv::Mat frame; // continuous, its last byte the last readable one

private:
    GuardedPages pages_;
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

// Waits, handling events, until `done` holds or `ms` pass. Returns the time taken, or
// -1 on time-out.
inline qint64 waitUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return -1;
        QTest::qWait(10);
    }
    return clock.elapsed();
}

// Equal for equal pictures, whatever the unused fourth byte of their pixels holds.
inline QByteArray fingerprint(const QImage &image)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    return QCryptographicHash::hash(QByteArrayView(rgb.constBits(), rgb.sizeInBytes()), QCryptographicHash::Md5);
}

// Every text the program's status bar shows, by the fingerprint of its rendering in
// `bar`, a status bar of the same form laid out by the same Qt: the status read off
// the screen. Leaves `bar` empty.
inline QHash<QByteArray, QString> statusRenderings(QStatusBar *bar)
{
    QHash<QByteArray, QString> texts;
    const auto remember = [&](const QString &text) {
        bar->showMessage(text);
        texts.insert(fingerprint(bar->grab().toImage()), text);
    };
    remember(QString());
    remember(QStringLiteral("未检测到摄像头画面"));
    for (int tenths = 0; tenths <= 1200; ++tenths)
        remember(QStringLiteral("帧率 %1 帧/秒").arg(tenths / 10.0, 0, 'f', 1));
    bar->clearMessage();
    return texts;
}

} // namespace testsupport

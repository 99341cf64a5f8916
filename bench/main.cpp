// veltra-bench: times the per-frame work of the live view after the read, with trails
// of different lengths, against the calls it cannot avoid and against painting the
// trail disc by disc. Runs headless on Qt's offscreen platform.
//
//   veltra-bench --csv FILE            the whole grid, medians written as CSV
//   veltra-bench --width W --height H --trail N --frames K
//                                      one pipeline case, median and peak memory
//   --portable (with either)           the colour mask without its vector code
//
// The tracker's diagnostic lines go to standard output as always; results go to
// standard error (and the CSV file), so `> /dev/null` keeps the terminal readable.

#include "core/state.h"
#include "tracking/colormask.h"
#include "camera/jpegframe.h"
#include "platform/processusage.h"
#include "tracking/tracking.h"
#include "tracking/trailoverlay.h"
#include "window/picturefit.h"

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <turbojpeg.h>


#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

// The picture label's size in the 600 by 400 window.
const QSize kLabelSize(578, 282);

using Clock = std::chrono::steady_clock;

// A camera-like frame: a shaded background, grey and coloured clutter (some of it
// small blobs inside the marker's colour range) and one marker.
cv::Mat benchFrame(int width, int height)
{
    cv::Mat frame(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y)
        frame.row(y).setTo(cv::Scalar(60 + 60 * y / height, 50 + 40 * y / height, 40));
    cv::RNG rng(12345);
    for (int i = 0; i < 40; ++i) {
        const cv::Point centre(rng.uniform(0, width), rng.uniform(0, height));
        const cv::Scalar colour = i % 3 == 0 ? cv::Scalar(100, 150, 200)  // in range, small
                                             : cv::Scalar(rng.uniform(0, 256), rng.uniform(0, 256), rng.uniform(0, 256));
        cv::circle(frame, centre, rng.uniform(2, i % 3 == 0 ? 8 : 30), colour, cv::FILLED);
    }
    cv::rectangle(frame, cv::Rect(width / 3, height / 3, width / 12, width / 12), cv::Scalar(100, 150, 200), cv::FILLED);
    return frame;
}

// A marker's path: a figure of eight over the frame, walked in small steps.
void fillTrail(std::vector<TrailEntry> &trail, size_t count, int width, int height)
{
    trail.clear();
    for (size_t i = 0; i < count; ++i) {
        const double t = static_cast<double>(i) * 0.002;
        trail.push_back({static_cast<int>(width / 2 + 0.4 * width * std::sin(t)),
                         static_cast<int>(height / 2 + 0.35 * height * std::sin(2 * t)), 0});
    }
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Times `work` once per frame, each time on a fresh copy of `source` in currentFrame
// (the copy stands for the camera read and is not timed), and adds the times to `ms`.
void timeFrames(const cv::Mat &source, int frames, const std::function<void()> &work, std::vector<double> &ms)
{
    // Untimed frames first, for a fixed time rather than a count: they warm the caches
    // and bring the processor to the same steady clock for every case, whatever ran
    // before it (a burst of set-up or an idle pause both skew the next frames).
    const auto warmUntil = Clock::now() + std::chrono::milliseconds(150);
    while (Clock::now() < warmUntil) {
        source.copyTo(currentFrame);
        work();
    }
    for (int i = 0; i < frames; ++i) {
        source.copyTo(currentFrame);
        const auto start = Clock::now();
        work();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
}

QImage wrapped()
{
    return QImage(static_cast<const uchar *>(currentFrame.data), currentFrame.cols, currentFrame.rows,
                  static_cast<qsizetype>(currentFrame.step), QImage::Format_BGR888);
}

// The picture as the window makes it, and as Qt's own two calls make it.
QPixmap showPicture() { return QPixmap::fromImage(fitPicture(wrapped(), kLabelSize)); }
QPixmap showPictureQt()
{
    return QPixmap::fromImage(wrapped().scaled(kLabelSize, Qt::KeepAspectRatio, Qt::FastTransformation));
}

void show(const cv::Mat &source, int frames, bool byQt, std::vector<double> &ms)
{
    timeFrames(source, frames, [byQt] {
        const QPixmap framePixmap = byQt ? showPictureQt() : showPicture();
        (void)framePixmap;
    }, ms);
}

// A camera's JPEG of the frame: sensor noise on the picture, 4:2:2 at quality 85, as
// a webcam's encoder sends it.
std::vector<uchar> cameraJpeg(const cv::Mat &frame)
{
    cv::Mat noisy(frame.size(), CV_8UC3);
    cv::randn(noisy, cv::Scalar::all(0), cv::Scalar::all(3));
    cv::add(frame, noisy, noisy, cv::noArray(), CV_8UC3);
    tjhandle encoder = tjInitCompress();
    unsigned char *jpeg = nullptr;
    unsigned long size = 0;
    tjCompress2(encoder, noisy.data, noisy.cols, static_cast<int>(noisy.step), noisy.rows, TJPF_BGR, &jpeg, &size,
                TJSAMP_422, 85, 0);
    std::vector<uchar> bytes(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(encoder);
    return bytes;
}

// The program's decoding of a camera's JPEG to BGR, and OpenCV's (to R, G, B, then
// swapped), each into a frame kept from one call to the next as the capture does.
void decode(const cv::Mat &source, std::vector<uchar> &jpeg, int frames, bool byOpenCv, std::vector<double> &ms)
{
    const cv::Mat sent(1, static_cast<int>(jpeg.size()), CV_8UC1, jpeg.data());
    cv::Mat frame;
    timeFrames(source, frames, [&] {
        if (byOpenCv)
            cv::imdecode(sent, cv::IMREAD_COLOR, &frame);
        else
            decodeJpegFrame(sent, frame);
    }, ms);
}

void pipeline(const cv::Mat &source, size_t trail, int frames, std::vector<double> &ms)
{
    fillTrail(trailPoints, trail, source.cols, source.rows);
    // Rasterising a long trail at once happens only when the frame size changes: set-up
    // here, not per-frame work.
    trailOverlay.reset();
    source.copyTo(currentFrame);
    paintTrail(trailPoints, markerColors);
    timeFrames(source, frames, [] {
        detectMarker(currentFrame);
        paintTrail(trailPoints, markerColors);
        const QPixmap framePixmap = showPicture();
        (void)framePixmap;
    }, ms);
}

void floorCalls(const cv::Mat &source, int frames, std::vector<double> &ms)
{
    timeFrames(source, frames, [] {
        cv::Mat imgHSV, mask;
        cv::cvtColor(currentFrame, imgHSV, cv::COLOR_BGR2HSV);
        cv::inRange(imgHSV, cv::Scalar(13, 30, 127), cv::Scalar(217, 151, 255), mask);
        std::vector<std::vector<cv::Point>> contours;
        cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
        const QPixmap framePixmap = showPictureQt();
        (void)framePixmap;
    }, ms);
}

// The colour mask alone, as detection makes it, and as OpenCV's two calls make it.
void maskOnly(const cv::Mat &source, int frames, std::vector<double> &ms)
{
    cv::Mat mask;
    const ColourTable &table = colourTableFor(colorRanges[0]);
    timeFrames(source, frames, [&] { table.apply(currentFrame, mask); }, ms);
}

void maskOpenCv(const cv::Mat &source, int frames, std::vector<double> &ms)
{
    cv::Mat imgHSV, mask;
    timeFrames(source, frames, [&] {
        cv::cvtColor(currentFrame, imgHSV, cv::COLOR_BGR2HSV);
        cv::inRange(imgHSV, cv::Scalar(13, 30, 127), cv::Scalar(217, 151, 255), mask);
    }, ms);
}

// The outline search on the frame's mask: what is left of detection after the mask.
void contoursOnly(const cv::Mat &source, int frames, std::vector<double> &ms)
{
    cv::Mat mask;
    colourTableFor(colorRanges[0]).apply(source, mask);
    timeFrames(source, frames, [&] {
        std::vector<std::vector<cv::Point>> contours;
        cv::findContours(mask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    }, ms);
}

// Builds the colour table now, so no case times it, and says how long that took.
void buildTable()
{
    const auto start = Clock::now();
    colourTableFor(colorRanges[0]);
    std::fprintf(stderr, "colour table built in %.1f ms\n",
                 std::chrono::duration<double, std::milli>(Clock::now() - start).count());
}

void naive(const cv::Mat &source, size_t trail, int frames, std::vector<double> &ms)
{
    std::vector<TrailEntry> points;
    fillTrail(points, trail, source.cols, source.rows);
    timeFrames(source, frames, [&points] {
        for (const TrailEntry &e : points)
            cv::circle(currentFrame, cv::Point(e.x, e.y), kTrailDiscRadius, markerColors[0], cv::FILLED, cv::LINE_8);
    }, ms);
}

int usage()
{
    std::fprintf(stderr, "usage: veltra-bench [--portable] --csv FILE\n"
                         "       veltra-bench [--portable] --width W --height H --trail N --frames K\n");
    return 2;
}

int runGrid(const std::string &path)
{
    std::ofstream csv(path);
    if (!csv)
        return std::fprintf(stderr, "veltra-bench: cannot write %s\n", path.c_str()), 1;
    csv << "stage,width,height,trail,ms\n";
    const auto row = [&csv](const char *stage, const cv::Mat &frame, size_t trail, double ms) {
        csv << stage << ',' << frame.cols << ',' << frame.rows << ',' << trail << ',' << ms << '\n';
        csv.flush();
        std::fprintf(stderr, "%-13s %4dx%-4d trail %7zu  %8.3f ms\n", stage, frame.cols, frame.rows, trail, ms);
    };
    const cv::Size sizes[] = {{640, 480}, {1280, 720}, {1920, 1080}};
    const size_t trails[] = {0, 10000, 100000, 1000000};
    // The cases of one size are measured in turns, a few frames each, so that a slow
    // spell of the machine spreads over all of them instead of skewing one.
    constexpr int kRounds = 5;
    for (const cv::Size size : sizes) {
        const cv::Mat frame = benchFrame(size.width, size.height);
        std::vector<uchar> jpeg = cameraJpeg(frame);
        std::vector<double> floorMs, maskMs, maskOpenCvMs, contoursMs, showMs, showQtMs, decodeMs, decodeOpenCvMs;
        std::vector<std::vector<double>> pipelineMs(std::size(trails)), naiveMs(std::size(trails));
        for (int round = 0; round < kRounds; ++round) {
            floorCalls(frame, 40, floorMs);
            maskOpenCv(frame, 40, maskOpenCvMs);
            maskOnly(frame, 40, maskMs);
            contoursOnly(frame, 40, contoursMs);
            show(frame, 40, false, showMs);
            show(frame, 40, true, showQtMs);
            decode(frame, jpeg, 20, false, decodeMs);
            decode(frame, jpeg, 20, true, decodeOpenCvMs);
            for (size_t t = 0; t < std::size(trails); ++t) {
                pipeline(frame, trails[t], 40, pipelineMs[t]);
                // Disc by disc, a million entries take most of a second a frame.
                if (trails[t] <= 100000)
                    naive(frame, trails[t], trails[t] >= 100000 ? 3 : 8, naiveMs[t]);
            }
        }
        row("floor", frame, 0, median(floorMs));
        row("mask-opencv", frame, 0, median(maskOpenCvMs));
        row("mask", frame, 0, median(maskMs));
        row("contours", frame, 0, median(contoursMs));
        row("show", frame, 0, median(showMs));
        row("show-qt", frame, 0, median(showQtMs));
        row("decode", frame, 0, median(decodeMs));
        row("decode-opencv", frame, 0, median(decodeOpenCvMs));
        for (size_t t = 0; t < std::size(trails); ++t)
            row("pipeline", frame, trails[t], median(pipelineMs[t]));
        for (size_t t = 0; t < std::size(trails); ++t)
            if (!naiveMs[t].empty())
                row("naive", frame, trails[t], median(naiveMs[t]));
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    cv::setNumThreads(0); // as in the program: OpenCV's calls on the calling thread alone

    std::string csvPath;
    long width = 0, height = 0, trail = -1, frames = 60;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--portable") {
            preferMaskPath(MaskPath::Portable);
            continue;
        }
        if (i + 1 >= argc)
            return usage();
        const char *value = argv[++i];
        char *end = nullptr;
        const long number = std::strtol(value, &end, 10);
        const bool isNumber = end != value && *end == '\0' && number >= 0;
        if (arg == "--csv")
            csvPath = value;
        else if (arg == "--width" && isNumber)
            width = number;
        else if (arg == "--height" && isNumber)
            height = number;
        else if (arg == "--trail" && isNumber)
            trail = number;
        else if (arg == "--frames" && isNumber && number > 0)
            frames = number;
        else
            return usage();
    }
    if (csvPath.empty() && (width < 64 || height < 64 || trail < 0))
        return usage();
    buildTable();
    if (!csvPath.empty())
        return runGrid(csvPath);

    const cv::Mat frame = benchFrame(static_cast<int>(width), static_cast<int>(height));
    std::vector<double> samples;
    pipeline(frame, static_cast<size_t>(trail), static_cast<int>(frames), samples);
    const double ms = median(samples);
    std::fprintf(stderr, "pipeline %ldx%ld trail %ld: median %.3f ms per frame, peak memory %ld KiB\n", width,
                 height, trail, ms, peakResidentKiB());
    return 0;
}

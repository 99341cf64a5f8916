// veltra-replay: runs the marker tracker over a recorded clip, frame by frame as the
// live view does (detect, then paint the whole trail), to check the marker colour
// against footage without a camera.

#include "core/state.h"
#include "camera/camera.h"
#include "camera/frameformat.h"
#include "platform/streams.h"
#include "tracking/tracking.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

namespace {

constexpr int kUsageError = 2;

const char kUsage[] = "usage: veltra-replay SOURCE [--frames N] [--trail FILE] [--save-last FILE]";

const char kHelp[] =
    "Runs Veltra's marker tracker over a recorded clip, frame by frame as the live view\n"
    "does, and prints the diagnostic stream (outline areas and corner counts) on\n"
    "standard output.\n"
    "\n"
    "  SOURCE            a video file, or a printf-style image sequence such as\n"
    "                    clips/f_%04d.png (each picture keeps its own size)\n"
    "  --frames N        track at most N frames\n"
    "  --trail FILE      write the trail as 'x y row' lines to FILE\n"
    "  --save-last FILE  write the last painted frame to FILE, a .png\n"
    "  --help            show this help and exit\n"
    "  --version         show the version and exit\n";

struct Options
{
    bool help = false;
    bool version = false;
    std::string source;
    long long maxFrames = -1; // no limit
    std::string trailFile;
    std::string lastFrameFile;
};

int fail(const std::string &message, int code = kUsageError)
{
    std::cerr << "veltra-replay: " << message << '\n';
    return code;
}

bool parseCount(const char *text, long long &value)
{
    char *end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < 0)
        return false;
    value = parsed;
    return true;
}

// Returns an empty string on success, or what was wrong with the command line.
std::string parseOptions(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool takesValue = arg == "--frames" || arg == "--trail" || arg == "--save-last";
        if (takesValue) {
            if (i + 1 >= argc)
                return arg + " needs a value";
            const char *value = argv[++i];
            if (arg == "--frames" && !parseCount(value, options.maxFrames))
                return std::string("--frames needs a count of 0 or more, not '") + value + "'";
            if (arg == "--trail")
                options.trailFile = value;
            if (arg == "--save-last") {
                options.lastFrameFile = value;
                const std::string &name = options.lastFrameFile;
                if (name.size() < 4 || name.compare(name.size() - 4, 4, ".png") != 0)
                    return "--save-last writes a lossless PNG: give a FILE ending in .png";
            }
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return "unknown option " + arg;
        } else if (options.source.empty()) {
            options.source = arg;
        } else {
            return "more than one SOURCE given";
        }
    }
    if (options.source.empty() && !options.help && !options.version)
        return "no SOURCE given";
    return {};
}

bool writeTrail(const std::string &path)
{
    std::ofstream out(path, std::ios::binary); // the same bytes on every platform
    for (const TrailEntry &entry : trailPoints)
        out << entry.x << ' ' << entry.y << ' ' << entry.row << '\n';
    out.flush();
    return static_cast<bool>(out);
}

} // namespace

int main(int argc, char **argv)
{
    writeStandardStreamsAsIs(); // the same output on every platform
    Options options;
    const std::string problem = parseOptions(argc, argv, options);
    if (!problem.empty())
        return fail(problem + "; " + kUsage);
    if (options.help) {
        std::printf("%s\n\n%s", kUsage, kHelp);
        return 0;
    }
    if (options.version) {
        std::printf("veltra-replay %s\n", VELTRA_VERSION);
        return 0;
    }

    leaveOutStillCameras(); // a clip is no still camera
    // A printf-style pattern is an image sequence, read picture by picture so that
    // each frame keeps its own size.
    const bool isSequence = options.source.find('%') != std::string::npos;
    if (!captureDevice.open(options.source, isSequence ? cv::CAP_IMAGES : cv::CAP_ANY)
        || !captureDevice.isOpened())
        return fail("cannot open '" + options.source + "' as a video or image sequence");

    // OpenCV counts a sequence's pictures when it opens it, and warns about the file
    // after the last if asked to read it: the sequence ends at its count instead, and
    // only a picture that cannot be read within it is reported.
    const long long pictures = isSequence ? static_cast<long long>(captureDevice.get(cv::CAP_PROP_FRAME_COUNT)) : -1;
    const bool keepLast = !options.lastFrameFile.empty();
    cv::Mat lastFrame;
    std::string unreadable;
    long long frames = 0;
    const auto started = std::chrono::steady_clock::now();
    while ((options.maxFrames < 0 || frames < options.maxFrames) && (pictures < 0 || frames < pictures)) {
        if (!captureDevice.read(currentFrame)) {
            if (pictures >= 0)
                unreadable = "picture " + std::to_string(frames + 1) + " of " + std::to_string(pictures) + " in '"
                    + options.source + "' cannot be read";
            break;
        }
        ++frames;
        if (!frameAsBgr(currentFrame, currentFrame))
            continue; // the live view skips such a frame too
        detectMarker(currentFrame);
        paintTrail(trailPoints, markerColors);
        if (keepLast)
            lastFrame = currentFrame.clone(); // the next read may reuse the buffer
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    if (!options.trailFile.empty() && !writeTrail(options.trailFile))
        return fail("cannot write the trail to '" + options.trailFile + "'", 1);
    if (keepLast) {
        if (lastFrame.empty())
            return fail("no frame was tracked, so there is no last frame to save", 1);
        if (!cv::imwrite(options.lastFrameFile, lastFrame, {cv::IMWRITE_PNG_COMPRESSION, 3}))
            return fail("cannot write the last frame to '" + options.lastFrameFile + "'", 1);
    }

    if (!unreadable.empty())
        return fail(unreadable, 1); // what came before it is written all the same
    std::fprintf(stderr, "veltra-replay: %lld frames, %zu trail entries, %.3f ms per frame\n", frames,
                 trailPoints.size(), frames > 0 ? seconds * 1000.0 / static_cast<double>(frames) : 0.0);
    return 0;
}

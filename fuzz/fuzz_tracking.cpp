// Fuzz entry for the tracker: the input becomes a frame of any size, depth and
// channel count with any contents, plus a few trail entries anywhere, and goes
// through detectMarker and paintTrail as a captured frame would. An input that starts
// as a JPEG does is a camera's Motion-JPEG frame instead: decoded as the live view
// decodes it, then tracked and painted the same way.

#include "core/state.h"
#include "camera/jpegframe.h"
#include "tracking/trailoverlay.h"
#include "tracking/tracking.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iostream>

namespace {

// Reads the input front to back; past its end every value is 0.
class Input
{
public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    uint32_t take(unsigned bytes)
    {
        uint32_t value = 0;
        for (unsigned i = 0; i < bytes; ++i)
            value = (value << 8) | (pos_ < size_ ? data_[pos_++] : 0u);
        return value;
    }
    const uint8_t *rest() const { return data_ + std::min(pos_, size_); }
    size_t restSize() const { return size_ - std::min(pos_, size_); }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool quiet = [] {
        std::cout.rdbuf(nullptr); // the diagnostic stream is not what is under test
        captureDevice.release();
        return true;
    }();
    (void)quiet;

    if (size >= 2 && data[0] == 0xff && data[1] == 0xd8) {
        trailPoints.clear();
        const cv::Mat sent(1, static_cast<int>(size), CV_8UC1, const_cast<uint8_t *>(data));
        if (decodeJpegFrame(sent, currentFrame)) {
            detectMarker(currentFrame);
            paintTrail(trailPoints, markerColors);
        }
        return 0;
    }

    Input in(data, size);
    int rows = static_cast<int>(in.take(2) % 301);
    int cols = static_cast<int>(in.take(2) % 301);
    const int depth = static_cast<int>(in.take(1) % 8); // CV_8U .. CV_16F
    const int channelChoice = static_cast<int>(in.take(1));
    // Mostly the usual 1 to 4 channels, now and then anything up to OpenCV's limit, on
    // a smaller frame so that one input stays a fraction of a second.
    const int channels = channelChoice < 240 ? 1 + channelChoice % 4 : 1 + channelChoice % 16 * 32;
    if (channels > 4) {
        rows %= 33;
        cols %= 33;
    }

    cv::Mat frame;
    if (rows > 0 && cols > 0)
        frame.create(rows, cols, CV_MAKETYPE(depth, std::min(channels, CV_CN_MAX)));

    const int entries = static_cast<int>(in.take(1) % 6);
    trailPoints.clear();
    for (int i = 0; i < entries; ++i) {
        const int x = static_cast<int>(in.take(4));
        const int y = static_cast<int>(in.take(4));
        const int row = static_cast<int>(in.take(1) % 3) - 1; // -1 and 1 have no colour
        trailPoints.push_back({x, y, row});
    }
    selectedIndex = in.take(1) % 8 == 0 ? 1 : 0;

    if (!frame.empty()) {
        // Pixel bytes come from the rest of the input, repeated to fill the frame.
        const size_t total = frame.total() * frame.elemSize();
        uint8_t *pixels = frame.ptr<uint8_t>();
        if (in.restSize() == 0) {
            std::memset(pixels, 0, total);
        } else {
            for (size_t done = 0; done < total;) {
                const size_t chunk = std::min(in.restSize(), total - done);
                std::memcpy(pixels + done, in.rest(), chunk);
                done += chunk;
            }
        }
    }

    const cv::Mat before = frame.clone();
    detectMarker(frame);
    if (!frame.empty() && std::memcmp(frame.data, before.data, frame.total() * frame.elemSize()) != 0)
        __builtin_trap(); // detection must leave the frame alone

    currentFrame = frame;
    paintTrail(trailPoints, markerColors);
    selectedIndex = 0;
    return 0;
}

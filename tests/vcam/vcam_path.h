#pragma once

// The virtual camera's picture, shared by the frame source and the tests that check
// what the program made of it: a plain background and one marker box that moves round
// a circle, one step a frame.

#include <cmath>
#include <cstdint>
#include <cstring>

namespace vcam {

// B, G, R. The marker lies inside the program's colour row (hue 15, saturation 128,
// value 200); the background does not (its value is far below 127).
inline constexpr uint8_t kMarkerBgr[3] = {100, 150, 200};
inline constexpr uint8_t kBackgroundBgr[3] = {40, 30, 20};
inline constexpr int kBoxWidth = 40;
inline constexpr int kBoxHeight = 30;
inline constexpr int kStepsPerTurn = 90;
inline constexpr double kPi = 3.14159265358979323846; // M_PI, which MinGW's strict mode leaves out

struct Box
{
    int x, y, w, h;
};

inline Box markerBox(uint64_t frame, int width, int height)
{
    const double angle = 2.0 * kPi * static_cast<double>(frame % kStepsPerTurn) / kStepsPerTurn;
    const double radius = 0.3 * (width < height ? width : height);
    const int cx = static_cast<int>(std::lround(width / 2.0 + radius * std::cos(angle)));
    const int cy = static_cast<int>(std::lround(height / 2.0 + radius * std::sin(angle)));
    return {cx - kBoxWidth / 2, cy - kBoxHeight / 2, kBoxWidth, kBoxHeight};
}

// Frame number `frame` as 8-bit B, G, R rows of `stride` bytes: every source of test
// frames draws them here, so each platform's build is fed the same pictures.
inline void drawFrame(uint64_t frame, int width, int height, uint8_t *bgr, size_t stride)
{
    const Box box = markerBox(frame, width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t *row = bgr + static_cast<size_t>(y) * stride;
        for (int x = 0; x < width; ++x) {
            const bool marker = x >= box.x && x < box.x + box.w && y >= box.y && y < box.y + box.h;
            std::memcpy(row + 3 * x, marker ? kMarkerBgr : kBackgroundBgr, 3);
        }
    }
}

} // namespace vcam

#pragma once

// The virtual camera's picture, shared by the frame source and the tests that check
// what the program made of it: a plain background and one marker box that moves round
// a circle, one step a frame.

#include <cmath>
#include <cstdint>

namespace vcam {

// B, G, R. The marker lies inside the program's colour row (hue 15, saturation 128,
// value 200); the background does not (its value is far below 127).
inline constexpr uint8_t kMarkerBgr[3] = {100, 150, 200};
inline constexpr uint8_t kBackgroundBgr[3] = {40, 30, 20};
inline constexpr int kBoxWidth = 40;
inline constexpr int kBoxHeight = 30;
inline constexpr int kStepsPerTurn = 90;

struct Box
{
    int x, y, w, h;
};

inline Box markerBox(uint64_t frame, int width, int height)
{
    const double angle = 2.0 * M_PI * static_cast<double>(frame % kStepsPerTurn) / kStepsPerTurn;
    const double radius = 0.3 * (width < height ? width : height);
    const int cx = static_cast<int>(std::lround(width / 2.0 + radius * std::cos(angle)));
    const int cy = static_cast<int>(std::lround(height / 2.0 + radius * std::sin(angle)));
    return {cx - kBoxWidth / 2, cy - kBoxHeight / 2, kBoxWidth, kBoxHeight};
}

} // namespace vcam

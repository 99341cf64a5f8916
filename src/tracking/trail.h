#pragma once

// What the tracking looks for and what it records.

// One recorded marker position: frame pixel coordinates and the colour row that
// found it (the same row selects the disc colour). Held inline, 12 bytes an entry.
struct TrailEntry
{
    int x = 0;
    int y = 0;
    int row = 0;

    friend bool operator==(const TrailEntry &a, const TrailEntry &b)
    {
        return a.x == b.x && a.y == b.y && a.row == b.row;
    }
};

// An inclusive HSV range on OpenCV's 8-bit scale (hue 0..179, saturation and value
// 0..255). An upper hue above 179 simply accepts every hue from the lower one up.
struct ColorRangeRow
{
    int lowHue = 0;
    int lowSaturation = 0;
    int lowValue = 0;
    int highHue = 0;
    int highSaturation = 0;
    int highValue = 0;

    friend bool operator==(const ColorRangeRow &a, const ColorRangeRow &b)
    {
        return a.lowHue == b.lowHue && a.lowSaturation == b.lowSaturation && a.lowValue == b.lowValue
            && a.highHue == b.highHue && a.highSaturation == b.highSaturation && a.highValue == b.highValue;
    }
};

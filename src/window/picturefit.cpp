#include "window/picturefit.h"

#include <QtGlobal>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace {

// Qt 6's raster engine draws a scaled image by walking each target row in pieces of
// this many pixels, mapping pixel centres back into the source in 16.16 fixed point.
constexpr int kPiece = 2048;
constexpr double kFixed = 65536.0;

QImage qtsOwn(const QImage &frame, QSize size)
{
    return frame.scaled(size, Qt::KeepAspectRatio, Qt::FastTransformation).convertToFormat(QImage::Format_RGB32);
}

} // namespace

QImage fitPicture(const QImage &frame, QSize size)
{
    if (frame.isNull() || size.isEmpty())
        return QImage();
    if (frame.format() != QImage::Format_BGR888)
        return qtsOwn(frame, size);
    QSize target = frame.size().scaled(size, Qt::KeepAspectRatio);
    target = target.expandedTo(QSize(1, 1));
    if (target == frame.size())
        return frame.convertToFormat(QImage::Format_RGB32);

    // The inverse of the scaling, with the nudge of 1/65536 of a target pixel that the
    // raster engine adds before inverting, computed in the same order as Qt does.
    const double sx = double(target.width()) / frame.width();
    const double sy = double(target.height()) / frame.height();
    const double ix = 1. / sx;
    const double iy = 1. / sy;
    const double dx = -((1.0 / kFixed) * sx) * ix;
    const double dy = -((1.0 / kFixed) * sy) * iy;
    // Outside these bounds Qt leaves fixed point for another path: let Qt do it.
    const double reach = (ix * (target.width() + 0.5) + std::abs(dx)) * kFixed;
    if (!(ix * ix < 1e4 && iy * iy < 1e4 && ix * ix > 1.0 / kFixed && iy * iy > 1.0 / kFixed)
        || reach > std::numeric_limits<int>::max())
        return qtsOwn(frame, size);

    QImage picture(target, QImage::Format_RGB32);
    if (picture.isNull())
        return picture;
    // Every row takes the same source columns: work them out once.
    thread_local std::vector<int> columnBytes;
    columnBytes.resize(static_cast<size_t>(target.width()));
    const int step = static_cast<int>(ix * kFixed);
    for (int start = 0; start < target.width(); start += kPiece) {
        int fx = static_cast<int>((ix * (start + 0.5) + dx) * kFixed);
        const int end = std::min(start + kPiece, target.width());
        for (int x = start; x < end; ++x, fx += step)
            columnBytes[static_cast<size_t>(x)] = 3 * std::clamp(fx >> 16, 0, frame.width() - 1);
    }
    // Columns map in order: those before the first that takes the last source column.
    const int lastColumnBytes = 3 * (frame.width() - 1);
    const int wholeWordsEnd = Q_BYTE_ORDER != Q_LITTLE_ENDIAN ? 0 : static_cast<int>(
        std::lower_bound(columnBytes.begin(), columnBytes.end(), lastColumnBytes) - columnBytes.begin());
    int previousRow = -1;
    for (int y = 0; y < target.height(); ++y) {
        const int sourceRow = std::clamp(static_cast<int>((iy * (y + 0.5) + dy) * kFixed) >> 16, 0, frame.height() - 1);
        auto *to = reinterpret_cast<QRgb *>(picture.scanLine(y));
        if (sourceRow == previousRow) { // scaling up: the row above again
            std::memcpy(to, picture.constScanLine(y - 1), static_cast<size_t>(4 * target.width()));
            continue;
        }
        previousRow = sourceRow;
        const uchar *from = frame.constScanLine(sourceRow);
        // Four bytes at a time, B, G, R and the next pixel's first, while a next pixel
        // exists: on little-endian machines that is 0x??RRGGBB.
        int x = 0;
        for (; x < wholeWordsEnd; ++x) {
            uint32_t word;
            std::memcpy(&word, from + columnBytes[static_cast<size_t>(x)], 4);
            to[x] = 0xff000000u | (word & 0xffffffu);
        }
        for (; x < target.width(); ++x) {
            const uchar *pixel = from + columnBytes[static_cast<size_t>(x)];
            to[x] = 0xff000000u | uint(pixel[2]) << 16 | uint(pixel[1]) << 8 | pixel[0];
        }
    }
    return picture;
}

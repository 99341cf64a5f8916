#pragma once

#include <QImage>
#include <QSize>

// `frame` (8-bit B, G, R: QImage::Format_BGR888) fitted into `size` with its aspect
// ratio kept, pixel for pixel as frame.scaled(size, Qt::KeepAspectRatio,
// Qt::FastTransformation) picks them, but made straight in QImage::Format_RGB32, the
// format a pixmap keeps on screen: Qt would scale on its thread pool, in pieces, and
// convert the result again for the pixmap. Null for an empty `size`, as Qt's.
QImage fitPicture(const QImage &frame, QSize size);

#pragma once

#include <QByteArray>
#include <QImage>

namespace corvane {

// Decodes a baseline or progressive JPEG with libjpeg. Whatever is wrong with the data
// (garbage, a truncated stream, corrupt entropy data that libjpeg only warns about, an
// unsupported colour space, dimensions beyond kMaxJpegPixels) gives a null image; libjpeg is
// never allowed to end the process.
QImage decodeJpeg(const QByteArray &jpeg);

inline constexpr qint64 kMaxJpegPixels = 64LL * 1024 * 1024;

// The picture at the top of the About box (185 x 41): the JPEG kept in the program's
// resources, and that JPEG decoded.
QByteArray aboutPictureJpeg();
QImage aboutPicture();

} // namespace corvane

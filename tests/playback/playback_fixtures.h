#pragma once
// Recordings and pictures for the playback tests: real JPEG pictures made by
// Qt's encoder, packed into files laid out by the AVI format's own rules.

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QFile>
#include <QImage>
#include <QString>

#include <cstdint>
#include <vector>

#include "recording/avi_format.h"
#include "support/avi_oracle.h"

namespace ipcam::playback_test {

// A solid-colour JPEG picture of the given size.
inline std::vector<uint8_t> jpegPicture(int width, int height, QColor colour) {
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG", 90);
    return {bytes.begin(), bytes.end()};
}

// The colour of picture i in a recording, distinct from its neighbours.
inline QColor pictureColour(int i) {
    static const QColor colours[] = {Qt::red, Qt::green, Qt::blue, Qt::yellow, Qt::cyan, Qt::magenta};
    return colours[i % 6];
}

inline QSize sizeOf(uint8_t resolution) {
    const auto s = avi::pictureSize(resolution);
    return {static_cast<int>(s.width), static_cast<int>(s.height)};
}

// The recording of `pictures` lasting `seconds`, in the header of `resolution`.
inline std::vector<uint8_t> aviOf(uint8_t resolution, const std::vector<std::vector<uint8_t>>& pictures,
                                  uint32_t seconds) {
    const auto size = avi::pictureSize(resolution);
    return test::aviFile(pictures, test::perFrame(seconds, pictures.size()), size.width, size.height);
}

// A recording of `count` pictures (cycling through six colours) lasting
// `seconds`, as the recorder writes it. Pictures are small (16 x 16) unless
// fullSize asks for the recording's own picture size.
inline QByteArray recording(uint8_t resolution, int count, uint32_t seconds, bool fullSize = false) {
    const QSize size = fullSize ? sizeOf(resolution) : QSize(16, 16);
    std::vector<std::vector<uint8_t>> distinct;
    for (int i = 0; i < std::min(count, 6); ++i)
        distinct.push_back(jpegPicture(size.width(), size.height(), pictureColour(i)));
    std::vector<std::vector<uint8_t>> pictures;
    pictures.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        pictures.push_back(distinct[static_cast<size_t>(i % 6)]);
    const auto file = aviOf(resolution, pictures, seconds);
    return QByteArray(reinterpret_cast<const char*>(file.data()), static_cast<qsizetype>(file.size()));
}

inline void putU32(QByteArray& bytes, int offset, uint32_t value) {
    avi::putU32(reinterpret_cast<uint8_t*>(bytes.data()) + offset, value);
}

inline bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(bytes) == bytes.size();
}

}  // namespace ipcam::playback_test

#pragma once
// The simulated camera's pictures: drawn into an RGB buffer and encoded as
// JFIF JPEG with libjpeg.

#include <QByteArray>
#include <QSize>

#include <cstdint>
#include <vector>

namespace ipcam::sim {

enum class SceneKind {
    Moving,  // a bouncing block, drifting stripes and a running clock
    Still,   // the same picture every time
    Burst,   // all white or all black, by the frame number's parity
};

// The picture size a request's V value asks for: 0 160x120, 2 640x480,
// anything else 320x240.
QSize sizeForV(int v);

struct SceneTime {
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// 8-bit RGB, row by row, width * height * 3 bytes.
std::vector<uint8_t> renderScene(QSize size, SceneKind kind, uint64_t frameNumber, SceneTime time);

// Baseline JPEG with a JFIF APP0 segment, so the data begins FF D8 FF E0.
QByteArray encodeJpeg(const std::vector<uint8_t>& rgb, QSize size, int quality = 75);

// The same picture with its JFIF APP0 segment replaced by a small Exif APP1
// segment (a little-endian TIFF header and one IFD: make, orientation,
// resolution, YCbCr positioning), so the data begins FF D8 FF E1 and still
// ends FF D9. Data that does not begin FF D8 FF E0 comes back unchanged.
QByteArray withExifSegment(const QByteArray& jfif);

}  // namespace ipcam::sim

#pragma once
// A picture written as a JPEG file's bytes (the alarm snapshot of a camera
// whose stream is not JPEG).

#include <cstdint>
#include <vector>

class QImage;

namespace ipcam {

// Encodes a picture as a baseline JPEG (4:2:0, quality 1..100) with libjpeg.
// Any QImage format is taken (converted to RGB32 first when it is another).
// Empty for a null picture or when libjpeg fails.
std::vector<uint8_t> encodeJpeg(const QImage& picture, int quality = 85);

}  // namespace ipcam

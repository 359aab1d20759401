#pragma once
// A read-only view of a decoded picture: 32-bit pixels 0xAARRGGBB (the
// layout of QImage::Format_RGB32), `stride` pixels per row.

#include <cstdint>

namespace ipcam {

struct PixelView {
    const uint32_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;  // in pixels

    bool contains(int x, int y) const { return pixels && x >= 0 && y >= 0 && x < width && y < height; }
    uint32_t argb(int x, int y) const { return pixels[static_cast<long>(y) * stride + x]; }
};

}  // namespace ipcam

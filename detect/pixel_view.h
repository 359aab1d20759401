#pragma once
// A read-only view of a decoded picture: 32-bit pixels 0xAARRGGBB (the
// layout of QImage::Format_RGB32), `stride` pixels per row.

#include <cstdint>

namespace ipcam {

struct PixelView {
    const uint32_t* pixels = nullptr;
    int width = 0;   // the picture's size, in the points read
    int height = 0;
    int stride = 0;  // in pixels
    // A picture held smaller than its size (decoded at a smaller scale for
    // the motion detector): its pixels are heldWidth x heldHeight, and a
    // point reads the held pixel under its centre. 0: held at its size.
    int heldWidth = 0;
    int heldHeight = 0;

    bool contains(int x, int y) const { return pixels && x >= 0 && y >= 0 && x < width && y < height; }
    uint32_t argb(int x, int y) const {
        if (heldWidth > 0 && heldHeight > 0) {
            x = static_cast<int>((2 * int64_t(x) + 1) * heldWidth / (2 * int64_t(width)));
            y = static_cast<int>((2 * int64_t(y) + 1) * heldHeight / (2 * int64_t(height)));
        }
        return pixels[static_cast<long>(y) * stride + x];
    }
};

}  // namespace ipcam

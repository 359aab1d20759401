#include "detect/motion_detector.h"

#include <cstdlib>

namespace ipcam {

namespace {

constexpr int kGridSize = 8;

// Fixed points in the top-left 320 x 240 of the decoded preview, whatever
// the picture's size; a point outside a smaller image reads as invalid.
int sampleX(int i) { return 20 + 40 * i; }
int sampleY(int j) { return 15 + 30 * j; }

void sampleGrid(const PixelView& picture, MotionGrid& grid) {
    for (int i = 0; i < kGridSize; ++i)
        for (int j = 0; j < kGridSize; ++j)
            grid[static_cast<size_t>(i)][static_cast<size_t>(j)] =
                static_cast<int32_t>(colourAt(picture, sampleX(i), sampleY(j)));
}

// Blue keeps the sign, so the invalid colour gives -1 there.
int32_t blueOf(int32_t v) { return v >> 16; }
int32_t greenOf(int32_t v) { return (v >> 8) & 0xFF; }
int32_t redOf(int32_t v) { return v & 0xFF; }

int32_t colourDistance(int32_t a, int32_t b) {
    return std::abs(blueOf(a) - blueOf(b)) + std::abs(greenOf(a) - greenOf(b)) + std::abs(redOf(a) - redOf(b));
}

bool gridsDiffer(const MotionGrid& reference, const MotionGrid& current, int32_t threshold) {
    for (int i = 0; i < kGridSize; ++i)
        for (int j = 0; j < kGridSize; ++j) {
            const auto ii = static_cast<size_t>(i);
            const auto jj = static_cast<size_t>(j);
            if (colourDistance(reference[ii][jj], current[ii][jj]) > threshold)
                return true;
        }
    return false;
}

}  // namespace

int32_t motionThreshold(uint8_t sensitivity) {
    return 500 - 30 * static_cast<int32_t>(sensitivity);
}

uint32_t colourAt(const PixelView& picture, int x, int y) {
    if (!picture.contains(x, y))
        return 0xFFFFFFFFu;
    const uint32_t argb = picture.argb(x, y);
    const uint32_t red = (argb >> 16) & 0xFF;
    const uint32_t green = (argb >> 8) & 0xFF;
    const uint32_t blue = argb & 0xFF;
    return red | (green << 8) | (blue << 16);
}

bool motionStep(MotionState& session, const PixelView& picture, uint8_t sensitivity, bool motionTrigger) {
    switch (session.MotionPhase) {
    case 0:
        session.MotionPhase = 1;
        return false;
    case 1:
        sampleGrid(picture, session.ReferenceGrid);
        session.MotionPhase = 2;
        return false;
    default:
        break;
    }
    if (motionTrigger)
        return false;
    sampleGrid(picture, session.CurrentGrid);
    const bool motion = gridsDiffer(session.ReferenceGrid, session.CurrentGrid, motionThreshold(sensitivity));
    session.ReferenceGrid = session.CurrentGrid;
    return motion;
}

}  // namespace ipcam

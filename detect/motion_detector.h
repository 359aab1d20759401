#pragma once
// Motion found by comparing 8 x 8 sample points of consecutive pictures.

#include <cstdint>

#include <array>

#include "detect/pixel_view.h"

namespace ipcam {

using MotionGrid = std::array<std::array<int32_t, 8>, 8>;  // [i][j], column i, row j

// The detector's own state: which step it is at and the last sampled grid.
// Every item starts at zero; MotionPhase := 0 makes it skip a picture and
// then take a new reference.
struct MotionState {
    int MotionPhase = 0;
    MotionGrid ReferenceGrid{};
    MotionGrid CurrentGrid{};
};

// T = 500 - 30 x sensitivity (signed).
int32_t motionThreshold(uint8_t sensitivity);

// The colour of a pixel as red | green << 8 | blue << 16, or 0xFFFFFFFF for
// a point outside the picture.
uint32_t colourAt(const PixelView& picture, int x, int y);

// One motion step on `state`. While `motionTrigger` is set (a Motion
// recording has just begun) no motion is reported. Returns true when motion
// is reported.
bool motionStep(MotionState& state, const PixelView& picture, uint8_t sensitivity, bool motionTrigger);

}  // namespace ipcam

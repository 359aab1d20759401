#pragma once
// Motion found by comparing 8 x 8 sample points of consecutive pictures.

#include <cstdint>

#include "camera/camera_session.h"
#include "detect/pixel_view.h"

namespace ipcam {

// T = 500 - 30 x sensitivity (signed).
int32_t motionThreshold(uint8_t sensitivity);

// The colour of a pixel as red | green << 8 | blue << 16, or 0xFFFFFFFF for
// a point outside the picture.
uint32_t colourAt(const PixelView& picture, int x, int y);

// One motion step on the session's MotionPhase / grids (honours
// MotionTrigger). Returns true when motion is reported.
bool motionStep(CameraSession& session, const PixelView& picture, uint8_t sensitivity);

}  // namespace ipcam

#pragma once
// The text of the status line under the preview: the frame rate of the
// running recording, or of the preview.

#include <optional>
#include <string>

#include "camera/camera_session.h"

namespace ipcam {

// "0.0" format: one digit after the point, rounded to nearest (halves up).
std::string formatRate(uint32_t frames, uint32_t seconds);

// The text after a picture; nullopt when the line keeps its text.
std::optional<std::string> pictureStatusText(const CameraSession& s);

// The text after a Timer1 tick (the counters already advanced); nullopt when
// the line keeps its text.
std::optional<std::string> tickStatusText(const CameraSession& s);

}  // namespace ipcam

#pragma once
// The text of the status line under the preview: the frame rate of the
// running recording, or of the preview.

#include <optional>
#include <string>

#include <cstdint>

#include "base/recording_kind.h"

namespace ipcam {

// What the line is made from: the recording's kind and counters and the
// preview's counters.
struct StatusCounters {
    uint8_t RecordKind = kNotRecording;
    uint32_t RecordFrames = 0;
    uint32_t RecordSeconds = 0;
    uint32_t PreviewFrames = 0;
    uint32_t PreviewSeconds = 0;
};

// "0.0" format: one digit after the point, rounded to nearest (halves up).
std::string formatRate(uint32_t frames, uint32_t seconds);

// The counters the line shows after a picture, or after a Timer1 tick (the
// counters already advanced); nullopt when the line keeps what it says.
std::optional<StatusCounters> pictureStatus(const StatusCounters& s);
std::optional<StatusCounters> tickStatus(const StatusCounters& s);
// The line for counters so chosen.
std::string statusText(const StatusCounters& shown);

// The text after a picture; nullopt when the line keeps its text.
std::optional<std::string> pictureStatusText(const StatusCounters& s);

// The text after a Timer1 tick (the counters already advanced); nullopt when
// the line keeps its text.
std::optional<std::string> tickStatusText(const StatusCounters& s);

}  // namespace ipcam

#pragma once
// The kind of a recording, kept as bits: always tested in the order 1, 2, 4.

#include <cstdint>

namespace ipcam {

enum RecordingKind : uint8_t {
    kNotRecording = 0,
    kManual = 1,
    kDaily = 2,
    kMotion = 4,
};

}  // namespace ipcam

#pragma once
// Run-time state of the camera link and of recording. Owned by the main
// window's controller; lives on the user-interface thread only. Every item
// starts at zero. (Only one camera slot is ever used, so the per-slot tables
// are reduced to that one slot.)

#include <array>
#include <cstdint>
#include <vector>

#include "base/clock.h"

namespace ipcam {

// Bits of RecordKind, always tested in the order 1, 2, 4.
enum RecordingKind : uint8_t {
    kNotRecording = 0,
    kManual = 1,
    kDaily = 2,
    kMotion = 4,
};

using MotionGrid = std::array<std::array<int32_t, 8>, 8>;  // [i][j], column i, row j

struct CameraSession {
    // Link and preview.
    bool LinkUp = false;
    bool HeaderAccepted = false;
    int PasswordFailures = 0;
    int ConnectAttempts = 0;
    int LinkWatchdog = 0;
    std::vector<uint8_t> ReceiveBuffer;
    std::vector<uint8_t> FrameBuffer;
    uint32_t PreviewFrames = 0;
    uint32_t PreviewSeconds = 0;

    // Recording.
    uint8_t RecordKind = kNotRecording;
    uint32_t RecordFrames = 0;
    uint32_t RecordSeconds = 0;
    TimeOfDay RecordStartTime;
    bool ManualRequest = false;
    bool StopRequest = false;
    bool MotionTrigger = false;
    bool AlarmMark = false;
    bool SpaceConfirmed = false;

    // Motion detector.
    int MotionPhase = 0;
    MotionGrid ReferenceGrid{};
    MotionGrid CurrentGrid{};

    // Schedule latch.
    TimeOfDay BlockEnd;
    bool BlockHandled = false;
    TimeOfDay BlockHandledTime;
};

}  // namespace ipcam

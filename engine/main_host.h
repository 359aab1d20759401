#pragma once
// What the controller needs from the engine that owns it: its timers, a way
// to run work from the event loop, and where its state changes and events
// go. The engine implements it; tests fake it.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/engine_state.h"

namespace ipcam {

// OfflineRetryTimer runs only while the camera is reported off-line: each
// tick retries the connection quietly, as the Reload button would.
// DirectoryCheckTimer runs only while the recording folder is missing.
enum class TimerId {
    Timer1,
    LinkTimeOut1,
    CreateConnectTimer,
    ReconnectTimer,
    SeetingTimer,
    OfflineRetryTimer,
    DirectoryCheckTimer
};

class MainHost {
public:
    virtual ~MainHost() = default;

    virtual void startTimer(TimerId id, int intervalMs) = 0;
    virtual void stopTimer(TimerId id) = 0;
    // Sets the interval without changing whether the timer runs.
    virtual void setTimerInterval(TimerId id, int intervalMs) = 0;

    // Runs `task` from the event loop after the current handler has returned.
    virtual void post(std::function<void()> task) = 0;

    // The controller's EngineState changed.
    virtual void publishState() = 0;
    // Something happened (see EngineCode).
    virtual void publishEvent(const EngineEvent& e) = 0;
    // A new picture is in the preview.
    virtual void previewChanged() = 0;
    // A whole picture came from the camera, as it sent it.
    virtual void publishPicture(const std::vector<uint8_t>& /*jpeg*/) {}
    // A recording file was finished.
    virtual void publishFile(const FinishedFile& /*file*/) {}
};

}  // namespace ipcam

#pragma once
// What the controller needs from the engine that owns it: its timers and
// the link's time, a way to run work from the event loop, and where its
// state changes and events go. The engine implements it; tests fake it.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/engine_state.h"
#include "engine/link_machine.h"

namespace ipcam {

// StatusTick: the status line's second (Timer1 is its old name). FolderCheck
// runs only while the recording folder is missing. The link has its own
// time (LinkTiming).
enum class TimerId {
    StatusTick,
    FolderCheck,
    Timer1 = StatusTick,
};

class MainHost : public LinkTiming {
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
    // A video packet of the stream the preview shows (state's liveVideo).
    virtual void publishVideo(const MediaPacket& /*packet*/) {}
    // A recording file was finished.
    virtual void publishFile(const FinishedFile& /*file*/) {}
};

}  // namespace ipcam

#include "engine/engine_texts.h"

#include "recording/disk_guard.h"

namespace ipcam {

std::string linkLineText(const EngineState& s) {
    switch (s.link) {
        case LinkState::Stopped:
            return {};
        case LinkState::Connecting:
            return "Connecting to IP CAM (" + s.cameraHost + ") ......";
        case LinkState::Offline:
            if (s.problem == EngineCode::AddressUnusable) return "Camera address: " + s.problemDetail;
            return "IP CAM(" + s.cameraHost + ") is off-line.";
        case LinkState::Opening:
        case LinkState::Up:
        case LinkState::Down:
        case LinkState::Refused:
            return s.cameraTitle;
    }
    return {};
}

std::string statusLineText(const EngineState& s) {
    using Note = EngineState::StatusNote;
    switch (s.statusNote) {
        case Note::Empty:
            return {};
        case Note::Counters:
            return statusText(s.shownCounters);
        case Note::Reconnecting:
            return "Reconnect!!";
        case Note::Problem:
            switch (s.statusProblem) {
                case EngineCode::ConnectFailed: return "Fail to connect to IP CAM!";
                case EngineCode::NoPictures: return "Fail to connect to IP CAM! Reconnect!!";
                default: return s.statusDetail;
            }
    }
    return {};
}

std::string freeSpaceLineText(const EngineState& s) {
    if (s.freeBytes < 0) return {};
    return freeSpaceText(static_cast<uint32_t>(s.freeBytes >> 20));
}

std::string waitText(LinkWait wait) {
    switch (wait) {
        case LinkWait::None: return {};
        case LinkWait::Waiting: return "Please wait a moment!";
        case LinkWait::GaveUp: return "Fail to connect to IP CAM!";
    }
    return {};
}

std::string eventText(const EngineEvent& e) {
    switch (e.code) {
        case EngineCode::SignInRefused:
            // A standard camera's refusal names the camera.
            return e.detail.empty() ? "Please enter correct password!!" : e.detail;
        case EngineCode::FolderMissing:
            return "Directory for AVI recording is not available!";
        case EngineCode::ConnectFailed:
            return "Fail to connect to IP CAM!";
        case EngineCode::NoPictures:
            return "Fail to connect to IP CAM! Reconnect!!";
        default:
            return e.detail;
    }
}

std::string linkSummary(const EngineState& s) {
    switch (s.link) {
        case LinkState::Stopped: return "stopped";
        case LinkState::Connecting: return "connecting";
        case LinkState::Opening: return "connecting";
        case LinkState::Up: return "up";
        case LinkState::Refused: return "password rejected";
        case LinkState::Offline:
            return s.problem == EngineCode::AddressUnusable ? "camera address not usable" : "camera off-line";
        case LinkState::Down:
            switch (s.problem) {
                case EngineCode::ConnectFailed: return "connection failed";
                case EngineCode::NoPictures: return "no pictures for 60 seconds";
                default: return s.problemDetail.empty() ? "connecting" : s.problemDetail;
            }
    }
    return {};
}

}  // namespace ipcam

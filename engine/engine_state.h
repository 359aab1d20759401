#pragma once
// What the recording engine tells its front ends: its state as one record,
// and what happens as events with a code. No text here is made for a
// person: front ends turn codes into words (engine_texts.h) and decide what
// to show.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/media_packet.h"
#include "base/recording_kind.h"
#include "camera/status_line.h"

namespace ipcam {

// The camera link, as one value.
enum class LinkState : uint8_t {
    Stopped,     // not started, suspended for the settings, or closed
    Connecting,  // an attempt is due: the camera is pinged, probed, then connected
    Opening,     // the camera answered; its stream is being opened
    Up,          // connected: pictures come
    Down,        // the connection ended (EngineState::problem says why); the next attempt is due
    Offline,     // the camera is not there, or its address is not usable; retried every 30 s
    Refused,     // the camera refused the sign-in; the next attempt is due
};

// Why something went wrong or what happened, the same for every front end.
enum class EngineCode : uint16_t {
    None = 0,
    // The link (EngineState::problem while it is not up).
    ConnectFailed,     // the connection could not be made or broke
    NoPictures,        // no picture for 60 seconds
    CameraOffline,     // no answer from the camera's start page
    GaveUp,            // not reachable by ping after three attempts
    AddressUnusable,   // Camera_URL cannot be used; detail: why
    NotAStream,        // the camera answered with no picture stream; detail: what it said
    SignInRefused,     // the camera refused the password; detail: a standard camera's words
    // Recording and disk (events; the text is the recorder's own sentence).
    RecordingStopped,  // no room, or a file that could not be written; detail: the sentence
    FolderBusy,        // another recorder uses the folder; detail: the sentence
    FolderMissing,     // the recording folder is not there; detail: the folder
    FolderBack,        // the recording folder is there again; detail: the folder
    // The link.
    LinkLost,          // the link was up and is not: EngineEvent::cause says why, detail what was said
    // Other.
    Alarm,             // motion was seen: EngineEvent::picture is the JPEG that showed it
    FirstRun,          // no settings file: one was written with the first-run values
    AlarmMailFailed,   // detail: the sentence; reason: the server's words
    HandlerFailed,     // an error escaped a handler; detail: what it said
    SettingsNotSaved,  // the settings file could not be written; detail: why
    SettingsApplied,   // new settings are in force (whoever applied them, or read again)
};

// What is pending on the link, for a "please wait" display.
enum class LinkWait : uint8_t {
    None,
    Waiting,  // an attempt is due within seconds
    GaveUp,   // three attempts found no camera
};

// The main command a user has at hand: Record while idle, Stop while
// recording, Reconnect while the link is down.
enum class Offer : uint8_t { Record, Stop, Reconnect };

// The camera's recording folder, and the one in use while it is missing.
struct FolderState {
    std::string inUse;    // where recordings go now
    std::string missing;  // the settings' folder while it is not there; empty otherwise
};

// The engine's state. Front ends read it whenever `stateChanged` says it
// changed; every item has one writer inside the engine.
struct EngineState {
    LinkState link = LinkState::Stopped;
    LinkWait wait = LinkWait::None;
    Offer offer = Offer::Record;
    bool settingsAllowed = false;  // the settings may be changed now (not while connecting or recording)
    bool reconnectAllowed = false; // Reload may be used now
    std::string cameraHost;        // the address connected to ("" when none)
    std::string cameraTitle;       // the camera's name, once it answered
    int connectAttempt = 0;        // of the current series (1..3; 4 gives up)
    int refusals = 0;              // sign-ins refused in a row
    EngineCode problem = EngineCode::None;  // why the link is not up (None when it is)
    std::string problemDetail;

    // Recording. Kind: 0 none, 1 Manual, 2 Daily, 4 Motion.
    uint8_t recordingKind = kNotRecording;
    std::string recordingFile;     // e.g. "20261209/221500T.AVI", as it will be named
    uint32_t recordingPictures = 0;
    uint32_t recordingSeconds = 0;
    uint32_t previewPictures = 0;  // since the link came up or the last recording
    uint32_t previewSeconds = 0;
    // The counters of the status line under the preview as it last changed
    // (see statusLineText), and what the line says instead while the link
    // is being rebuilt (Reconnecting) or after a loss (a link code).
    StatusCounters shownCounters;
    enum class StatusNote : uint8_t { Empty, Counters, Reconnecting, Problem } statusNote = StatusNote::Empty;
    EngineCode statusProblem = EngineCode::None;
    std::string statusDetail;

    int64_t freeBytes = -1;        // on the recording folder's file system; -1 not known yet
    bool motionSuspended = false;  // motion detection off for lack of space until the settings are applied again
    FolderState folder;
    uint8_t resolution = 1;        // the preview's size: 0 large, 1 middle, 2 small
    // The coded video of the stream the preview shows (an RTSP camera's, or
    // its preview stream's): its tracks, of which `videoTrack` is the one
    // whose packets RecorderEngine::videoPacket hands on. Null while that
    // stream is not up or sends JPEG pictures; a new connection is a new set.
    std::shared_ptr<const MediaTracks> liveVideo;
};

// What happened. `detail` and `reason` are for the log and for a person;
// `attempt` counts a refusal.
struct EngineEvent {
    EngineCode code = EngineCode::None;
    std::string detail;
    std::string reason;
    int attempt = 0;
    EngineCode cause = EngineCode::None;                 // LinkLost: why
    std::shared_ptr<const std::vector<uint8_t>> picture;  // Alarm: the picture
};

// A file was finished: saved under `path`, or not.
struct FinishedFile {
    std::string path;
    uint32_t pictures = 0;
    uint8_t kind = kNotRecording;
    bool saved = false;
};

}  // namespace ipcam

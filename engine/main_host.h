#pragma once
// What the main window's logic needs from the window itself: its controls,
// its timers and its modal boxes. The widget implements it; tests fake it.

#include <cstdint>
#include <functional>
#include <string>

#include "recording/recorder.h"

namespace ipcam {

// OfflineRetryTimer runs only while the camera is reported off-line: each
// tick retries the connection quietly, as the Reload button would.
// DirectoryCheckTimer runs only unattended, while the recording folder is
// missing.
enum class TimerId {
    Timer1,
    LinkTimeOut1,
    CreateConnectTimer,
    ReconnectTimer,
    SeetingTimer,
    PWTimer,
    OfflineRetryTimer,
    DirectoryCheckTimer
};
enum class Control { Record1, RecordStop1, Reload1, Settings1, PlayBack1 };

class MainHost {
public:
    virtual ~MainHost() = default;

    virtual void setControlVisible(Control c, bool visible) = 0;
    virtual void setControlEnabled(Control c, bool enabled) = 0;

    virtual void setLinkInfo(const std::string& text) = 0;
    virtual void setPreviewInfo(const std::string& text) = 0;
    virtual void setDiskSpace(const std::string& text) = 0;
    virtual void setPleaseWait(bool visible, const std::string& text) = 0;
    virtual bool pleaseWaitVisible() const = 0;

    virtual void startTimer(TimerId id, int intervalMs) = 0;
    virtual void stopTimer(TimerId id) = 0;
    // Sets the interval without changing whether the timer runs.
    virtual void setTimerInterval(TimerId id, int intervalMs) = 0;

    // A modal "Warning!" box with the error icon and an OK button. Events
    // keep being dispatched while it is open.
    virtual void showWarning(const std::string& text) = 0;
    // Runs `task` from the event loop after the current event handler has
    // returned. Boxes and dialogs reached from a socket read are opened this
    // way, so that the read handler never waits on the user and the socket
    // keeps delivering reads while they are open.
    virtual void post(std::function<void()> task) = 0;
    // The setup dialog, modal; returns when the user has closed it.
    virtual void showSetupDialog() = 0;
    // The setup dialog's caption (first run sets "IPCAM INI file Settings").
    virtual void setSetupDialogCaption(const std::string& caption) = 0;
    // Copies the in-memory record into the setup dialog's controls, as the
    // dialog's own activation would (first run).
    virtual void fillSetupDialogFromRecord() = 0;
    // The playback window, modeless.
    virtual void showPlaybackWindow() = 0;
    // Lays the main window out for a resolution (0 large, 2 small, else middle).
    virtual void applyLayout(uint8_t resolution) = 0;
    // The preview picture has changed and wants repainting.
    virtual void previewChanged() = 0;
    // Closes the main window, which ends the program.
    virtual void closeMainWindow() = 0;

    // What happened, for whoever watches: the link came up or went down, a
    // recording began (kind) or ended (0), a file was finished.
    virtual void linkStateChanged(bool /*up*/) {}
    virtual void recordingStateChanged(uint8_t /*kind*/) {}
    virtual void recordingFinished(const RecordingFileReport& /*report*/) {}
    // Recordings go into `folder`; `missing` names the settings' folder
    // while it is not there (empty otherwise).
    virtual void recordingFolderChanged(const std::string& /*folder*/, const std::string& /*missing*/) {}
};

}  // namespace ipcam

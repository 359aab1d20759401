#pragma once
// The recorder: turns pictures into Motion-JPEG AVI files in the dated
// folder tree, cut every 600 seconds, with the disk space guard.
// Runs on the user-interface thread; reaches the window only through
// RecorderHost.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "camera/camera_session.h"
#include "detect/pixel_view.h"
#include "base/camera_settings.h"

namespace ipcam {

class RecorderHost {
public:
    virtual ~RecorderHost() = default;
    virtual void refreshButtons(int mode) = 0;
    virtual void setDiskSpace(const std::string& text) = 0;
    // Modal "Warning!" box; every state change is made before it is called.
    virtual void showWarning(const std::string& text) = 0;
    // Starts the one-second status timer (Timer1).
    virtual void startStatusTimer() = 0;
    // Motion was found in `picture`: write the snapshot and wake the mailer
    // when alarm e-mails are enabled and armed.
    virtual void raiseAlarm(const std::vector<uint8_t>& picture) = 0;
};

// Free megabytes (2^20 bytes) on the file system holding `directory`,
// clamped to 32 bits; 0 when the query fails.
class FreeSpaceQuery {
public:
    virtual ~FreeSpaceQuery() = default;
    virtual uint32_t freeSpaceMB(const std::string& directory) = 0;
};

class Recorder {
public:
    Recorder(CameraSession& session, CameraSettings& settings, const Clock& clock, RecorderHost& host,
             FreeSpaceQuery& freeSpace);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Everything one complete picture means for recording (run after the
    // picture has been decoded into the preview; `decoded` is that bitmap).
    void step(const std::vector<uint8_t>& picture, const PixelView& decoded);

    // Writes the running recording to its file (or gives it up for lack of
    // space) and zeroes the recording counters. Does not change RecordKind.
    void finishRecordingFile();

    // Link error, watchdog, setup dialog, exit: if RecordKind is not 0,
    // finishRecordingFile() and RecordKind := 0.
    void endFromOutside();

    uint32_t freeSpaceMB();
    std::string freeSpaceText();  // "Free Space :" N "M Bytes."
    void showFreeSpace();         // DiskSpace := freeSpaceText()
    void checkDiskAtStart();      // the start-up disk check

    // Completes recordings left unfinished by a crash into valid files under
    // their final names. Returns how many were completed.
    int recoverPartialFiles();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ipcam

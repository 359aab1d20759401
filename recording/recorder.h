#pragma once
// The recorder: turns pictures into Motion-JPEG AVI files in the dated
// folder tree, cut every 600 seconds, with the disk space guard.
// Its rules run on the user-interface thread and reach the window only
// through RecorderHost; everything that waits for the disk (writes, syncs,
// the finish's rename, the guard's deletions) runs on the recording's own
// thread (DiskWriter), whose outcomes are handled at the next picture, at
// pollDiskEvents() or at settle().

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "camera/camera_session.h"
#include "detect/pixel_view.h"
#include "base/camera_settings.h"

namespace ipcam {

struct DiskHooks;

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

    // Takes the recording folder for this program and queues the completion
    // of recordings left unfinished by a crash into valid files under their
    // final names; the recording's thread does it before any new file. When
    // another copy of the program holds the folder, touches nothing there
    // and warns.
    void recoverPartialFiles();
    // How many such files were completed, as their reports have come in.
    int recoveredFiles() const;

    // Handles what the recording's thread has reported (warnings, free-space
    // texts, a new file after a full disk).
    void pollDiskEvents();
    // Waits until everything queued is on disk, then pollDiskEvents()
    // (program exit and tests).
    void settle();

    // A slow or failing disk for tests and benchmarks; set before recording.
    void setDiskHooks(const DiskHooks& hooks);
    // Bytes of pictures that may wait for the disk before pictures are dropped.
    void setDiskQueueCap(size_t bytes);
    uint64_t droppedPictures() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ipcam

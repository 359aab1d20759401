#pragma once
// The recorder: turns pictures into Motion-JPEG AVI files in the dated
// folder tree, cut every 600 seconds, with the disk space guard.
// Its rules run on the user-interface thread and reach the outside only
// through RecorderHost; everything that waits for the disk (writes, syncs,
// the finish's rename, the guard's deletions) runs on the recording's own
// thread (DiskWriter). What that thread reports is handled as soon as the
// owner runs pollDiskEvents() for the event notifier's call, so an outcome
// never waits for the next picture or tick.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/camera_settings.h"
#include "base/media_packet.h"
#include "base/recording_kind.h"
#include "detect/motion_detector.h"
#include "detect/pixel_view.h"
#include "detect/week_schedule.h"

namespace ipcam {

struct DiskHooks;

// The recorder's own state: what records, its counters and requests, and
// the motion detector's and the schedule's state, which only the recorder
// runs. Every item starts at zero.
struct RecordingSession : MotionState, BlockLatch {
    uint8_t RecordKind = kNotRecording;
    uint32_t RecordFrames = 0;
    uint32_t RecordSeconds = 0;
    TimeOfDay RecordStartTime;
    bool ManualRequest = false;
    bool StopRequest = false;
    bool MotionTrigger = false;
    bool AlarmMark = false;
    bool SpaceConfirmed = false;
};

// A recording file reached its end (or could not be completed).
struct RecordingFileReport {
    std::string path;
    uint32_t frames = 0;
    uint8_t recordKind = 0;
    bool saved = false;
};

// What a warning of the recorder is about.
enum class RecorderWarning {
    Stopped,     // a recording stopped: no room, or a file could not be written
    FolderBusy,  // another recorder uses the folder
    NoSpace,     // too little room at the start: what would record is off
};

class RecorderHost {
public:
    virtual ~RecorderHost() = default;
    // A recording began (`kind`) or the recorder went idle (0).
    virtual void recordingStateChanged(uint8_t kind) = 0;
    // The frame and second counters of the preview start again with the
    // recording's.
    virtual void resetPreviewCounters() = 0;
    // A file was finished on the recording's thread.
    virtual void recordingFinished(const RecordingFileReport&) {}
    // Free megabytes on the recording folder's drive, as last measured.
    virtual void setFreeSpace(uint32_t mb) = 0;
    // Something the user must be told (`text`, the sentence to show); every
    // state change is made before it is called.
    virtual void showWarning(RecorderWarning kind, const std::string& text) = 0;
    // Motion detection is off for lack of space (true), or may run again.
    virtual void motionSuspended(bool /*suspended*/) {}
    // Starts the one-second status timer (Timer1).
    virtual void startStatusTimer() = 0;
    // Motion was found in `picture`: write the snapshot and wake the mailer
    // when alarm e-mails are enabled and armed. Empty for a camera that
    // sends coded video: the snapshot is then made from the preview.
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
    Recorder(CameraSettings& settings, const Clock& clock, RecorderHost& host, FreeSpaceQuery& freeSpace);
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Everything one complete picture means for recording (run after the
    // picture has been decoded into the preview; `decoded` is that bitmap,
    // without pixels for a picture that did not decode: motion detection
    // then keeps its state).
    void step(const std::vector<uint8_t>& picture, const PixelView& decoded);

    // The same for a camera that sends coded video (Matroska files): every
    // packet in arrival order, video and audio; `decoded` is the preview of
    // a picture decoded since the last video packet (null when none). A file
    // begins with a key frame, so what cuts a file (Stop, the switch to
    // Motion, the end of a Daily block, the 600-second cut, a new set of
    // tracks) takes effect at the next key frame, which begins the next
    // file; a recording starts at once, with the key frame before.
    void stepPacket(const MediaPacket& packet, const PixelView* decoded);

    // Whether motion detection may read the next picture's pixels (nothing
    // else in the recorder reads them): watching while idle, or during a
    // Manual or Daily recording. A picture nobody shows need not be decoded
    // otherwise.
    bool motionReadsPictures() const;

    // Writes the running recording to its file (or gives it up for lack of
    // space) and zeroes the recording counters. Does not change RecordKind.
    void finishRecordingFile();

    // Link error, watchdog, setup dialog, exit: if RecordKind is not 0,
    // finishRecordingFile() and RecordKind := 0.
    void endFromOutside();

    // Commands of the buttons, the connection and the start sequence.
    void requestManual();                  // ManualRequest := 1
    void requestStop(const TimeOfDay& now);  // StopRequest := 1; a Daily recording latches its block
    void clearRequests();                  // ManualRequest, StopRequest := 0
    void forgetSpaceConfirmation();        // the next start tests the free space again
    void resetMotion();                    // MotionPhase := 0
    void clearBlockLatch();                // BlockHandled := 0
    // The start sequence's reset (after endFromOutside()).
    void resetForStart();
    // One second of the status timer.
    void countSecond();

    // What records; the status line and tests read it. Tests also set up
    // situations through the mutable one.
    const RecordingSession& session() const;
    RecordingSession& session();

    uint32_t freeSpaceMB();
    void showFreeSpace();         // tells the host the free space
    // "YYYYMMDD/HHMMSS{A,T}.{AVI,MKV}": the file being recorded, as it will be
    // named (a same-second "-N" is the writer's to add).
    std::string currentFileName() const;
    // Motion detection may run again (the settings were applied anew).
    void resumeMotion();
    void checkDiskAtStart();      // the start-up disk check

    // Takes the recording folder for this program and queues the completion
    // of recordings left unfinished by a crash into valid files under their
    // final names; the recording's thread does it before any new file. When
    // another copy of the program holds the folder, touches nothing there
    // and warns.
    void recoverPartialFiles();
    // How many such files were completed, as their reports have come in.
    int recoveredFiles() const;
    // With Keep_Days set, queues the deletion of our recordings older than
    // that for the recording's thread (today from the clock; see
    // deleteExpiredRecordings). Also queued right after the recovery.
    void applyRetention();

    // Handles what the recording's thread has reported (warnings, free-space
    // texts, a new file after a full disk).
    void pollDiskEvents();
    // Called on the recording's thread when a report waits: the owner then
    // runs pollDiskEvents() on its own thread. Cleared before the recorder
    // goes away.
    void setEventNotifier(std::function<void()> notify);
    // Waits until everything queued is on disk, then pollDiskEvents()
    // (program exit and tests).
    void settle();

    // With Motion_Preroll_Seconds set and motion detection on, the idle
    // recorder keeps the pictures of that many seconds (PrerollRing): a
    // Motion recording's file begins with them, the picture that showed the
    // motion their last, and their span of time is added to its seconds.
    // Arrival times come from this clock (the steady clock unless a test or
    // benchmark sets one), asked once for each picture step() gets: they
    // also give a file its length and rate (the span of its pictures, not
    // the seconds counted while none came).
    using ArrivalClock = std::function<std::chrono::steady_clock::time_point()>;
    void setArrivalClock(ArrivalClock clock);
    size_t prerollPictures() const;
    size_t prerollBytes() const;
    // The seconds the pre-roll held when its bound in bytes last cut it
    // short of the seconds asked (logged when that changes), 0 when it
    // never did; the setup dialog shows it beside the pre-roll field.
    int prerollKeptSeconds() const;

    // A slow or failing disk for tests and benchmarks; set before recording.
    void setDiskHooks(const DiskHooks& hooks);
    // A file is finished and the recording goes on in a new one once it
    // holds this many bytes (just under 1 GiB; tests make it small).
    void setFileCutBytes(uint64_t bytes);
    // Bytes of pictures that may wait for the disk before pictures are dropped.
    void setDiskQueueCap(size_t bytes);
    uint64_t droppedPictures() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ipcam

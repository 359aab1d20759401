#pragma once
// The recording's own thread: everything that waits for the disk. The
// user-interface thread only queues work (open a file, append a picture,
// finish a file) and later collects what came of it as events; it never
// waits for a write, a sync, a rename or a deletion. The thread owns the
// file being written.
//
// Memory stays bounded: pictures queued but not yet written are held up to
// a cap in bytes (32 MiB by default: about 27 s of 640x480 at 30 pictures a
// second, 4 minutes of 320x240 at 10, so the program stays within its
// memory goal even on a disk that stalls). Past it a picture is dropped and
// counted; the file goes on with the next one that fits.
//
// A full disk in the middle of a file (ENOSPC, EDQUOT on a write or a sync)
// makes room as a finish does, keeps the pictures written so far as a
// complete file under its final name and reports it, so that the recorder
// goes on in a new file; with nothing of ours left to delete it reports the
// give-up instead. Any other write failure also keeps what was written.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/media_packet.h"
#include "recording/avi_writer.h"

namespace ipcam {

class FreeSpaceQuery;

// A free-space query shared by the two threads.
class SharedFreeSpace {
public:
    explicit SharedFreeSpace(FreeSpaceQuery& query) : query_(query) {}
    uint32_t freeSpaceMB(const std::string& directory);

private:
    FreeSpaceQuery& query_;
    std::mutex mutex_;
};

struct DiskEvent {
    enum class Type {
        FreeSpace,       // freeMB measured after a deletion or a finish
        OpenFailed,      // the file could not be created (path, error)
        Finished,        // a finish ran: saved (path) or not (error); room tells whether the guard made room
        WriteFailed,     // a write or sync failed; what was written is kept (saved, path)
        DiskFullRolled,  // the disk filled up, room was made, the file is saved (path): go on in a new one
        DiskFullGaveUp,  // the disk filled up and nothing of ours is left to delete
        Recovered,       // the start-up recovery ran: `recovered` files a crash left unfinished were completed
    };
    Type type = Type::FreeSpace;
    uint64_t file = 0;        // which file (as open() numbered it)
    uint8_t recordKind = 0;   // the recording kind the file was opened for
    std::string path;         // the final file, or the partial one when it could not be completed
    std::string error;
    uint32_t frames = 0;      // pictures the file holds
    uint32_t freeMB = 0;
    bool saved = false;       // the file is complete under its final name
    bool room = true;         // the guard found room
    uint32_t recovered = 0;   // partial files completed
};

class DiskWriter {
public:
    static constexpr size_t kDefaultQueueCap = size_t{32} << 20;
    // Pictures wait at most this long before the thread takes them (a few
    // wake-ups a second instead of one a picture), or until this many bytes
    // are queued.
    static constexpr std::chrono::milliseconds kGatherWait{250};
    static constexpr size_t kPromptBytes = size_t{1} << 20;

    explicit DiskWriter(SharedFreeSpace& freeSpace);
    // Writes everything queued, leaves an unfinished file as a partial file
    // (completed at the next start) and ends the thread.
    ~DiskWriter();
    DiskWriter(const DiskWriter&) = delete;
    DiskWriter& operator=(const DiskWriter&) = delete;

    struct OpenRequest {
        std::string aviDirectory;
        LocalDateTime start;
        std::string dateFolder;  // created when missing
        std::string timeText;
        uint8_t resolution = 1;
        bool alarm = false;
        uint8_t recordKind = 0;
        // The header names the size of the file's first picture instead of
        // the resolution setting's (a camera that sends its own size).
        bool sizeFromPictures = false;
        // A camera that sends coded video: its tracks, copied into a
        // Matroska file (HHMMSS[-N]A.MKV / T.MKV) instead of an AVI.
        std::shared_ptr<const MediaTracks> tracks;
    };
    // Queues the opening of a new file; returns its number (never 0).
    uint64_t open(const OpenRequest& request);
    // Queues a picture, arrived at `at` on the steady clock, for the open
    // file. False when it was dropped because the queue is at its cap. The
    // arrival times give the file its length and rate: from its first
    // picture to its last, and the mean spacing for the last.
    bool append(const std::vector<uint8_t>& picture, std::chrono::steady_clock::time_point at);
    // The same for a picture the recorder held already (the pre-roll's, at
    // the start of a Motion file): its buffer is moved in, and it is never
    // dropped. Such pictures do not count against the cap, which bounds what
    // a slow disk lets pile up of the camera's live pictures; the memory
    // they take was the ring's a moment ago.
    void appendHeld(std::vector<uint8_t>&& picture, std::chrono::steady_clock::time_point at);
    // The same for a packet of a Matroska file's tracks.
    bool append(const MediaPacket& packet);
    void setAlarm(bool alarm);
    // Queues the finish: with `guard`, room is made first (oldest of our own
    // recordings), then idx1, header, sync and the rename.
    void finish(uint32_t recordSeconds, bool alarm, bool guard);
    // Queues the completion of the recordings a crash left unfinished in
    // `aviDirectory` (reading a whole file's chunks can take seconds on a
    // slow disk); a file opened after it starts once it is done.
    void recover(const std::string& aviDirectory);
    // Queues the deletion of our recordings in `aviDirectory` older than
    // `keepDays` days before `today` (deleteExpiredRecordings). It runs
    // between the other jobs, never inside one, so it cannot meet a file
    // half finished: see execute().
    void expire(const std::string& aviDirectory, int keepDays, const LocalDateTime& today);

    // The next event, if any (the user-interface thread takes them).
    bool takeEvent(DiskEvent* event);
    // Called on the recording's thread, under the queue's lock, whenever an
    // event is posted to an empty event queue: the owner then takes every
    // event waiting. It must only hand the work over (post it), never wait.
    void setEventNotifier(std::function<void()> notify);
    // Waits until everything queued has been done (tests, exit).
    void waitIdle();

    // Must be set before the first file is opened.
    void setHooks(const DiskHooks& hooks);
    void setQueueCap(size_t bytes);
    uint64_t droppedPictures() const;
    size_t queuedBytes() const;

private:
    struct Job;
    struct Current;
    bool queue(Job&& job);
    void run();
    void execute(Job& job);
    void post(DiskEvent e);
    bool ensureFreeSpace(const std::string& aviDirectory);
    void afterFailure(const std::string& error);

    SharedFreeSpace& freeSpace_;
    DiskHooks hooks_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Job> jobs_;
    std::deque<DiskEvent> events_;
    std::function<void()> notify_;
    size_t queuedBytes_ = 0;
    size_t heldBytes_ = 0;  // of queuedBytes_, those of pictures handed over by appendHeld
    size_t queueCap_ = kDefaultQueueCap;
    uint64_t dropped_ = 0;
    uint64_t nextFile_ = 0;
    bool busy_ = false;
    bool stop_ = false;
    bool asleep_ = false;  // the thread waits with nothing queued: the next job wakes it
    bool prompt_ = false;  // a job that is not a picture, or a wait for idle: no gathering

    // Owned by the thread.
    std::unique_ptr<Current> cur_;
    std::string clockNote_;  // retention's last note on the clock
    std::thread thread_;
};

}  // namespace ipcam

#pragma once
// Writes one recording straight to disk as it arrives, so a crash loses at
// most the last moment. The pictures go into a partial file in the recording
// directory itself (never in a date folder, so the disk space guard does not
// see it) holding exactly the bytes of the finished file up to the index.
// The finish appends idx1, patches the header, makes the file durable and
// renames it to its final name in one step, never over an existing file.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "recording/avi_format.h"
#include "recording/recording_catalog.h"

namespace ipcam {

// Ways into the writer's system calls for tests and benchmarks: a slow or
// failing disk. Empty members mean the real calls.
struct DiskHooks {
    // Instead of fdatasync() (dataOnly) or fsync(): 0 or an errno value.
    std::function<int(int fd, bool dataOnly)> sync;
    // Before each write of `bytes` bytes: 0, or an errno value that fails it.
    std::function<int(size_t bytes)> beforeWrite;
};

// While a recording is written, the partial file carries in the header's
// filler (offset 400) the pictures made durable so far and their length in
// milliseconds by their arrival times (as a finish counts it), so that a
// recovery gives the file its real rate whatever the wall clock did.
struct RunningTotals {
    uint32_t frames = 0;
    uint32_t elapsedMs = 0;
};
std::optional<RunningTotals> readRunningTotals(const uint8_t* header);

// "20061012" and "153012" for a start moment.
std::string recordingDateText(const LocalDateTime& t);
std::string recordingTimeText(const LocalDateTime& t);

// What a partial file's name says: when its recording started, which
// suffix letter ('A' motion, 'T' manual/daily) it carries and its format.
struct PartialName {
    LocalDateTime start;
    char letter = 'T';
    RecordingFormat format = RecordingFormat::Avi;
};

// ".recording-YYYYMMDD-HHMMSS-T.partial", with "-k" before ".partial" when
// `unique` is non-zero; a Matroska file's ends ".mkv.partial".
std::string partialFileName(const LocalDateTime& start, char letter, int unique = 0,
                            RecordingFormat format = RecordingFormat::Avi);
std::optional<PartialName> parsePartialFileName(const std::string& name);

class PartialAviWriter {
public:
    PartialAviWriter() = default;
    ~PartialAviWriter();
    PartialAviWriter(const PartialAviWriter&) = delete;
    PartialAviWriter& operator=(const PartialAviWriter&) = delete;

    // Creates the partial file in `directory` and writes the header for
    // `resolution`. False with `error` set when the file cannot be created.
    bool open(const std::string& directory, const LocalDateTime& start, uint8_t resolution, bool alarm,
              std::string* error);
    bool isOpen() const { return fd_ >= 0; }
    void setHooks(const DiskHooks* hooks) { hooks_ = hooks; }

    // Renames the partial file when the suffix letter changes.
    // Names the pictures' real size in the file's header (a camera whose
    // size the settings do not give).
    bool setPictureSize(uint32_t width, uint32_t height, std::string* error);
    bool setAlarm(bool alarm, std::string* error);

    // Adds one picture chunk. Small pictures are gathered and written
    // together (at 64 KiB, or once a second at the latest), so a crash loses
    // at most about the last second. On failure the file is cut back to the
    // last whole chunk on disk, the chunks not written are dropped, and false
    // is returned with `error` set (lastErrno() tells why). A failed sync is
    // a failed write. `elapsedMs` is the picture's arrival, in milliseconds
    // after the file's first picture by a monotonic clock.
    bool append(const uint8_t* data, size_t n, std::string* error, uint32_t elapsedMs = 0);
    // Writes what has been gathered. False with `error` set as for append.
    bool flush(std::string* error);

    uint32_t frames() const { return static_cast<uint32_t>(index_.size()); }
    bool alarm() const { return letter_ == 'A'; }
    bool full() const { return index_.size() >= avi::kMaxFrames; }
    uint64_t length() const { return position_; }
    int lastErrno() const { return lastErrno_; }
    uint32_t elapsedMs() const { return elapsedMs_; }
    // The file's length and rate by its pictures' arrival times: from the
    // first to the last, and the mean spacing for the last. 0 when they do
    // not tell (fewer than two pictures, or all at one moment).
    uint32_t lengthMs() const;
    uint32_t microSecPerFrame() const;
    const std::string& partialPath() const { return path_; }

    // Completes the file at the rate of its pictures' arrival times (the
    // recording's counters when they do not tell) and renames it into
    // `dateFolder` as `timeText` [+ "-k"] + "A.AVI" (alarm) or "T.AVI". The writer is
    // closed afterwards whatever the outcome; on failure the partial file
    // stays where it is, to be completed at the next start.
    bool finish(const std::string& dateFolder, const std::string& timeText, bool alarm, uint32_t recordSeconds,
                uint32_t recordFrames, std::string* finalPath, std::string* error);

    // Closes the file without finishing it, as a crash would.
    void abandon();

private:
    int fd_ = -1;
    std::string directory_;
    std::string path_;
    LocalDateTime start_;
    char letter_ = 'T';
    int unique_ = 0;
    uint64_t position_ = 0;
    std::vector<avi::IndexEntry> index_;
    std::chrono::steady_clock::time_point lastSync_{};
    std::vector<uint8_t> pending_;  // whole chunks not yet written, from pendingStart_
    uint64_t pendingStart_ = 0;
    const DiskHooks* hooks_ = nullptr;
    int lastErrno_ = 0;
    uint32_t elapsedMs_ = 0;  // arrival of the last picture appended
};

// Appends idx1 at `indexOffset` (cutting off anything after it), patches the
// header (clearing the running totals) and flushes the file to disk. A
// non-zero `microSecPerFrame` replaces the rate the counters give.
bool completeAviFile(int fd, uint64_t indexOffset, const std::vector<avi::IndexEntry>& index,
                     uint32_t recordSeconds, uint32_t recordFrames, std::string* error,
                     const DiskHooks* hooks = nullptr, uint32_t microSecPerFrame = 0);

// Moves `from` to folder/timeText[-k]<letter><extension> (the recording
// name of that format, recording_catalog.h) without replacing any existing
// file; `finalPath` receives the name used.
bool moveToFinalName(const std::string& from, const std::string& folder, const std::string& timeText, char letter,
                     std::string* finalPath, std::string* error, RecordingFormat format = RecordingFormat::Avi);

// Completes every partial file in `directory` into a valid recording under
// its final name, at the rate its running totals give (a file that never
// reached its first sync gets its age, bounded to one file's length). A
// Matroska partial file (".mkv.partial") is remuxed by recoverPartialMkv.
// Returns the number of recordings completed.
int recoverPartialRecordings(const std::string& directory);

}  // namespace ipcam

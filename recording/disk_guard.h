#pragma once
// The disk space guard's file-system side: the free-space query and the
// walk over the recording directory that finds and deletes the oldest of
// our own recordings, and the deletion of our recordings older than the
// days to keep. Only date folders and, in them, files named by the
// recordings' rule (recording/recording_catalog.h) are ever touched. Listing folders
// never changes the process's working directory.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "recording/recorder.h"

namespace ipcam {

// Free space below or at this many MB refuses a start; finishing makes at
// least this much room.
constexpr uint32_t kMinFreeMB = 512;

// statvfs: space available to the user, in MB of 2^20 bytes, clamped to
// 32 bits; 0 when the query fails.
class PosixFreeSpaceQuery final : public FreeSpaceQuery {
public:
    uint32_t freeSpaceMB(const std::string& directory) override;
};

// "Free Space :" N "M Bytes."
std::string freeSpaceText(uint32_t mb);

// The oldest date folder in `aviDirectory` that holds at least one of our
// recordings or is entirely empty; nullopt when there is none.
std::optional<std::string> findOldestDateFolder(const std::string& aviDirectory);

// What one pass of deletions did, for the single line it writes to the
// activity log; the name of each file deleted goes to the debug level only,
// so that a pass deleting thousands of recordings cannot push the earlier
// lines out of the rotated log.
struct DeletionSummary {
    int files = 0;       // recordings deleted
    int folders = 0;     // empty date folders removed
    int failed = 0;      // deletions refused
    uint64_t bytes = 0;  // the size of the recordings deleted
    std::string oldestDay, newestDay;  // the date folders they lay in ("YYYYMMDD")
    std::string firstError;            // the first refusal: path and reason

    void addFile(const std::string& day, uint64_t size);
    void addFailure(const std::string& path, int error);
    bool empty() const { return files == 0 && folders == 0 && failed == 0; }
    // "3 recordings (30.0 MB) dated 20061010 to 20061011, 1 empty date
    // folder removed", then the refusals when there were any.
    std::string text() const;
};

enum class DeleteOutcome {
    DeletedFile,    // one recording deleted
    RemovedFolder,  // an empty date folder removed
    NothingLeft,    // nothing of ours left to delete
    Failed,         // a deletion was refused
};

// One pass of space-making: deletes the oldest recording of the oldest date
// folder (smallest start time, then name order), or removes that folder when
// it is empty. What it did is added to `summary` when given.
DeleteOutcome deleteOldestRecording(const std::string& aviDirectory, DeletionSummary* summary = nullptr);

// A stretch of more than this many days in which none of our recordings was
// made counts as no time at all when retention ages a recording.
constexpr int kLongestQuietDays = 3;

struct RetentionOutcome {
    DeletionSummary deleted;
    // Set when the clock alone would have deleted recordings that retention
    // kept because of a stretch without recordings: what the stretch is,
    // that the clock looks wrong. Empty otherwise.
    std::string clockNote;
};

// Keep_Days = N keeps the recordings of the last N days before today and of
// today: those of date folder D go once their age is more than N days.
// The age is counted along our own recordings, never by the clock alone,
// so that a clock that jumps ahead (a dead clock battery, a bad time
// server, a date set by hand) cannot delete recordings younger than N days:
// from today back to a date folder, the days count as on the calendar,
// except that a stretch of more than kLongestQuietDays days without any
// recording of ours -- from the newest recording to today, or between two
// date folders -- counts as no days. Started with the clock 400 days ahead,
// the recordings are thus aged from the newest one; after recording on at
// that date, the folders before the jump age only as the new ones do.
// Folders dated after today (the clock went back) are never deleted for
// that. A camera with a right clock that recorded nothing for weeks keeps
// the recordings from before its silence that much longer; the free-space
// guard still deletes the oldest of them when the disk gets short.
//
// Deletes our recordings in the date folders whose age is past keepDays,
// oldest first, then removes each of those date folders that is left
// empty, and writes one summary line. Nothing else is touched: not a
// foreign file or folder, not a date folder holding anything else, not a
// folder whose 8 digits are no calendar date, not a partial file (those lie
// in `aviDirectory` itself under a hidden name). keepDays 0 deletes nothing.
RetentionOutcome deleteExpiredRecordings(const std::string& aviDirectory, const LocalDateTime& today, int keepDays);

}  // namespace ipcam

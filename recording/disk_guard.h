#pragma once
// The disk space guard's file-system side: the free-space query and the
// walk over the recording directory that finds and deletes the oldest of
// our own recordings, and the deletion of our recordings older than the
// days to keep. Only folders named with 8 digits and, in them, files
// named the way the recorder names them are ever touched. Listing folders
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

// Exactly 8 digits: a date folder.
bool isDateFolderName(std::string_view name);
// 6 digits, an optional "-" + digits, then "A.AVI", "T.AVI", "A.MKV" or "T.MKV".
bool isRecordingFileName(std::string_view name);

// The oldest date folder in `aviDirectory` that holds at least one of our
// recordings or is entirely empty; nullopt when there is none.
std::optional<std::string> findOldestDateFolder(const std::string& aviDirectory);

enum class DeleteOutcome {
    DeletedFile,    // one recording deleted
    RemovedFolder,  // an empty date folder removed
    NothingLeft,    // nothing of ours left to delete
    Failed,         // a deletion was refused
};

// One pass of space-making: deletes the oldest recording of the oldest date
// folder (smallest start time, then name order), or removes that folder when
// it is empty.
DeleteOutcome deleteOldestRecording(const std::string& aviDirectory);

// Keep_Days = N keeps the recordings of today and of the N days before it:
// the recordings in the date folder of day D go once today is D + N + 1 or
// later. This is the oldest date folder kept ("YYYYMMDD", today - N days).
std::string oldestKeptDateFolder(const LocalDateTime& today, int keepDays);

struct RetentionOutcome {
    int deletedFiles = 0;
    int removedFolders = 0;
    int failed = 0;
};

// Deletes our recordings in the date folders older than
// oldestKeptDateFolder(today, keepDays), oldest first, then removes each of
// those date folders that is left empty. Nothing else is touched: not a
// foreign file or folder, not a date folder holding anything else, not a
// partial file (those lie in `aviDirectory` itself under a hidden name).
// keepDays 0 deletes nothing.
RetentionOutcome deleteExpiredRecordings(const std::string& aviDirectory, const LocalDateTime& today, int keepDays);

}  // namespace ipcam

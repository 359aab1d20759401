#pragma once
// The disk space guard's file-system side: the free-space query and the
// walk over the recording directory that finds and deletes the oldest of
// our own recordings. Only folders named with 8 digits and, in them, files
// named the way the recorder names them are ever touched. Listing folders
// never changes the process's working directory.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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
// 6 digits, an optional "-" + digits, then "A.AVI" or "T.AVI".
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

}  // namespace ipcam

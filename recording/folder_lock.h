#pragma once
// One program per recording folder: an advisory lock (flock) on
// ".ipcam-recorder.lock" in the folder, held while the folder is in use.
// A second copy on the same folder cannot take it, and so neither recovers
// nor records there. The kernel drops the lock when the holder dies.

#include <string>

namespace ipcam {

inline constexpr const char kFolderLockName[] = ".ipcam-recorder.lock";

class FolderLock {
public:
    FolderLock() = default;
    ~FolderLock() { release(); }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // Takes the lock of `folder` (releasing any other one held). False when
    // another holder has it or the lock file cannot be made; `busy` tells
    // which.
    bool acquire(const std::string& folder, bool* busy);
    void release();
    bool holds(const std::string& folder) const { return fd_ >= 0 && folder_ == folder; }

private:
    int fd_ = -1;
    std::string folder_;
};

}  // namespace ipcam

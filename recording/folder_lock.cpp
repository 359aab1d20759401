#include "recording/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace ipcam {

bool FolderLock::acquire(const std::string& folder, bool* busy) {
    *busy = false;
    if (holds(folder)) return true;
    release();
    if (folder.empty()) return false;
    const std::string path = folder + "/" + kFolderLockName;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *busy = errno == EWOULDBLOCK;
        ::close(fd);
        return false;
    }
    // The holder's process id, for whoever looks at the file.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] const ssize_t w = ::pwrite(fd, pid.data(), pid.size(), 0);
    }
    fd_ = fd;
    folder_ = folder;
    return true;
}

void FolderLock::release() {
    if (fd_ >= 0) ::close(fd_);  // closing drops the lock
    fd_ = -1;
    folder_.clear();
}

}  // namespace ipcam

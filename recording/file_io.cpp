#include "recording/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "recording/avi_writer.h"

namespace ipcam {

// The hook's verdict on a write of `bytes`: 0 lets it through.
int injected(const DiskHooks* hooks, size_t bytes) {
    return hooks && hooks->beforeWrite ? hooks->beforeWrite(bytes) : 0;
}

int syncFile(int fd, bool dataOnly, const DiskHooks* hooks) {
    if (hooks && hooks->sync) return hooks->sync(fd, dataOnly);
    const int r = dataOnly ? ::fdatasync(fd) : ::fsync(fd);
    return r == 0 ? 0 : errno;
}

// rename() that never replaces an existing file. 0 or an errno value.
int renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    const int err = errno;
    if (err != EINVAL && err != ENOSYS && err != ENOTSUP) return err;
    // File systems without RENAME_NOREPLACE: link() refuses existing names.
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return 0;
    }
    if (errno == EEXIST) return EEXIST;
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0) return EEXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

void syncDirectory(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace ipcam

#include "base/file_owner.h"

#include <sys/stat.h>
#include <unistd.h>

namespace ipcam {

void giveToFolderOwner(int fd, const std::string& path) {
    if (::geteuid() != 0)
        return;
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    struct stat folder {};
    struct stat file {};
    // Root's own folders (/etc, /tmp, root's home) keep root's files root's.
    if (::stat(dir.c_str(), &folder) != 0 || folder.st_uid == 0 || ::fstat(fd, &file) != 0)
        return;
    if (file.st_uid != folder.st_uid || file.st_gid != folder.st_gid)
        (void)!::fchown(fd, folder.st_uid, folder.st_gid);
}

}  // namespace ipcam

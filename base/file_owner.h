#pragma once
// Files that root makes for someone else. The service's settings folder
// belongs to the service user; root editing those settings with the window
// (through sudo) must leave every file there usable by the service.

#include <string>

namespace ipcam {

// Run as root, gives the open file `fd` at `path` to the owner and group of
// the folder it is in, when that folder belongs to another user. Does nothing
// otherwise, or when it cannot.
void giveToFolderOwner(int fd, const std::string& path);

}  // namespace ipcam

#pragma once
// The system calls both recording writers make, with the ways into them
// that tests and benchmarks use (a slow or failing disk).

#include <cstddef>
#include <string>

namespace ipcam {

struct DiskHooks;

// The hook's verdict on a write of `bytes`: 0 lets it through.
int injected(const DiskHooks* hooks, size_t bytes);
// fdatasync() (dataOnly) or fsync(), or the hook instead: 0 or an errno value.
int syncFile(int fd, bool dataOnly, const DiskHooks* hooks);
// rename() that never replaces an existing file. 0 or an errno value.
int renameNoReplace(const std::string& from, const std::string& to);
// Makes a rename or a new file in `dir` durable.
void syncDirectory(const std::string& dir);

}  // namespace ipcam

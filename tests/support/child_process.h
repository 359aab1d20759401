#pragma once
// A helper program run beside the code under test (a test camera, a file
// reader), started with posix_spawn, its standard output read through a
// pipe; its standard error goes where the test's goes.
//
// Not QProcess: Qt starts children with clone(CLONE_VM | CLONE_VFORK), and
// after that ThreadSanitizer no longer sees the starting thread's locks from
// any thread created later, so every queue shared under a mutex looks like a
// race. posix_spawn is known to the sanitizer.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace ipcam::test {

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();  // terminate()
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Runs `program` (looked up in PATH when it names no folder) with
    // `args`; false (and `error` says why) when it
    // cannot be started.
    bool start(const std::string& program, const std::vector<std::string>& args, std::string* error = nullptr);
    // The next line of its output, without the line end; nullopt when none
    // came within `timeout` or the output ended.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // Everything it wrote until it ended (at most `timeout`); its exit code,
    // or nullopt when it did not end in time or was killed by a signal.
    std::optional<int> finish(std::chrono::milliseconds timeout, std::string* output = nullptr);
    // SIGTERM, then SIGKILL after `grace`; waits for it.
    void terminate(std::chrono::milliseconds grace = std::chrono::seconds(5));
    bool running() const { return pid_ > 0; }

private:
    bool fill(std::chrono::steady_clock::time_point deadline);  // more output, false at its end or the deadline
    bool reap(std::chrono::milliseconds timeout, int* status);

    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
};

}  // namespace ipcam::test

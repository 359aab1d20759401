#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace ipcam::test {

using Clock = std::chrono::steady_clock;

ChildProcess::~ChildProcess() { terminate(); }

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args, std::string* error) {
    terminate();
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        if (error) *error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int r = ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (r != 0) {
        ::close(pipeFds[0]);
        if (error) *error = program + ": " + std::strerror(r);
        return false;
    }
    pid_ = pid;
    out_ = pipeFds[0];
    buffer_.clear();
    return true;
}

bool ChildProcess::fill(Clock::time_point deadline) {
    if (out_ < 0) return false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{out_, POLLIN, 0};
        const int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) continue;
        char chunk[4096];
        const ssize_t got = ::read(out_, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ::close(out_);
            out_ = -1;
            return false;
        }
        buffer_.append(chunk, static_cast<size_t>(got));
        return true;
    }
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const size_t end = buffer_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        if (!fill(deadline)) return std::nullopt;
    }
}

bool ChildProcess::reap(std::chrono::milliseconds timeout, int* status) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const pid_t r = ::waitpid(pid_, status, WNOHANG);
        if (r == pid_ || (r < 0 && errno != EINTR)) {
            pid_ = -1;
            return r > 0;
        }
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::optional<int> ChildProcess::finish(std::chrono::milliseconds timeout, std::string* output) {
    if (pid_ <= 0) return std::nullopt;
    const auto deadline = Clock::now() + timeout;
    while (fill(deadline)) {
    }
    if (output) {
        *output = std::move(buffer_);
        buffer_.clear();
    }
    int status = 0;
    const auto left = std::max(std::chrono::milliseconds(0),
                               std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
    if (!reap(left, &status)) return std::nullopt;
    if (!WIFEXITED(status)) return std::nullopt;
    return WEXITSTATUS(status);
}

void ChildProcess::terminate(std::chrono::milliseconds grace) {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        if (!reap(grace, &status) && pid_ > 0) {
            ::kill(pid_, SIGKILL);
            reap(std::chrono::seconds(5), &status);
        }
    }
    if (out_ >= 0) {
        ::close(out_);
        out_ = -1;
    }
    buffer_.clear();
}

}  // namespace ipcam::test

#include "camera/rtsp_setup_guard.h"

#include <dirent.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>

namespace ipcam {

namespace {

// Small while setting up (the kernel doubles it); for streaming as large as
// the system lets a program ask for, up to 4 MiB.
constexpr int kSetupReceiveBuffer = 16 << 10;
constexpr int kStreamingReceiveBuffer = 4 << 20;

// The remote port of a connected TCP socket, else -1.
int peerPort(int fd) {
    int type = 0;
    socklen_t len = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) return -1;
    sockaddr_storage a{};
    len = sizeof a;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return -1;
    if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
    if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
    return -1;
}

// The process's open sockets connected to `port`.
std::vector<int> socketsTo(int port) {
    std::vector<int> fds;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return fds;
    while (const dirent* e = ::readdir(dir)) {
        const int fd = std::atoi(e->d_name);
        if (e->d_name[0] != '.' && fd != ::dirfd(dir) && peerPort(fd) == port) fds.push_back(fd);
    }
    ::closedir(dir);
    return fds;
}

}  // namespace

RtspSetupGuard::RtspSetupGuard(int port) : port_(port), before_(socketsTo(port)) {}

bool RtspSetupGuard::exceeded() {
    if (fd_ < 0) {
        for (const int fd : socketsTo(port_)) {
            if (std::find(before_.begin(), before_.end(), fd) == before_.end()) fd_ = fd;
        }
        if (fd_ < 0) return false;  // not connected yet
        const int size = kSetupReceiveBuffer;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    tcp_info info{};
    socklen_t len = sizeof info;
    int waiting = 0;
    if (::getsockopt(fd_, IPPROTO_TCP, TCP_INFO, &info, &len) != 0 ||
        len < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received ||
        ::ioctl(fd_, SIOCINQ, &waiting) != 0) {
        return false;
    }
    // Received by the system less what still waits there: what FFmpeg took.
    return int64_t(info.tcpi_bytes_received) - waiting > kMaxSetupBytes;
}

void RtspSetupGuard::streaming(bool interleaved) {
    if (fd_ < 0 || !interleaved) return;
    const int size = kStreamingReceiveBuffer;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    fd_ = -1;
}

}  // namespace ipcam

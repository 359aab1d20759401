#include "camera/icmp_pinger.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cstring>

namespace ipcam {

namespace {

// Closes the descriptor on every way out of a request.
struct SocketGuard {
    int fd = -1;
    ~SocketGuard() {
        if (fd >= 0)
            ::close(fd);
    }
};

int openIcmpSocket(SocketPinger::Mode& mode) {
    int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd >= 0) {
        mode = SocketPinger::Mode::Raw;
        return fd;
    }
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd >= 0) {
        mode = SocketPinger::Mode::Datagram;
        int on = 1;
        ::setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
        return fd;
    }
    mode = SocketPinger::Mode::None;
    return -1;
}

bool resolveIpv4(const std::string& host, in_addr& out) {
    if (host.empty())
        return false;
    if (::inet_pton(AF_INET, host.c_str(), &out) == 1)
        return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* res = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr)
        return false;
    out = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
    ::freeaddrinfo(res);
    return true;
}

}  // namespace

uint32_t tickCount() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

SocketPinger::SocketPinger() : identifier_(static_cast<uint16_t>(::getpid() & 0xFFFF)) {}

SocketPinger::Mode SocketPinger::availableMode() {
    Mode mode = Mode::None;
    SocketGuard g{openIcmpSocket(mode)};
    return mode;
}

std::optional<ReplyRecord> SocketPinger::ping(const std::string& host, std::chrono::milliseconds timeout) {
    const EchoRequest request = buildEchoRequest(identifier_, sequence_, tickCount());
    ++sequence_;

    in_addr addr{};
    if (!resolveIpv4(host, addr))
        return std::nullopt;

    Mode mode = Mode::None;
    SocketGuard sock{openIcmpSocket(mode)};
    if (sock.fd < 0)
        return std::nullopt;

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = addr;
    if (::sendto(sock.fd, request.data(), request.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) !=
        static_cast<ssize_t>(request.size()))
        return std::nullopt;

    pollfd pfd{sock.fd, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, static_cast<int>(timeout.count()));
    if (ready < 0)
        return std::nullopt;
    if (ready == 0)
        return timedOutReply();

    std::array<uint8_t, 1024> buf{};
    sockaddr_in from{};
    std::array<char, 256> control{};
    iovec iov{buf.data(), buf.size()};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    const ssize_t n = ::recvmsg(sock.fd, &msg, 0);
    if (n < 0)
        return std::nullopt;
    const auto data = std::span<const uint8_t>(buf.data(), static_cast<std::size_t>(n));
    const uint32_t now = tickCount();

    if (mode == Mode::Raw)
        return parseIpReply(data, now);

    // Datagram socket: no IP header; the TTL comes as ancillary data.
    // A reply that came without the TTL option still came: count it with a
    // common default rather than as a time-out.
    int ttl = 64;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL && c->cmsg_len >= CMSG_LEN(sizeof(int)))
            std::memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
    }
    std::array<char, INET_ADDRSTRLEN> text{};
    ::inet_ntop(AF_INET, &from.sin_addr, text.data(), text.size());
    return parseIcmpReply(data, now, static_cast<uint8_t>(ttl & 0xFF), text.data());
}

}  // namespace ipcam

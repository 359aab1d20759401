#include "camera/start_page.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "camera/http_start_page.h"

namespace ipcam {

namespace {

constexpr std::size_t kTitleOffset = 19;
constexpr std::size_t kTitleLimit = 4095;
constexpr std::size_t kTitleMaxLength = 79;
// Status line and headers larger than these are not a camera's start page.
constexpr std::size_t kMaxHeaderBytes = 16384;
constexpr std::size_t kMaxHeaderLine = 4096;

using SteadyClock = std::chrono::steady_clock;

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};

int remainingMs(SteadyClock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool resolve(const std::string& host, uint16_t port, sockaddr_in& out) {
    out = sockaddr_in{};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &out.sin_addr) == 1)
        return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr)
        return false;
    out.sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
    ::freeaddrinfo(res);
    return true;
}

bool connectWithin(int fd, const sockaddr_in& addr, std::chrono::milliseconds timeout) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
        return true;
    if (errno != EINPROGRESS)
        return false;
    pollfd pfd{fd, POLLOUT, 0};
    if (::poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0)
        return false;
    int err = 0;
    socklen_t len = sizeof err;
    return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
}

bool sendAll(int fd, const std::string& data, SteadyClock::time_point deadline) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        pollfd pfd{fd, POLLOUT, 0};
        if (::poll(&pfd, 1, remainingMs(deadline)) <= 0)
            return false;
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// One read of up to `max` bytes before the deadline. -1 error or time-out,
// 0 end of stream.
ssize_t readWithin(int fd, char* buf, std::size_t max, SteadyClock::time_point deadline) {
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return -1;
        const ssize_t n = ::recv(fd, buf, max, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        return n;
    }
}

// Any HTTP status line counts: a camera that answers its start page with an
// error status is still there, and its page still names it.
bool isHttpReply(std::string_view head) {
    return head.substr(0, 5) == "HTTP/";
}

}  // namespace

std::string extractCameraTitle(std::string_view page) {
    const std::size_t end = std::min(page.size(), kTitleLimit);
    if (end <= kTitleOffset)
        return {};
    std::string_view rest = page.substr(kTitleOffset, end - kTitleOffset);
    // The title is kept as a text: it ends at the first "<" and at a NUL.
    const auto stop = rest.find_first_of(std::string_view("<\0", 2));
    if (stop != std::string_view::npos)
        rest = rest.substr(0, stop);
    return std::string(rest.substr(0, kTitleMaxLength));
}

std::optional<std::string> HttpStartPageFetcher::fetch(const std::string& host) {
    failure_.clear();
    auto fail = [this](std::string why) -> std::optional<std::string> {
        failure_ = std::move(why);
        return std::nullopt;
    };
    if (host.empty())
        return fail("no camera address");
    sockaddr_in addr{};
    if (!resolve(host, port, addr))
        return fail("cannot resolve " + host);

    Fd sock{::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)};
    if (sock.fd < 0)
        return fail("no socket");
    if (!connectWithin(sock.fd, addr, connectTimeout))
        return fail("cannot connect");

    const auto deadline = SteadyClock::now() + answerTimeout;
    const std::string request = "GET / HTTP/1.0\r\nHost: " + host +
                                "\r\nUser-Agent: Application\r\nAccept: */*\r\nCache-Control: no-cache\r\n"
                                "Pragma: no-cache\r\nConnection: close\r\n\r\n";
    if (!sendAll(sock.fd, request, deadline))
        return fail("cannot send the request");

    // Collect the status line and headers, each line and all of them
    // bounded; whatever follows them in the same read is the first read of
    // the body.
    std::string received;
    std::size_t bodyStart = std::string::npos;
    std::size_t lineStart = 0;
    char buf[4096];
    while (bodyStart == std::string::npos) {
        const ssize_t n = readWithin(sock.fd, buf, sizeof buf, deadline);
        if (n < 0)
            return fail("no answer in time");
        if (n == 0)
            return fail("connection closed inside the headers");
        const std::size_t scanFrom = received.size();
        received.append(buf, static_cast<std::size_t>(n));
        if (received.size() >= 5 && !isHttpReply(received))
            return fail("not an HTTP reply");
        for (std::size_t i = scanFrom; i < received.size() && bodyStart == std::string::npos; ++i) {
            if (received[i] != '\n')
                continue;
            if (i + 1 - lineStart > kMaxHeaderLine)
                return fail("header line longer than " + std::to_string(kMaxHeaderLine) + " bytes");
            if (i + 1 - lineStart == 2 && received[lineStart] == '\r')
                bodyStart = i + 1;  // the empty line that ends the headers
            lineStart = i + 1;
        }
        if (bodyStart != std::string::npos)
            break;
        if (received.size() - lineStart > kMaxHeaderLine)
            return fail("header line longer than " + std::to_string(kMaxHeaderLine) + " bytes");
        if (received.size() > kMaxHeaderBytes)
            return fail("headers longer than " + std::to_string(kMaxHeaderBytes) + " bytes");
    }
    if (!isHttpReply(received))
        return fail("not an HTTP reply");

    std::string body = received.substr(bodyStart);
    if (body.empty()) {
        std::string first(kStartPageReadSize, '\0');
        const ssize_t n = readWithin(sock.fd, first.data(), first.size(), deadline);
        if (n < 0)
            return fail("no page in time");
        first.resize(static_cast<std::size_t>(n));  // 0: an empty page
        body = std::move(first);
    }
    if (body.size() > kStartPageReadSize)
        body.resize(kStartPageReadSize);
    return body;
}

}  // namespace ipcam

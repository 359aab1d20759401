#include "mail/smtp_client.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace ipcam {

namespace {

struct SmtpFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int remainingMs(int64_t deadline) {
    const int64_t left = deadline - nowMs();
    return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, 1'000'000));
}

std::string machineHostName() {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') return "localhost";
    return buf;
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw SmtpFailure("cannot open attachment " + path);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw SmtpFailure("cannot read attachment " + path);
    return data;
}

}  // namespace

std::string smtpDataBlock(const std::vector<std::string>& lines) {
    std::string out;
    for (const auto& line : lines) {
        if (!line.empty() && line.front() == '.') out += '.';
        out += line;
        out += "\r\n";
    }
    out += ".\r\n";
    return out;
}

SmtpClient::SmtpClient() : localHostName(machineHostName()) {}

SmtpClient::~SmtpClient() { closeSocket(); }

bool SmtpClient::connected() const {
    std::lock_guard lock(fdMutex_);
    return fd_ >= 0;
}

void SmtpClient::abort() {
    aborted_ = true;
    std::lock_guard lock(fdMutex_);
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

void SmtpClient::clearAbort() { aborted_ = false; }

void SmtpClient::closeSocket() {
    std::lock_guard lock(fdMutex_);
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    inBuffer_.clear();
    loggedIn_ = false;
}

void SmtpClient::openSocket() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0 || list == nullptr) throw SmtpFailure("cannot resolve " + host);

    const int64_t deadline = nowMs() + connectTimeoutMs;
    std::string error = "cannot connect to " + host;
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        {
            std::lock_guard lock(fdMutex_);
            fd_ = fd;
        }
        bool ok = ::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0;
        if (!ok && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int n;
            do {
                n = ::poll(&p, 1, remainingMs(deadline));
            } while (n < 0 && errno == EINTR && !aborted_);
            if (n > 0) {
                int soError = 0;
                socklen_t len = sizeof soError;
                ok = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) == 0 && soError == 0;
                if (!ok) error = "cannot connect to " + host + ": " + std::strerror(soError);
            } else if (n == 0) {
                error = "time-out connecting to " + host;
            }
        }
        if (ok && !aborted_) break;
        closeSocket();
        if (aborted_ || remainingMs(deadline) == 0) break;
    }
    ::freeaddrinfo(list);
    if (aborted_) {
        closeSocket();
        throw SmtpFailure("aborted");
    }
    if (!connected()) throw SmtpFailure(error);
}

void SmtpClient::writeAll(const std::string& bytes) {
    const int64_t deadline = nowMs() + replyTimeoutMs;
    size_t done = 0;
    while (done < bytes.size()) {
        if (aborted_) throw SmtpFailure("aborted");
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd_, POLLOUT, 0};
            const int r = ::poll(&p, 1, remainingMs(deadline));
            if (r == 0) throw SmtpFailure("time-out writing to the server");
            continue;
        }
        throw SmtpFailure("connection broken while writing");
    }
}

std::string SmtpClient::readLine(int64_t deadline) {
    while (true) {
        const size_t lf = inBuffer_.find('\n');
        if (lf != std::string::npos) {
            std::string line = inBuffer_.substr(0, lf);
            inBuffer_.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        if (aborted_) throw SmtpFailure("aborted");
        pollfd p{fd_, POLLIN, 0};
        const int r = ::poll(&p, 1, remainingMs(deadline));
        if (r == 0) throw SmtpFailure("time-out waiting for the server's reply");
        if (r < 0) {
            if (errno == EINTR) continue;
            throw SmtpFailure("poll failed");
        }
        char buf[4096];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n > 0) {
            inBuffer_.append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            throw SmtpFailure("connection closed by the server");
        } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            throw SmtpFailure("connection broken while reading");
        }
    }
}

SmtpClient::Reply SmtpClient::readReply() {
    const int64_t deadline = nowMs() + replyTimeoutMs;
    Reply reply;
    while (true) {
        std::string line = readLine(deadline);
        const bool more = line.size() >= 4 && line[3] == '-';
        if (reply.lines.empty()) {
            const bool digits = line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                                std::isdigit(static_cast<unsigned char>(line[1])) &&
                                std::isdigit(static_cast<unsigned char>(line[2]));
            reply.code = digits ? std::stoi(line.substr(0, 3)) : 0;
        }
        reply.lines.push_back(std::move(line));
        if (!more) return reply;
    }
}

void SmtpClient::command(const std::string& line) { writeAll(line + "\r\n"); }

SmtpClient::Reply SmtpClient::expect(const std::string& line, int code) {
    command(line);
    Reply r = readReply();
    if (code != 0 && r.code != code) {
        // The command itself is not repeated: it may carry a credential.
        throw SmtpFailure("unexpected reply: " + (r.lines.empty() ? std::string() : r.lines.front()));
    }
    return r;
}

void SmtpClient::readCapabilities(const Reply& ehlo) {
    for (size_t i = 1; i < ehlo.lines.size(); ++i) {
        std::string up = ehlo.lines[i];
        for (char& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (up.size() < 9 || up.compare(4, 4, "AUTH") != 0 || (up[8] != ' ' && up[8] != '=')) continue;
        size_t pos = 9;
        while (pos < up.size()) {
            const size_t end = std::min(up.find(' ', pos), up.size());
            const std::string piece = up.substr(pos, end - pos);
            if (!piece.empty() && std::find(capabilities_.begin(), capabilities_.end(), piece) == capabilities_.end()) {
                capabilities_.push_back(piece);
            }
            pos = end + 1;
        }
    }
}

void SmtpClient::greet() {
    const Reply greeting = readReply();
    if (greeting.code != 220) {
        throw SmtpFailure("unexpected greeting: " + (greeting.lines.empty() ? std::string() : greeting.lines.front()));
    }
    capabilities_.clear();
    command("ehlo " + localHostName);
    const Reply ehlo = readReply();
    if (ehlo.code == 250) {
        readCapabilities(ehlo);
    } else {
        expect("Helo " + localHostName, 250);
    }
}

bool SmtpClient::connect() {
    lastError_.clear();
    if (connected()) disconnect();
    try {
        openSocket();
        greet();
        return true;
    } catch (const std::exception& e) {
        lastError_ = e.what();
        disconnect();
        return false;
    }
}

void SmtpClient::submit(const MailMessage& message) {
    if (!connected()) throw SmtpFailure("not connected");
    std::vector<std::string> contents;
    for (const auto& a : message.attachments) contents.push_back(readWholeFile(a.fileName));

    expect("Rset", 0);
    if (loginMethod == SmtpLoginMethod::Login && !loggedIn_ &&
        std::find(capabilities_.begin(), capabilities_.end(), "LOGIN") != capabilities_.end()) {
        expect("auth LOGIN", 334);
        expect(base64Encode(userName), 334);
        expect(base64Encode(password), 235);
        loggedIn_ = true;
    }
    expect("Mail from:<" + message.from.address + ">", 250);
    for (const auto* list : {&message.to, &message.cc, &message.bcc}) {
        for (const auto& r : *list) expect("RCPT to:<" + r.address + ">", 250);
    }
    expect("Data", 354);
    writeAll(smtpDataBlock(composeMessageLines(message, contents)));
    const Reply done = readReply();
    if (done.code != 250) {
        throw SmtpFailure("message refused: " + (done.lines.empty() ? std::string() : done.lines.front()));
    }
}

bool SmtpClient::send(const MailMessage& message) {
    lastError_.clear();
    try {
        submit(message);
        return true;
    } catch (const std::exception& e) {
        lastError_ = e.what();
        return false;
    }
}

void SmtpClient::disconnect() {
    {
        std::lock_guard lock(fdMutex_);
        if (fd_ >= 0) {
            static constexpr char kQuit[] = "Quit\r\n";
            [[maybe_unused]] const ssize_t n = ::send(fd_, kQuit, sizeof kQuit - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
    }
    closeSocket();
}

}  // namespace ipcam

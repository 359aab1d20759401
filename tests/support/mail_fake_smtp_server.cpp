#include "support/mail_fake_smtp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <stdexcept>

namespace ipcam::test {

namespace {

std::string upperWord(const std::string& line) {
    std::string w = line.substr(0, line.find(' '));
    for (char& c : w) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return w;
}

int listenLoopback(uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket");
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 8) != 0) {
        ::close(fd);
        throw std::runtime_error("bind/listen");
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

}  // namespace

FakeSmtpServer::FakeSmtpServer() : FakeSmtpServer(Script{}) {}

FakeSmtpServer::FakeSmtpServer(Script script) : script_(std::move(script)) {
    listenFd_ = listenLoopback(port_);
    thread_ = std::thread([this] { serve(); });
}

FakeSmtpServer::~FakeSmtpServer() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        released_ = true;
    }
    cv_.notify_all();
    thread_.join();
    ::close(listenFd_);
}

uint16_t FakeSmtpServer::unusedPort() {
    uint16_t port = 0;
    const int fd = listenLoopback(port);
    ::close(fd);
    return port;
}

void FakeSmtpServer::release() {
    {
        std::lock_guard lock(mutex_);
        released_ = true;
    }
    cv_.notify_all();
}

std::vector<std::string> FakeSmtpServer::commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

std::vector<std::string> FakeSmtpServer::messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
}

int FakeSmtpServer::sessions() const {
    std::lock_guard lock(mutex_);
    return sessions_;
}

bool FakeSmtpServer::waitSessionsClosed(int count, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return closed_ >= count; });
}

bool FakeSmtpServer::sendLine(int fd, const std::string& line) {
    const std::string bytes = line + "\r\n";
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

void FakeSmtpServer::serve() {
    while (true) {
        {
            std::lock_guard lock(mutex_);
            if (stop_) return;
        }
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        {
            std::lock_guard lock(mutex_);
            ++sessions_;
        }
        session(fd);
        ::close(fd);
        {
            std::lock_guard lock(mutex_);
            ++closed_;
        }
        cv_.notify_all();
    }
}

void FakeSmtpServer::session(int fd) {
    if (script_.holdGreeting) {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return released_; });
        if (stop_) return;
    }
    if (!script_.silent && !sendLine(fd, script_.greeting)) return;

    std::string buffer;
    bool inData = false;
    std::string message;
    int authStep = -1;
    int rcptCount = 0;
    while (true) {
        size_t lf;
        // Lines end with CR LF only: a bare LF stays inside its line.
        while ((lf = buffer.find("\r\n")) == std::string::npos) {
            {
                std::lock_guard lock(mutex_);
                if (stop_) return;
            }
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            char buf[4096];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return;
            buffer.append(buf, static_cast<size_t>(n));
        }
        std::string line = buffer.substr(0, lf);
        buffer.erase(0, lf + 2);

        if (inData) {
            if (line == ".") {
                inData = false;
                {
                    std::lock_guard lock(mutex_);
                    messages_.push_back(message);
                }
                message.clear();
                if (!script_.silent) sendLine(fd, script_.endOfDataReply);
            } else {
                message += line + "\r\n";
            }
            continue;
        }
        {
            std::lock_guard lock(mutex_);
            commands_.push_back(line);
        }
        if (script_.silent) continue;

        if (authStep >= 0) {
            ++authStep;
            if (authStep < static_cast<int>(script_.authReplies.size())) {
                sendLine(fd, script_.authReplies[static_cast<size_t>(authStep)]);
            }
            if (authStep >= 2) authStep = -1;
            continue;
        }
        const std::string word = upperWord(line);
        if (word == "EHLO") {
            const auto& reply = script_.ehloReply.empty() ? std::vector<std::string>{script_.heloReply}
                                                          : script_.ehloReply;
            for (const auto& l : reply) sendLine(fd, l);
        } else if (word == "HELO") {
            sendLine(fd, script_.heloReply);
        } else if (word == "RSET") {
            sendLine(fd, script_.rsetReply);
        } else if (word == "AUTH") {
            authStep = 0;
            sendLine(fd, script_.authReplies.at(0));
            if (script_.authReplies[0].rfind("334", 0) != 0) authStep = -1;
        } else if (word == "MAIL") {
            sendLine(fd, script_.mailReply);
        } else if (word == "RCPT") {
            const size_t i = std::min(static_cast<size_t>(rcptCount), script_.rcptReplies.size() - 1);
            ++rcptCount;
            sendLine(fd, script_.rcptReplies[i]);
        } else if (word == "DATA") {
            sendLine(fd, script_.dataReply);
            inData = script_.dataReply.rfind("354", 0) == 0;
        } else if (word == "QUIT") {
            sendLine(fd, "221 bye");
            return;
        } else {
            sendLine(fd, "500 unknown command");
        }
    }
}

}  // namespace ipcam::test

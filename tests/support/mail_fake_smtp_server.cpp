#include "support/mail_fake_smtp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <stdexcept>
#include <thread>

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

std::string FakeSmtpServer::negotiated() const {
    std::lock_guard lock(mutex_);
    return negotiated_;
}

struct FakeSmtpServer::Conn {
    int fd = -1;
    SSL_CTX* ctx = nullptr;
    SSL* ssl = nullptr;
    ~Conn() {
        if (ssl) SSL_free(ssl);
        if (ctx) SSL_CTX_free(ctx);
    }
};

bool FakeSmtpServer::sendLine(Conn& c, const std::string& line) {
    const std::string bytes = line + "\r\n";
    if (c.ssl) return SSL_write(c.ssl, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
    return ::send(c.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// Bytes read (> 0), 0 when the client has gone, -1 when nothing came yet.
int FakeSmtpServer::receive(Conn& c, char* buf, size_t size) {
    if (!(c.ssl && SSL_pending(c.ssl) > 0)) {
        pollfd p{c.fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) return -1;
    }
    if (c.ssl) {
        const int n = SSL_read(c.ssl, buf, static_cast<int>(size));
        if (n > 0) return n;
        const int e = SSL_get_error(c.ssl, n);
        ERR_clear_error();
        return e == SSL_ERROR_WANT_READ ? -1 : 0;
    }
    const ssize_t n = ::recv(c.fd, buf, size, 0);
    return n > 0 ? static_cast<int>(n) : 0;
}

// Reads and drops whatever comes until the client goes or the server stops.
void FakeSmtpServer::stall(Conn& c) {
    char buf[4096];
    while (true) {
        {
            std::lock_guard lock(mutex_);
            if (stop_) return;
        }
        pollfd p{c.fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        if (::recv(c.fd, buf, sizeof buf, 0) <= 0) return;
    }
}

bool FakeSmtpServer::startTls(Conn& c) {
    if (script_.stallHandshake) {
        stall(c);
        return false;
    }
    c.ctx = SSL_CTX_new(TLS_server_method());
    if (!c.ctx || SSL_CTX_use_certificate_chain_file(c.ctx, script_.certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(c.ctx, script_.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        ERR_clear_error();
        return false;
    }
    c.ssl = SSL_new(c.ctx);
    SSL_set_fd(c.ssl, c.fd);
    // The socket blocks; a client that goes quiet mid-handshake ends it.
    timeval tv{2, 0};
    ::setsockopt(c.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const bool ok = SSL_accept(c.ssl) == 1;
    ERR_clear_error();
    if (ok) {
        std::lock_guard lock(mutex_);
        negotiated_ = std::string(SSL_get_version(c.ssl)) + " " + SSL_get_cipher_name(c.ssl);
    }
    return ok;
}

void FakeSmtpServer::serve() {
    // TLS writes go through write(): a client that has gone must not raise
    // SIGPIPE in the test process.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
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
    Conn conn;
    conn.fd = fd;
    if (script_.holdGreeting) {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return released_; });
        if (stop_) return;
    }
    if (script_.tls == Script::Tls::Implicit && !startTls(conn)) return;
    if (!script_.endlessGreeting.empty()) {
        // Pieces without a line end, as long as the client reads them.
        while (true) {
            {
                std::lock_guard lock(mutex_);
                if (stop_) return;
            }
            const auto& piece = script_.endlessGreeting;
            if (conn.ssl ? SSL_write(conn.ssl, piece.data(), static_cast<int>(piece.size())) <= 0
                         : ::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) <= 0)
                return;
        }
    }
    if (!script_.silent && !sendLine(conn, script_.greeting)) return;
    for (const auto& l : script_.greetingTail) sendLine(conn, l);

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
            char buf[4096];
            const int n = receive(conn, buf, sizeof buf);
            if (n < 0) continue;
            if (n == 0) return;
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
                if (!script_.silent) sendLine(conn, script_.endOfDataReply);
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
                sendLine(conn, script_.authReplies[static_cast<size_t>(authStep)]);
            }
            if (authStep >= 2) authStep = -1;
            continue;
        }
        const std::string word = upperWord(line);
        if (word == "EHLO") {
            auto reply = script_.ehloReply.empty() ? std::vector<std::string>{script_.heloReply} : script_.ehloReply;
            if (script_.tls == Script::Tls::StartTls && !conn.ssl && reply.size() > 1) {
                reply.insert(reply.begin() + 1, "250-STARTTLS");
            }
            for (const auto& l : reply) sendLine(conn, l);
        } else if (word == "STARTTLS" && script_.tls == Script::Tls::StartTls && !conn.ssl) {
            sendLine(conn, "220 ready to start TLS");
            buffer.clear();
            if (!startTls(conn)) return;
        } else if (word == "HELO") {
            sendLine(conn, script_.heloReply);
        } else if (word == "RSET") {
            sendLine(conn, script_.rsetReply);
        } else if (word == "AUTH") {
            authStep = 0;
            sendLine(conn, script_.authReplies.at(0));
            if (script_.authReplies[0].rfind("334", 0) != 0) authStep = -1;
        } else if (word == "MAIL") {
            sendLine(conn, script_.mailReply);
        } else if (word == "RCPT") {
            const size_t i = std::min(static_cast<size_t>(rcptCount), script_.rcptReplies.size() - 1);
            ++rcptCount;
            sendLine(conn, script_.rcptReplies[i]);
        } else if (word == "DATA") {
            sendLine(conn, script_.dataReply);
            inData = script_.dataReply.rfind("354", 0) == 0;
        } else if (word == "QUIT") {
            sendLine(conn, "221 bye");
            return;
        } else {
            sendLine(conn, "500 unknown command");
        }
    }
}

}  // namespace ipcam::test

#include "mail/smtp_client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
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

// OpenSSL writes to the socket with write(), which raises SIGPIPE when the
// server has gone: held back on this thread while the client works, and a
// pending one is taken away before the mask is restored.
class SigpipeBlock {
public:
    SigpipeBlock() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
    }
    ~SigpipeBlock() {
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) == 1 && sigismember(&old_, SIGPIPE) != 1) {
            const timespec zero{0, 0};
            while (sigtimedwait(&pipe_, nullptr, &zero) == SIGPIPE) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

private:
    sigset_t pipe_;
    sigset_t old_;
};

bool isIpAddress(const std::string& host) {
    unsigned char buf[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), buf) == 1 || ::inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// What failed when the server's certificate was not accepted.
std::string certificateProblem(long verifyResult) {
    switch (verifyResult) {
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return "certificate has expired";
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return "certificate is not yet valid";
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return "host name does not match the certificate";
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            return "self-signed certificate, not trusted";
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            return "certificate is not issued by a trusted authority";
        default:
            return X509_verify_cert_error_string(verifyResult);
    }
}

std::string openSslError() {
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0) return "connection closed";
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    return buf;
}

}  // namespace

std::optional<SmtpServerAddress> parseSmtpServer(std::string_view text, uint16_t defaultPort) {
    SmtpServerAddress a;
    a.port = defaultPort;
    std::string_view portText;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        a.host = std::string(text.substr(1, close - 1));
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') return std::nullopt;
            portText = rest.substr(1);
            if (portText.empty()) return std::nullopt;
        }
    } else {
        const size_t colon = text.find(':');
        if (colon != std::string_view::npos && text.find(':', colon + 1) == std::string_view::npos) {
            a.host = std::string(text.substr(0, colon));
            portText = text.substr(colon + 1);
            if (portText.empty()) return std::nullopt;
        } else {
            a.host = std::string(text);  // no port, or an IPv6 address without brackets
        }
    }
    if (!portText.empty()) {
        if (portText.size() > 5) return std::nullopt;
        unsigned value = 0;
        for (const char c : portText) {
            if (c < '0' || c > '9') return std::nullopt;
            value = value * 10 + static_cast<unsigned>(c - '0');
        }
        if (value == 0 || value > 65535) return std::nullopt;
        a.port = static_cast<uint16_t>(value);
    }
    return a;
}

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

std::string SmtpClient::tlsDescription() const {
    if (tls_ == nullptr) return {};
    return std::string(SSL_get_version(tls_)) + " " + SSL_get_cipher_name(tls_);
}

void SmtpClient::closeSocket() {
    std::lock_guard lock(fdMutex_);
    if (tls_ != nullptr) {
        SSL_free(tls_);
        tls_ = nullptr;
    }
    if (tlsContext_ != nullptr) {
        SSL_CTX_free(tlsContext_);
        tlsContext_ = nullptr;
    }
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

void SmtpClient::waitFor(short events, int64_t deadline, const char* timeoutText) {
    while (true) {
        if (aborted_) throw SmtpFailure("aborted");
        pollfd p{fd_, events, 0};
        const int r = ::poll(&p, 1, remainingMs(deadline));
        if (r > 0) return;
        if (r == 0) throw SmtpFailure(timeoutText);
        if (errno != EINTR) throw SmtpFailure("poll failed");
    }
}

void SmtpClient::startTls() {
    const int64_t deadline = nowMs() + replyTimeoutMs;
    tlsContext_ = SSL_CTX_new(TLS_client_method());
    if (tlsContext_ == nullptr) throw SmtpFailure("TLS unavailable: " + openSslError());
    SSL_CTX_set_min_proto_version(tlsContext_, TLS1_2_VERSION);
    SSL_CTX_set_verify(tlsContext_, SSL_VERIFY_PEER, nullptr);
    const bool trusted = trustedCertificatesFile.empty()
                             ? SSL_CTX_set_default_verify_paths(tlsContext_) == 1
                             : SSL_CTX_load_verify_locations(tlsContext_, trustedCertificatesFile.c_str(), nullptr) == 1;
    if (!trusted) throw SmtpFailure("cannot load the trusted certificates: " + openSslError());
    SSL_CTX_set_mode(tlsContext_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);

    tls_ = SSL_new(tlsContext_);
    if (tls_ == nullptr || SSL_set_fd(tls_, fd_) != 1) throw SmtpFailure("TLS unavailable: " + openSslError());
    if (isIpAddress(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls_), host.c_str());
    } else {
        SSL_set_tlsext_host_name(tls_, host.c_str());
        SSL_set1_host(tls_, host.c_str());
    }
    while (true) {
        ERR_clear_error();
        const int r = SSL_connect(tls_);
        if (r == 1) return;
        const int e = SSL_get_error(tls_, r);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            waitFor(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline, "time-out in the TLS handshake");
            continue;
        }
        if (aborted_) throw SmtpFailure("aborted");
        const long verified = SSL_get_verify_result(tls_);
        if (verified != X509_V_OK) {
            throw SmtpFailure("the server's certificate is not accepted: " + certificateProblem(verified));
        }
        throw SmtpFailure("TLS handshake failed: " + openSslError());
    }
}

void SmtpClient::writeAll(const std::string& bytes) {
    const int64_t deadline = nowMs() + replyTimeoutMs;
    size_t done = 0;
    while (done < bytes.size()) {
        if (aborted_) throw SmtpFailure("aborted");
        short want = POLLOUT;
        if (tls_ != nullptr) {
            ERR_clear_error();
            const int n = SSL_write(tls_, bytes.data() + done, static_cast<int>(std::min<size_t>(bytes.size() - done, 1 << 20)));
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            const int e = SSL_get_error(tls_, n);
            if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) throw SmtpFailure("connection broken while writing");
            want = e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
        } else {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (!(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))) throw SmtpFailure("connection broken while writing");
        }
        waitFor(want, deadline, "time-out writing to the server");
    }
}

void SmtpClient::receiveMore(int64_t deadline) {
    char buf[4096];
    while (true) {
        if (aborted_) throw SmtpFailure("aborted");
        short want = POLLIN;
        if (tls_ != nullptr) {
            ERR_clear_error();
            const int n = SSL_read(tls_, buf, sizeof buf);
            if (n > 0) {
                inBuffer_.append(buf, static_cast<size_t>(n));
                return;
            }
            const int e = SSL_get_error(tls_, n);
            if (e == SSL_ERROR_ZERO_RETURN) throw SmtpFailure("connection closed by the server");
            if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
                throw SmtpFailure(aborted_ ? "aborted" : "connection broken while reading");
            }
            want = e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
        } else {
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n > 0) {
                inBuffer_.append(buf, static_cast<size_t>(n));
                return;
            }
            if (n == 0) throw SmtpFailure(aborted_ ? "aborted" : "connection closed by the server");
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) throw SmtpFailure("connection broken while reading");
        }
        waitFor(want, deadline, "time-out waiting for the server's reply");
    }
}

std::string SmtpClient::readLine(int64_t deadline) {
    size_t searched = 0;
    while (true) {
        const size_t lf = inBuffer_.find('\n', searched);
        if (lf != std::string::npos) {
            if (lf + 1 > kSmtpMaxReplyLine) break;
            std::string line = inBuffer_.substr(0, lf);
            inBuffer_.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        searched = inBuffer_.size();
        if (searched >= kSmtpMaxReplyLine) break;
        receiveMore(deadline);
    }
    throw SmtpFailure("reply line from the server longer than " + std::to_string(kSmtpMaxReplyLine) + " bytes");
}

SmtpClient::Reply SmtpClient::readReply() {
    const int64_t deadline = nowMs() + replyTimeoutMs;
    Reply reply;
    while (true) {
        if (reply.lines.size() >= kSmtpMaxReplyLines) {
            throw SmtpFailure("reply from the server longer than " + std::to_string(kSmtpMaxReplyLines) + " lines");
        }
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

void SmtpClient::command(const std::string& line) {
    // A control character would end the command early and start another.
    if (hasControlCharacter(line)) throw SmtpFailure("a command holds a control character");
    writeAll(line + "\r\n");
}

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

// "ehlo"; on 250 the capabilities are read from the answer. Whether the
// answer offered STARTTLS.
bool SmtpClient::ehlo() {
    capabilities_.clear();
    command("ehlo " + localHostName);
    const Reply reply = readReply();
    if (reply.code != 250) {
        expect("Helo " + localHostName, 250);
        return false;
    }
    readCapabilities(reply);
    for (size_t i = 1; i < reply.lines.size(); ++i) {
        std::string up = reply.lines[i].size() > 4 ? reply.lines[i].substr(4) : std::string();
        for (char& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        while (!up.empty() && up.back() == ' ') up.pop_back();
        if (up == "STARTTLS") return true;
    }
    return false;
}

void SmtpClient::greet() {
    if (port == implicitTlsPort) startTls();
    const Reply greeting = readReply();
    if (greeting.code != 220) {
        throw SmtpFailure("unexpected greeting: " + (greeting.lines.empty() ? std::string() : greeting.lines.front()));
    }
    if (ehlo() && tls_ == nullptr) {
        expect("STARTTLS", 220);
        // Anything the server sent ahead of the handshake is not trusted.
        inBuffer_.clear();
        startTls();
        ehlo();
    }
}

bool SmtpClient::connect() {
    const SigpipeBlock noSigpipe;
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
    const SigpipeBlock noSigpipe;
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
    const SigpipeBlock noSigpipe;
    {
        std::lock_guard lock(fdMutex_);
        static constexpr char kQuit[] = "Quit\r\n";
        if (tls_ != nullptr) {
            // Only over a finished handshake, never in plain text after a
            // failed one. The socket does not block: this writes what it can.
            if (SSL_is_init_finished(tls_) && SSL_write(tls_, kQuit, sizeof kQuit - 1) > 0) SSL_shutdown(tls_);
            ERR_clear_error();
        } else if (fd_ >= 0) {
            [[maybe_unused]] const ssize_t n = ::send(fd_, kQuit, sizeof kQuit - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
    }
    closeSocket();
}

}  // namespace ipcam

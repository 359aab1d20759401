#pragma once
// A blocking SMTP submission client for the alarm e-mail worker: connect and
// greet (EHLO, HELO fallback), optional AUTH LOGIN, one message per send,
// "Quit" on disconnect. POSIX sockets with poll(), so it needs no event loop;
// connecting, the TLS handshake and every reply are bounded by time-outs, and
// every reply by its size.
//
// TLS (OpenSSL, 1.2 or newer): on the implicit-TLS port (465) from the first
// byte; elsewhere when the EHLO answer offers STARTTLS, followed by a second
// EHLO whose answer replaces the capabilities. The server's certificate must
// chain to a trusted certificate and match the host name (or IP address).
// A server that offers no STARTTLS gets the plain dialogue.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mail/mail_message.h"

struct ssl_st;
struct ssl_ctx_st;

namespace ipcam {

// Bounds of one server reply.
inline constexpr size_t kSmtpMaxReplyLine = 4096;  // bytes, line end included
inline constexpr size_t kSmtpMaxReplyLines = 100;
inline constexpr uint16_t kSmtpDefaultPort = 25;
inline constexpr uint16_t kSmtpImplicitTlsPort = 465;

struct SmtpServerAddress {
    std::string host;
    uint16_t port = kSmtpDefaultPort;
};

// The server text of the settings: "host", "host:port", "[IPv6]" or
// "[IPv6]:port"; an IPv6 address without brackets is a host alone. Without a
// port, `defaultPort`. Nothing when the port is not a number from 1 to 65535
// or a bracket is not closed.
std::optional<SmtpServerAddress> parseSmtpServer(std::string_view text, uint16_t defaultPort = kSmtpDefaultPort);

enum class SmtpLoginMethod { None, Login };

class SmtpClient {
public:
    SmtpClient();
    ~SmtpClient();
    SmtpClient(const SmtpClient&) = delete;
    SmtpClient& operator=(const SmtpClient&) = delete;

    // Properties, set before connect().
    std::string host;
    uint16_t port = 25;
    std::string userName;
    std::string password;
    SmtpLoginMethod loginMethod = SmtpLoginMethod::None;
    int connectTimeoutMs = 30000;
    int replyTimeoutMs = 30000;
    std::string localHostName;  // sent with EHLO/HELO; the machine's name by default
    // The port on which TLS starts with the first byte.
    uint16_t implicitTlsPort = kSmtpImplicitTlsPort;
    // PEM file of the certificates to trust; empty: the system's store.
    std::string trustedCertificatesFile;

    bool connected() const;
    // Opens the connection and greets the server. On failure the connection
    // is closed ("Quit" written if it was open) and false is returned.
    bool connect();
    // Submits one message on the open connection. The attachment files are
    // read first; a file that cannot be read fails the call. On failure the
    // connection stays open for the caller to close.
    bool send(const MailMessage& message);
    // Writes "Quit" without waiting for the reply and closes.
    void disconnect();

    // Any thread: breaks a blocked connect/send at once; every later
    // connect/send fails until clearAbort().
    void abort();
    void clearAbort();

    const std::string& lastError() const { return lastError_; }
    const std::vector<std::string>& capabilities() const { return capabilities_; }
    bool loggedIn() const { return loggedIn_; }
    // The TLS version and cipher of the open connection ("TLSv1.3
    // TLS_AES_256_GCM_SHA384"); empty for a plain connection.
    std::string tlsDescription() const;

private:
    struct Reply {
        int code = 0;
        std::vector<std::string> lines;
    };

    void openSocket();
    void closeSocket();
    void startTls();
    void waitFor(short events, int64_t deadlineMs, const char* timeoutText);
    void writeAll(const std::string& bytes);
    void receiveMore(int64_t deadlineMs);
    void command(const std::string& line);
    Reply readReply();
    Reply expect(const std::string& line, int code);
    std::string readLine(int64_t deadlineMs);
    void readCapabilities(const Reply& ehlo);
    bool ehlo();
    void greet();
    void submit(const MailMessage& message);

    mutable std::mutex fdMutex_;
    int fd_ = -1;
    ssl_ctx_st* tlsContext_ = nullptr;  // worker thread only, like tls_
    ssl_st* tls_ = nullptr;
    std::atomic<bool> aborted_{false};
    std::string inBuffer_;
    std::vector<std::string> capabilities_;
    bool loggedIn_ = false;
    std::string lastError_;
};

// The message text as sent after "Data": CR LF line ends, a line that
// begins with "." gets a second dot, closed by the line ".".
std::string smtpDataBlock(const std::vector<std::string>& lines);

}  // namespace ipcam

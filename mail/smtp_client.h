#pragma once
// A blocking SMTP submission client for the alarm e-mail worker: connect and
// greet (EHLO, HELO fallback), optional AUTH LOGIN, one message per send,
// "Quit" on disconnect. POSIX sockets with poll(), so it needs no event loop;
// connecting and every reply are bounded by time-outs.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "mail/mail_message.h"

namespace ipcam {

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

private:
    struct Reply {
        int code = 0;
        std::vector<std::string> lines;
    };

    void openSocket();
    void closeSocket();
    void writeAll(const std::string& bytes);
    void command(const std::string& line);
    Reply readReply();
    Reply expect(const std::string& line, int code);
    std::string readLine(int64_t deadlineMs);
    void readCapabilities(const Reply& ehlo);
    void greet();
    void submit(const MailMessage& message);

    mutable std::mutex fdMutex_;
    int fd_ = -1;
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

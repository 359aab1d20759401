#pragma once
// A scripted SMTP server on 127.0.0.1 (ephemeral port) for tests. It serves
// connections one after another on its own thread and records every command
// line it receives and every message text sent after "Data". It can speak
// TLS: offered through STARTTLS, or from the first byte.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ipcam::test {

class FakeSmtpServer {
public:
    struct Script {
        std::string greeting = "220 fake.test ESMTP";
        // Lines of the EHLO reply; empty means the same as heloReply.
        std::vector<std::string> ehloReply = {"250-fake.test", "250-AUTH LOGIN PLAIN", "250 SIZE 1000000"};
        std::string heloReply = "250 fake.test";
        std::string rsetReply = "250 ok";
        std::vector<std::string> authReplies = {"334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6", "235 accepted"};
        std::string mailReply = "250 ok";
        // Reply to the n-th RCPT of a session (the last entry for the rest).
        std::vector<std::string> rcptReplies = {"250 ok"};
        std::string dataReply = "354 go ahead";
        std::string endOfDataReply = "250 queued";
        // Accept connections but never answer.
        bool silent = false;
        // Hold the greeting until release() is called.
        bool holdGreeting = false;
        // Reply lines (after the greeting) sent at once, before any command.
        std::vector<std::string> greetingTail;
        // Bytes sent instead of the greeting, in pieces, until the client goes.
        std::string endlessGreeting;

        enum class Tls { None, StartTls, Implicit };
        // StartTls: "250-STARTTLS" is offered in the EHLO answer until TLS runs.
        Tls tls = Tls::None;
        std::string certFile, keyFile;  // PEM, for TLS
        // When TLS is due, never answer the client's hello.
        bool stallHandshake = false;
    };

    FakeSmtpServer();
    explicit FakeSmtpServer(Script script);
    ~FakeSmtpServer();
    FakeSmtpServer(const FakeSmtpServer&) = delete;
    FakeSmtpServer& operator=(const FakeSmtpServer&) = delete;

    uint16_t port() const { return port_; }
    void release();

    // Command lines as received (without CR LF), all sessions in order.
    std::vector<std::string> commands() const;
    // Raw message texts received after "Data", up to and without the
    // closing "." line, with their CR LF line ends.
    std::vector<std::string> messages() const;
    int sessions() const;
    // The TLS version and cipher of the last session that started TLS.
    std::string negotiated() const;
    // Waits until `count` sessions have ended (the client quit or closed).
    bool waitSessionsClosed(int count, int timeoutMs) const;

    // A loopback port with no listener (connecting is refused).
    static uint16_t unusedPort();

private:
    void serve();
    struct Conn;
    void session(int fd);
    bool sendLine(Conn& c, const std::string& line);
    int receive(Conn& c, char* buf, size_t size);
    bool startTls(Conn& c);
    void stall(Conn& c);

    Script script_;
    int listenFd_ = -1;
    uint16_t port_ = 0;
    bool stop_ = false;
    bool released_ = false;
    int sessions_ = 0;
    int closed_ = 0;
    std::vector<std::string> commands_;
    std::vector<std::string> messages_;
    std::string negotiated_;
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::thread thread_;
};

}  // namespace ipcam::test

#pragma once
// Sends one ICMP echo request and waits for the answer: the seam between the
// ping worker's pass logic and the operating system's sockets.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "camera/icmp_packet.h"

namespace ipcam {

class Pinger {
public:
    virtual ~Pinger() = default;
    // Send one echo request to `host` and wait up to `timeout` for a reply.
    // A reply record (TTL 0 and status TimedOut when nothing came), or
    // nullopt when an error got in the way (unresolvable host, no socket,
    // malformed or unexpected reply).
    virtual std::optional<ReplyRecord> ping(const std::string& host, std::chrono::milliseconds timeout) = 0;
};

// The system's millisecond tick count (monotonic, wraps at 2^32).
uint32_t tickCount();

// The real thing. Uses a raw ICMP socket where the process may open one,
// otherwise the unprivileged ICMP datagram socket; when neither can be
// opened, every request fails with an error.
class SocketPinger final : public Pinger {
public:
    SocketPinger();
    std::optional<ReplyRecord> ping(const std::string& host, std::chrono::milliseconds timeout) override;

    enum class Mode { Raw, Datagram, None };
    // Which kind of socket a request would use on this machine right now.
    static Mode availableMode();

private:
    uint16_t identifier_;
    uint16_t sequence_ = 0;
};

}  // namespace ipcam

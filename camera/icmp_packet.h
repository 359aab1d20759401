#pragma once
// The 52-byte ICMP echo request the ping worker sends, and the parsing of
// whatever comes back.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace ipcam {

constexpr std::size_t kEchoRequestSize = 52;
using EchoRequest = std::array<uint8_t, kEchoRequestSize>;

// Internet checksum (RFC 1071): one's complement of the one's-complement sum
// of the data taken as big-endian 16-bit words (an odd last byte is padded
// with zero). Stored into a packet in network byte order.
uint16_t internetChecksum(std::span<const uint8_t> data);

// type 8, code 0, checksum, identifier (LE), sequence (LE), tick count (LE),
// 8 zero bytes, 32 x 'E'.
EchoRequest buildEchoRequest(uint16_t identifier, uint16_t sequence, uint32_t tickCount);

enum class ReplyStatus { Echo, TimedOut, Unreachable, TtlExceeded };

struct ReplyRecord {
    std::size_t bytesReceived = 0;
    std::string sourceAddress = "0.0.0.0";
    uint8_t icmpType = 0;
    uint16_t sequence = 0;
    uint32_t roundTripMs = 0;
    uint8_t ttl = 0;
    ReplyStatus status = ReplyStatus::TimedOut;
};

// The record of a request that got nothing within the reply time-out.
inline ReplyRecord timedOutReply() { return ReplyRecord{}; }

// A reply that begins with the IP header (raw socket). `nowTicks` gives the
// round-trip time against the tick count carried in the ICMP data. nullopt
// for a malformed or unexpected reply (too short, an unknown ICMP type).
std::optional<ReplyRecord> parseIpReply(std::span<const uint8_t> packet, uint32_t nowTicks);

// A reply without the IP header (the unprivileged datagram socket): the TTL
// and the source address come from elsewhere (ancillary data, recvfrom).
std::optional<ReplyRecord> parseIcmpReply(std::span<const uint8_t> icmp, uint32_t nowTicks, uint8_t ttl,
                                          const std::string& sourceAddress);

}  // namespace ipcam

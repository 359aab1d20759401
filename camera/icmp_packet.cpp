#include "camera/icmp_packet.h"

#include <algorithm>

namespace ipcam {

namespace {

uint16_t readLe16(std::span<const uint8_t> d, std::size_t at) {
    return static_cast<uint16_t>(d[at] | (d[at + 1] << 8));
}

uint32_t readLe32(std::span<const uint8_t> d, std::size_t at) {
    return static_cast<uint32_t>(d[at]) | (static_cast<uint32_t>(d[at + 1]) << 8) |
           (static_cast<uint32_t>(d[at + 2]) << 16) | (static_cast<uint32_t>(d[at + 3]) << 24);
}

void writeLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>(v >> 8);
}

constexpr std::size_t kMinIpHeader = 20;
constexpr std::size_t kIcmpHeader = 8;

// Type, sequence and sent tick count from an ICMP message; nullopt for a
// message that is too short or of a type the worker does not know.
std::optional<ReplyRecord> fromIcmp(std::span<const uint8_t> icmp, uint32_t nowTicks) {
    if (icmp.size() < kIcmpHeader)
        return std::nullopt;
    ReplyRecord r;
    r.icmpType = icmp[0];
    switch (icmp[0]) {
    case 0:
    case 8:
        r.status = ReplyStatus::Echo;
        break;
    case 3:
        r.status = ReplyStatus::Unreachable;
        break;
    case 11:
        r.status = ReplyStatus::TtlExceeded;
        break;
    default:
        return std::nullopt;
    }
    r.sequence = readLe16(icmp, 6);
    // The sent tick count travels in the first 4 data bytes of an echo; an
    // error message carries the original datagram there instead.
    if (r.status == ReplyStatus::Echo && icmp.size() >= kIcmpHeader + 4)
        r.roundTripMs = nowTicks - readLe32(icmp, kIcmpHeader);
    return r;
}

}  // namespace

uint16_t internetChecksum(std::span<const uint8_t> data) {
    uint32_t sum = 0;
    std::size_t i = 0;
    for (; i + 1 < data.size(); i += 2)
        sum += static_cast<uint32_t>((data[i] << 8) | data[i + 1]);
    if (i < data.size())
        sum += static_cast<uint32_t>(data[i] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

EchoRequest buildEchoRequest(uint16_t identifier, uint16_t sequence, uint32_t tickCount) {
    EchoRequest p{};
    p[0] = 8;
    p[1] = 0;
    writeLe16(&p[4], identifier);
    writeLe16(&p[6], sequence);
    p[8] = static_cast<uint8_t>(tickCount & 0xFF);
    p[9] = static_cast<uint8_t>((tickCount >> 8) & 0xFF);
    p[10] = static_cast<uint8_t>((tickCount >> 16) & 0xFF);
    p[11] = static_cast<uint8_t>(tickCount >> 24);
    std::fill(p.begin() + 20, p.end(), static_cast<uint8_t>('E'));
    const uint16_t sum = internetChecksum(p);
    p[2] = static_cast<uint8_t>(sum >> 8);
    p[3] = static_cast<uint8_t>(sum & 0xFF);
    return p;
}

std::optional<ReplyRecord> parseIpReply(std::span<const uint8_t> packet, uint32_t nowTicks) {
    if (packet.empty())
        return std::nullopt;
    const std::size_t hlen = static_cast<std::size_t>(packet[0] & 0x0F) * 4;
    // A header shorter than the fixed 20 bytes would put the TTL and the
    // source address inside the ICMP message: malformed.
    if (hlen < kMinIpHeader || packet.size() < hlen + kIcmpHeader)
        return std::nullopt;
    auto r = fromIcmp(packet.subspan(hlen), nowTicks);
    if (!r)
        return std::nullopt;
    r->bytesReceived = packet.size();
    r->ttl = packet[8];
    r->sourceAddress = std::to_string(packet[12]) + "." + std::to_string(packet[13]) + "." +
                       std::to_string(packet[14]) + "." + std::to_string(packet[15]);
    return r;
}

std::optional<ReplyRecord> parseIcmpReply(std::span<const uint8_t> icmp, uint32_t nowTicks, uint8_t ttl,
                                          const std::string& sourceAddress) {
    auto r = fromIcmp(icmp, nowTicks);
    if (!r)
        return std::nullopt;
    r->bytesReceived = icmp.size();
    r->ttl = ttl;
    r->sourceAddress = sourceAddress;
    return r;
}

}  // namespace ipcam

// Whatever comes back on the ping socket: with the IP header (raw socket)
// and without it (datagram socket).

#include <cstdint>
#include <cstdlib>
#include <span>

#include "camera/icmp_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> packet(data, size);
    const uint32_t now = size >= 4 ? (uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 |
                                      uint32_t(data[3]) << 24)
                                   : 0u;
    if (auto r = ipcam::parseIpReply(packet, now)) {
        if (r->bytesReceived > size) std::abort();
    }
    if (auto r = ipcam::parseIcmpReply(packet, now, 64, "127.0.0.1")) {
        if (r->bytesReceived > size) std::abort();
    }
    ipcam::internetChecksum(packet);
    return 0;
}

// The camera stream as the read handler sees it: the reply header in the
// first chunk, then chunks that either start a picture or are collected.
// Input: byte 0 = number of chunk lengths n (0..15), the next n bytes are the
// lengths (1..256, used in turn), the rest is the stream itself.

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "camera/stream_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t n = data[0] % 16u;
    if (size < 1 + n) return 0;
    const std::span<const uint8_t> lengths(data + 1, n);
    const std::span<const uint8_t> stream(data + 1 + n, size - 1 - n);

    // A small bound, so that dropping a collection is reached too.
    constexpr size_t kLimit = 1024;
    std::vector<uint8_t> receiveBuffer;
    ipcam::PictureCollector collector(receiveBuffer, kLimit);

    bool headerAccepted = false;
    size_t pos = 0;
    size_t turn = 0;
    size_t pictures = 0;
    size_t collectedSinceStart = 0;  // bytes handed to the collector since the last picture start
    while (pos < stream.size()) {
        size_t len = lengths.empty() ? stream.size() - pos : static_cast<size_t>(lengths[turn++ % lengths.size()]) + 1;
        if (len > stream.size() - pos) len = stream.size() - pos;
        const std::span<const uint8_t> chunk = stream.subspan(pos, len);
        pos += len;

        if (!headerAccepted) {
            if (!ipcam::checkReplyHeader(chunk)) return 0;  // taken as a wrong password
            headerAccepted = true;
            continue;
        }
        if (ipcam::isPictureStart(chunk)) {
            if (!receiveBuffer.empty()) ++pictures;
            receiveBuffer.clear();
            collectedSinceStart = 0;
        }
        const uint64_t before = collector.overflows();
        collector.append(chunk);
        collectedSinceStart += chunk.size();
        // The collection never passes its bound, and while nothing was
        // dropped it holds exactly the bytes given since the picture start.
        if (receiveBuffer.size() > kLimit) std::abort();
        if (collector.overflows() == before && collectedSinceStart <= kLimit &&
            receiveBuffer.size() != collectedSinceStart) {
            std::abort();
        }
        if (collector.overflows() != before) collectedSinceStart = receiveBuffer.size();
    }
    (void)pictures;
    return 0;
}

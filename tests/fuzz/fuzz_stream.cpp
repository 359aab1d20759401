// The camera stream as the read handler sees it: the reply header in the
// first read (the rest of that read is not looked at), then reads that the
// framer cuts at picture starts and the collector gathers, in the same steps
// a byte-stream camera source takes.
// Input: byte 0 = number of read lengths n (0..15), the next n bytes are the
// lengths (1..256, used in turn; none: the whole stream in one read), the
// rest is the stream itself.
// Checked: the pictures handed on are exactly the bytes between two picture
// starts, where the starts are found on the whole stream at once (after each
// boundary line, and where a read begins FF D8 FF E0), so a split never moves
// or loses one; a picture longer than the bound is cut to a tail of it; the
// collection never passes its bound.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "camera/stream_protocol.h"

namespace {

// Offsets just past each boundary line in `s`, matched left to right without
// overlap, as the camera's boundaries follow one another.
std::vector<size_t> boundaryEnds(std::span<const uint8_t> s) {
    std::vector<size_t> ends;
    const size_t len = ipcam::kBoundaryLine.size();
    size_t i = 0;
    while (i + len <= s.size()) {
        if (std::memcmp(s.data() + i, ipcam::kBoundaryLine.data(), len) == 0) {
            i += len;
            ends.push_back(i);
        } else {
            ++i;
        }
    }
    return ends;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t n = data[0] % 16u;
    if (size < 1 + n) return 0;
    const std::span<const uint8_t> lengths(data + 1, n);
    const std::span<const uint8_t> stream(data + 1 + n, size - 1 - n);

    // The reads, as TCP might deliver them.
    std::vector<std::span<const uint8_t>> reads;
    for (size_t pos = 0, turn = 0; pos < stream.size();) {
        size_t len = lengths.empty() ? stream.size() - pos : static_cast<size_t>(lengths[turn++ % lengths.size()]) + 1;
        len = std::min(len, stream.size() - pos);
        reads.push_back(stream.subspan(pos, len));
        pos += len;
    }
    if (reads.empty() || !ipcam::checkReplyHeader(reads.front())) return 0;  // taken as a wrong password
    const size_t bodyBegin = reads.front().size();
    const std::span<const uint8_t> body = stream.subspan(bodyBegin);

    // Where pictures must begin, found on the whole body at once.
    std::vector<size_t> expected;
    for (const size_t end : boundaryEnds(body)) {
        if (end < body.size()) expected.push_back(end);  // a boundary at the very end starts nothing yet
    }
    for (size_t r = 1, at = 0; r < reads.size(); at += reads[r].size(), ++r) {
        if (ipcam::isPictureStart(reads[r])) expected.push_back(at);
    }
    std::sort(expected.begin(), expected.end());
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());

    // A small bound, so that dropping a collection is reached too.
    constexpr size_t kLimit = 1024;
    std::vector<uint8_t> receiveBuffer;
    ipcam::PictureCollector collector(receiveBuffer, kLimit);
    ipcam::PictureFramer framer;
    std::vector<size_t> starts;
    size_t found = 0;          // picture starts seen so far
    size_t pictureBegin = 0;   // body offset of the picture being collected
    size_t offset = 0;         // body offset of the current read

    const auto checkBound = [&] {
        if (receiveBuffer.size() > kLimit) std::abort();
    };
    // What MainController::pictureStart hands on at body offset `at`.
    const auto pictureStart = [&](size_t at) {
        if (found >= expected.size() || expected[found] != at) std::abort();  // a start moved, lost or made up
        ++found;
        const std::span<const uint8_t> whole = body.subspan(pictureBegin, at - pictureBegin);
        if (whole.size() <= kLimit) {
            if (receiveBuffer.size() != whole.size() ||
                !std::equal(receiveBuffer.begin(), receiveBuffer.end(), whole.begin())) {
                std::abort();
            }
        } else if (receiveBuffer.size() > kLimit ||
                   !std::equal(receiveBuffer.begin(), receiveBuffer.end(), whole.end() - static_cast<long>(receiveBuffer.size()))) {
            std::abort();  // a picture too long to keep leaves at most a tail of itself
        }
        receiveBuffer.clear();
        pictureBegin = at;
    };

    for (size_t r = 1; r < reads.size(); ++r) {
        const std::span<const uint8_t> bytes = reads[r];
        starts.clear();
        framer.findStarts(bytes, starts);
        size_t at = 0;
        for (const size_t start : starts) {
            if (start < at || start >= bytes.size()) std::abort();  // in order and inside the read
            if (start > at) collector.append(bytes.subspan(at, start - at));
            checkBound();
            pictureStart(offset + start);
            at = start;
        }
        collector.append(bytes.subspan(at));
        checkBound();
        offset += bytes.size();
    }
    if (found != expected.size()) std::abort();
    return 0;
}

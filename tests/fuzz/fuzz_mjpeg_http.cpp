// A standard MJPEG camera's answer over HTTP, as the stream client takes it:
// two connections in a row (the second one after request() was asked for
// again, so that a challenge is answered), each receiving the same bytes.
// Input: byte 0 = number of read lengths n (0..15), the next n bytes are the
// lengths (1..256, used in turn; none: one byte a read), the rest is the
// answer.
// Checked: fed in those reads and fed whole, both streams end each
// connection in the same state with the same pictures, drop count and text;
// every picture runs from FF D8 FF to FF D9 and stays within the bound; the
// text never holds the password; every request is header lines ending in
// CR LF, with no other CR or LF in them, and a blank line at the end.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "camera/mjpeg_http.h"

namespace {

constexpr size_t kLimit = 4096;  // small, so that dropping a part is reached too
const std::string kPassword = "Pw!9x#Secret";

struct Connection {
    ipcam::CameraStream::State state = ipcam::CameraStream::State::Waiting;
    std::vector<std::vector<uint8_t>> pictures;
    std::string error;
    uint64_t dropped = 0;
    bool operator==(const Connection&) const = default;
};

void checkRequest(const std::string& r) {
    if (r.size() < 4 || r.compare(r.size() - 4, 4, "\r\n\r\n") != 0) std::abort();
    for (size_t i = 0; i < r.size(); ++i) {
        if (r[i] == '\r' && (i + 1 >= r.size() || r[i + 1] != '\n')) std::abort();
        if (r[i] == '\n' && (i == 0 || r[i - 1] != '\r')) std::abort();
        if (r[i] == '\0') std::abort();
    }
}

Connection receive(ipcam::MjpegHttpStream& s, const std::vector<std::span<const uint8_t>>& reads) {
    Connection c;
    checkRequest(s.request());
    s.reset();
    for (const auto& read : reads) {
        c.state = s.feed(read, [&](std::vector<uint8_t>& p) {
            if (p.size() < 4 || p.size() > kLimit || p[0] != 0xFF || p[1] != 0xD8 || p[2] != 0xFF ||
                p[p.size() - 2] != 0xFF || p.back() != 0xD9) {
                std::abort();
            }
            c.pictures.push_back(p);
        });
    }
    c.error = s.errorText();
    c.dropped = s.droppedParts();
    if (c.error.find(kPassword) != std::string::npos) std::abort();
    return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t n = data[0] % 16u;
    if (size < 1 + n) return 0;
    const std::span<const uint8_t> lengths(data + 1, n);
    const std::span<const uint8_t> answer(data + 1 + n, size - 1 - n);

    std::vector<std::span<const uint8_t>> reads;
    for (size_t pos = 0, turn = 0; pos < answer.size();) {
        size_t len = lengths.empty() ? 1 : static_cast<size_t>(lengths[turn++ % lengths.size()]) + 1;
        len = std::min(len, answer.size() - pos);
        reads.push_back(answer.subspan(pos, len));
        pos += len;
    }
    const std::vector<std::span<const uint8_t>> whole{answer};

    ipcam::CameraUrl url;
    url.host = "cam.test";
    url.path = "/video.mjpg";
    url.user = "admin";
    url.password = kPassword;
    const auto cnonce = [] { return std::string("0a4f113b"); };
    ipcam::MjpegHttpStream split(url, kLimit, cnonce);
    ipcam::MjpegHttpStream once(url, kLimit, cnonce);
    for (int connection = 0; connection < 2; ++connection) {
        if (!(receive(split, reads) == receive(once, whole))) std::abort();
    }
    if (split.request() != once.request()) std::abort();
    return 0;
}

#pragma once
// The camera's stream protocol: the one request line, the fixed reply
// header, and the rule that cuts the byte stream into pictures.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/camera_settings.h"
#include "camera/camera_stream.h"

namespace ipcam {

inline constexpr std::string_view kExpectedReplyHeader =
    "HTTP/1.0 200 OK\r\n"
    "Connection: Close\r\n"
    "Server: Qelt\r\n"
    "Content-Type: multipart/x-mixed-replace; boundary=EOB\r\n"
    "\r\n"
    "EOB\r\n";
static_assert(kExpectedReplyHeader.size() == 112);

// The size parameter: index 0 (640x480) sends 2, 2 (160x120) sends 0, any
// other value sends 1.
int sizeParameter(uint8_t resolution);

// "GET /Webcam.jpg?Pass=<password>&V=..&F=..&Q=..&B=..&U=.. HTTP/1.0\r\n"; the
// password goes in byte for byte, unescaped.
std::string composeStreamRequest(const CameraSettings& settings);

// Accepted when the chunk's first 112 bytes equal the expected header.
bool checkReplyHeader(std::span<const uint8_t> chunk);

// True when the chunk begins FF D8 FF E0.
bool isPictureStart(std::span<const uint8_t> chunk);

// The camera's boundary line between pictures ("boundary=EOB" in the reply
// header).
inline constexpr std::string_view kBoundaryLine = "\r\nEOB\r\n";

// Finds where pictures begin in the stream that follows the reply header,
// however TCP splits or joins it: at the start of a read that begins
// FF D8 FF E0, and right after every boundary line, also one that is itself
// split across reads. A boundary line stays with the picture before it, so
// a picture is its JPEG data and whatever the camera sent after it before
// the next picture begins.
class PictureFramer {
public:
    // Appends to `starts` the offsets in `read` at which a picture begins,
    // in increasing order (0 when the read itself begins one).
    void findStarts(std::span<const uint8_t> read, std::vector<size_t>& starts);
    // A new connection: nothing of the previous stream carries over.
    void reset();
    // The last read ended with a boundary line: the next read begins a
    // picture, so the one before it is complete.
    bool startPending() const { return startPending_; }

private:
    size_t matched_ = 0;         // boundary bytes matched at the end of the last read
    bool startPending_ = false;  // the last read ended with a boundary line
};

// Collects chunks into pictures: a chunk that starts a picture closes the
// one collected so far. The collection is bounded: when a stream never
// starts a picture at the start of a read, the collection is dropped once it
// would pass the bound, and the next picture start collects cleanly.
class PictureCollector {
public:
    static constexpr size_t kDefaultLimit = 16u * 1024u * 1024u;

    explicit PictureCollector(std::vector<uint8_t>& receiveBuffer, size_t limit = kDefaultLimit)
        : buffer_(receiveBuffer), limit_(limit) {}

    // Appends bytes of the picture being collected.
    void append(std::span<const uint8_t> chunk);
    // Number of times the collection was dropped for passing the bound.
    uint64_t overflows() const { return overflows_; }
    // The room a hostile stretch grew beyond `keep` bytes is given back
    // (see giveBackSpare); returns the bytes given back.
    size_t releaseSpare(size_t keep) { return giveBackSpare(buffer_, keep); }

private:
    std::vector<uint8_t>& buffer_;
    size_t limit_;
    uint64_t overflows_ = 0;
};

// The legacy camera as a CameraStream: the request line from the settings,
// the first read of a connection checked against the reply header (the rest
// of that read dropped; a mismatch is a rejected password, read after read
// until a header is accepted), then pictures cut by PictureFramer, each
// handed over when the next one begins: its JPEG data and whatever followed
// it, the boundary line included. The first start of a connection hands over
// an empty picture. A read that ends with a boundary line completes the
// picture before it: it is handed over at once (its bytes are the same, the
// next read begins the next picture), so the last picture before a stall or
// an outage does not wait for a picture that never comes. When the
// connection ends, a whole JPEG still collected (FF D8 .. FF D9, perhaps
// followed by the start of a boundary line) is handed over too.
class LegacyCameraStream final : public CameraStream {
public:
    explicit LegacyCameraStream(const CameraSettings& settings) : settings_(settings) {}

    void reset() override;
    std::string request() override { return composeStreamRequest(settings_); }
    State feed(std::span<const uint8_t> bytes, const PictureFn& picture) override;
    void end(const PictureFn& picture) override;
    std::string errorText() const override { return {}; }
    Drops takeDrops() override;
    size_t releaseSpare(size_t keep) override { return collector_.releaseSpare(keep); }

    // The picture being collected.
    const std::vector<uint8_t>& collected() const { return buffer_; }

private:
    const CameraSettings& settings_;
    bool headerAccepted_ = false;
    PictureFramer framer_;
    std::vector<uint8_t> buffer_;
    PictureCollector collector_{buffer_};
    std::vector<size_t> starts_;
    bool handedOver_ = false;  // the picture the next read's start closes was handed over already
    uint64_t overflowsTaken_ = 0;
};

}  // namespace ipcam

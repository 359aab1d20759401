#pragma once
// A camera's stream protocol behind one seam: what is sent once the
// connection is up, and how the bytes that come back become pictures. The
// legacy camera's fixed request and reply header is one; a standard MJPEG
// camera over HTTP (multipart/x-mixed-replace) is another. Bytes from the
// socket carry no message boundaries: feed() takes them however TCP cut
// them, and every size read from the peer is bounded before anything is
// allocated for it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace ipcam {

class CameraStream {
public:
    enum class State {
        Waiting,     // the camera's answer is not complete yet
        Streaming,   // the answer was accepted: pictures come
        Rejected,    // the camera refused the credentials (a wrong password)
        Challenged,  // the camera asked for credentials: connect again and send request() anew
        Failed,      // the camera answered with something that is no picture stream (errorText())
    };
    // Called for each complete picture with its bytes; the callee may take
    // them (swap them out); the stream clears the vector afterwards.
    using PictureFn = std::function<void(std::vector<uint8_t>& picture)>;

    virtual ~CameraStream() = default;

    // A new connection: nothing of the previous one carries over, except
    // what an authentication challenge taught.
    virtual void reset() = 0;
    // The bytes to send once the connection is up.
    virtual std::string request() = 0;
    // The connection's bytes, in order. Returns the state after them. What
    // to do with a connection that was Rejected, Challenged or Failed is the
    // caller's to decide.
    virtual State feed(std::span<const uint8_t> bytes, const PictureFn& picture) = 0;
    // The connection ended (the peer closed it, it failed or went silent): a
    // picture already complete but not yet handed over is handed over now.
    virtual void end(const PictureFn& picture) { (void)picture; }
    // What came back, for Failed and Rejected (one line, no password).
    virtual std::string errorText() const = 0;

    // What the stream dropped since the last call, by kind.
    struct Drops {
        uint64_t oversized = 0;   // picture parts over the size bound
        uint64_t longHeaders = 0; // part headers over 16 KiB
        uint64_t noBoundary = 0;  // stretches of stream with no picture boundary in the bound
        uint64_t noPicture = 0;   // parts that held no picture
    };
    virtual Drops takeDrops() { return {}; }
    // Gives back the room its buffers have beyond their content where that
    // room passes `keep` bytes (grown for hostile input); returns the bytes
    // given back. Called once the stream is sane again.
    virtual size_t releaseSpare(size_t /*keep*/) { return 0; }
};

// Gives back a buffer's room beyond its content once its capacity passes
// `keep` bytes (clear() and erase() keep the room); returns the bytes given
// back.
template <class Buffer>
size_t giveBackSpare(Buffer& buffer, size_t keep) {
    const size_t before = buffer.capacity();
    if (before <= keep) {
        return 0;
    }
    Buffer(buffer.begin(), buffer.end()).swap(buffer);
    return before - buffer.capacity();
}

}  // namespace ipcam

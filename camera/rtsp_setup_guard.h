#pragma once
// FFmpeg's RTSP demuxer reads a reply's body (the stream description among
// them) whole, at the length the camera declares, and then expands it: a
// description's list of source addresses takes some 300 times its size in
// memory. What it has read cannot be taken back, so the bytes it takes from
// the control connection while the stream is set up are counted from the
// interrupt callback, and the attempt is cut off past kMaxSetupBytes.
//
// FFmpeg keeps the socket to itself: it is found among the process's open
// sockets (the TCP connection to the camera's port opened since the guard
// was made) and only looked at, except for its receive buffer, kept small
// while the stream is set up so that no read takes much more than is counted.

#include <cstdint>
#include <vector>

namespace ipcam {

class RtspSetupGuard {
public:
    // Replies to OPTIONS, DESCRIBE, SETUP and PLAY: a camera's description
    // is a few KiB, with large parameter sets some 10 KiB.
    static constexpr int64_t kMaxSetupBytes = 64 << 10;

    explicit RtspSetupGuard(int port);
    // Reader thread, from FFmpeg's interrupt callback while the stream is set
    // up: true once FFmpeg has taken more than kMaxSetupBytes.
    bool exceeded();
    // Once set up (the socket still open): the receive buffer for streaming
    // when the packets come interleaved in it; RTP over UDP comes on sockets
    // of its own, and the control connection keeps its small buffer.
    void streaming(bool interleaved = true);

private:
    int port_;
    int fd_ = -1;
    std::vector<int> before_;  // sockets to the port that were open already
};

}  // namespace ipcam

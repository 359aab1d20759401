#pragma once
// An MKV recording played in a browser's <video>: its packets copied, as
// they are, into fragmented MP4 (no re-encoding), from the key frame at or
// before a given time, with the times shifted so that the output starts at
// 0. Read piece by piece as the browser takes it; what is held at any time
// is one fragment at most (a second of video, never more than
// kMaxFragmentBytes plus one packet), never the whole recording.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "frontends/web/fmp4_muxer.h"

extern "C" {
struct AVFormatContext;
struct AVCodecParameters;
struct AVPacket;
}

namespace ipcam {


class Mp4Remux {
public:
    enum class Problem {
        None,
        Unreadable,  // no Matroska file, damaged, or no picture to begin with
        NoVideo,     // no H.264/H.265 track within the bounds
        Hevc,        // H.265, and the caller did not allow it
    };

    // Opens the recording at `path` for output from the video key frame at or
    // before `startSeconds` (the recording's start when it lies beyond the
    // end or cannot be sought). H.265 only when `allowHevc`; other tracks
    // than the video and AAC audio are left out. Null with `problem` and
    // `detail` set when it cannot be played.
    static std::unique_ptr<Mp4Remux> open(const std::string& path, double startSeconds, bool allowHevc,
                                          Problem* problem, std::string* detail);
    ~Mp4Remux();
    Mp4Remux(const Mp4Remux&) = delete;
    Mp4Remux& operator=(const Mp4Remux&) = delete;

    // The recording's time at which the output begins (the key frame's).
    double startSeconds() const { return startSeconds_; }
    // Up to `max` bytes of the output: 0 once it has all been read, -1 when it
    // cannot go on (then the output so far is a playable beginning). A
    // recording cut short (damaged, truncated) ends where it stops being
    // readable.
    long read(uint8_t* buffer, size_t max);
    // Bytes waiting to be read now (for the bound's test).
    size_t held() const { return pending_.size() - taken_; }

private:
    Mp4Remux() = default;
    bool write(AVPacket* packet);  // one input packet, shifted, into the muxer
    void step();                          // the next input packet through the muxer
    void finishOutput();

    AVFormatContext* in_ = nullptr;
    AVFormatContext* out_ = nullptr;
    AVPacket* packet_ = nullptr;
    std::vector<int> outputOf_;       // input stream -> output stream, -1 when left out
    std::vector<int64_t> originOf_;   // the start, in each input stream's time base
    std::vector<int64_t> lastDts_;    // per output stream
    std::vector<uint8_t> pending_;    // output not yet read
    size_t taken_ = 0;
    double startSeconds_ = 0;
    bool ended_ = false;
    bool failed_ = false;
};

}  // namespace ipcam

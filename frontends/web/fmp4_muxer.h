#pragma once
// The live video for a browser's Media Source Extensions: a camera's H.264
// or H.265 packets, stream-copied into fragmented MP4 by libavformat's mp4
// muxer writing into memory. First the init segment (ftyp + moov), then one
// fragment (moof + mdat) for each packet, beginning with a key frame.
//
// Each packet is written when the next one comes (its duration is the step
// to it), so a fragment is one picture behind the camera. Timestamps start
// at 0 and always go forward: where packets were dropped, or the camera's
// clock jumps, the video goes on as if the next packet followed at once.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/media_packet.h"

extern "C" {
struct AVFormatContext;
struct AVCodecParameters;
}

namespace ipcam {

// The fragmented MP4 muxer a browser plays as it arrives: an empty moov,
// then moof+mdat fragments. `PerFlush`: a fragment each time the caller
// flushes (av_write_frame with no packet; live video). `KeyFrameOrSecond`: a
// fragment at each video key frame, after a second of media, or before
// `kMaxFragmentBytes`, whichever comes first (the muxer holds one fragment). One stream for each of `streams` (codec parameters
// and time base; stream copy), the header written; every byte goes to
// `sink`, which returns false to fail the write. Null with `error` set when
// the muxer refuses the streams. Packets go in with av_write_frame; close
// with closeFragmentedMp4 (after av_write_trailer when the end was reached).
inline constexpr size_t kMaxFragmentBytes = size_t(4) << 20;
struct Mp4OutputStream {
    const AVCodecParameters* params = nullptr;
    int timeBaseNum = 1, timeBaseDen = 1000;
};
using Mp4Sink = std::function<bool(const uint8_t* data, size_t size)>;
enum class Fragmenting : uint8_t { PerFlush, KeyFrameOrSecond };
AVFormatContext* openFragmentedMp4(const std::vector<Mp4OutputStream>& streams, Fragmenting fragmenting, Mp4Sink sink,
                                   std::string* error);
void closeFragmentedMp4(AVFormatContext* muxer);

class Fmp4Muxer {
public:
    // A muxer for the video track of `tracks`; null when it cannot be
    // carried (`why` says why: not H.264/H.265, no parameter sets).
    static std::unique_ptr<Fmp4Muxer> open(std::shared_ptr<const MediaTracks> tracks, std::string* why);
    ~Fmp4Muxer();
    Fmp4Muxer(const Fmp4Muxer&) = delete;
    Fmp4Muxer& operator=(const Fmp4Muxer&) = delete;

    const std::shared_ptr<const MediaTracks>& tracks() const { return tracks_; }
    // ftyp + moov.
    const std::string& initSegment() const { return init_; }
    // The codec as MediaSource.isTypeSupported takes it ("avc1.64001f",
    // "hvc1.1.6.L93.B0"); empty when the init segment names none.
    const std::string& codec() const { return codec_; }

    // A video packet of these tracks; what it completes (the fragment of the
    // packet before it) is appended to `out`. The first packet must be a key
    // frame. `afterGap`: packets were dropped right before this one. False
    // when the muxer failed (the stream cannot go on).
    bool write(const std::shared_ptr<const MediaPacket>& packet, bool afterGap, std::string& out);

private:
    Fmp4Muxer() = default;

    std::shared_ptr<const MediaTracks> tracks_;
    AVFormatContext* context_ = nullptr;
    std::string* target_ = nullptr;  // where the muxer's bytes go now
    std::string init_;
    std::string codec_;
    int timeBaseNum_ = 1, timeBaseDen_ = 90000;
    // The packet waiting for the next one, where it goes on the output's
    // time line, and the camera's dts it had.
    std::shared_ptr<const MediaPacket> pending_;
    int64_t pendingOut_ = 0;
    int64_t pendingSource_ = 0;
    int64_t frameStep_ = 0;  // the last regular step between pictures
    bool failed_ = false;
};

// The codec string of an init segment's avcC or hvcC box ("" without one).
std::string codecStringOf(const std::string& initSegment);

}  // namespace ipcam

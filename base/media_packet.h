#pragma once
// A camera that sends coded video (H.264, H.265 over RTSP) and perhaps audio:
// its tracks and its packets, as the reader hands them on and the recording
// stores them, byte for byte, without re-encoding. The codec parameters are
// FFmpeg's own (AVCodecParameters), shared read-only by whoever needs them.

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

extern "C" {
struct AVCodecParameters;
}

namespace ipcam {

inline constexpr int64_t kNoTimestamp = std::numeric_limits<int64_t>::min();  // AV_NOPTS_VALUE

struct MediaTrack {
    bool video = false;
    // Codec, size, sample rate, extradata (SPS/PPS/VPS, AudioSpecificConfig).
    std::shared_ptr<const AVCodecParameters> params;
    // The time base of the track's timestamps.
    int timeBaseNum = 1;
    int timeBaseDen = 90000;
};

// The tracks of one connection. A new connection makes a new set (the
// camera may have changed its size or codec in between).
struct MediaTracks {
    std::vector<MediaTrack> tracks;
    int videoTrack = -1;  // index of the video track in `tracks`
};

struct MediaPacket {
    std::shared_ptr<const MediaTracks> tracks;  // the set this packet belongs to
    int track = 0;                              // index into tracks->tracks
    bool key = false;                           // a video key frame (the file may start here)
    int64_t pts = kNoTimestamp;                 // in the track's time base
    int64_t dts = kNoTimestamp;
    int64_t duration = 0;
    std::vector<uint8_t> data;                  // the coded bytes, as received

    bool isVideo() const { return tracks && track >= 0 && track < int(tracks->tracks.size()) && tracks->tracks[size_t(track)].video; }
};

// A deep copy of FFmpeg's codec parameters, freed with the last owner.
std::shared_ptr<const AVCodecParameters> copyCodecParameters(const AVCodecParameters* from);

}  // namespace ipcam

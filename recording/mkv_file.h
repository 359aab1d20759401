#pragma once
// Matroska recordings of a coded-video camera (H.264/H.265, perhaps AAC or
// G.711 audio): the packets as received, stream copy, no re-encoding, through
// FFmpeg's libavformat. The one module for this format: the writer, the crash
// recovery and what the reader (playback/mkv_reader.h) shares with them.
//
// Like the AVI writer, a recording goes into a hidden partial file in the
// recording directory itself (".recording-YYYYMMDD-HHMMSS-T[-k].mkv.partial"),
// made durable about once a second (the muxer's cluster closed, written and
// fdatasync'd), so a crash or a power cut loses at most the last second or
// two; finish() writes the trailer (cues, durations), fsyncs and renames it
// into the date folder as HHMMSS[-k]A.MKV or T.MKV, never over another file.
// A partial file a crash left is remuxed (stream copy of every packet still
// readable) into a complete file at the next start (recoverPartialMkv).

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/media_packet.h"
#include "recording/avi_writer.h"  // DiskHooks, partial and final names

extern "C" {
struct AVFormatContext;
}

namespace ipcam {

namespace mkv {
// The global tag every file of ours carries (value: the program's name).
inline constexpr char kRecorderTag[] = "IPCAM_RECORDER";
inline constexpr char kRecorderName[] = "IPCam Recorder";
// Bounds on what a file may make us hold.
inline constexpr unsigned kMaxStreams = 16;
inline constexpr int kMaxSide = 8192;
inline constexpr int64_t kMaxPixels = int64_t{8192} * 4320;
inline constexpr size_t kMaxFrames = 1u << 20;  // video pictures indexed by a reader

// Opens a Matroska file for reading (the Matroska demuxer only, no probing
// of other formats, no stream-info decoding). Null with `error` set when it
// is no Matroska file or cannot be read; `ours` tells whether it carries our
// tag. Free with closeInput.
AVFormatContext* openInput(const std::string& path, bool* ours, std::string* error);
void closeInput(AVFormatContext* input);
// The stream index of the input's video (H.264 or H.265 with a size within
// the bounds), or -1.
int videoStreamOf(const AVFormatContext* input);
}  // namespace mkv

class PartialMkvWriter {
public:
    PartialMkvWriter();
    ~PartialMkvWriter();
    PartialMkvWriter(const PartialMkvWriter&) = delete;
    PartialMkvWriter& operator=(const PartialMkvWriter&) = delete;

    // Creates the partial file in `directory` for the video track (H.264 or
    // H.265) and every audio track that Matroska takes as it is (AAC with its
    // AudioSpecificConfig, G.711 A-law and mu-law); other tracks are left out
    // and their packets dropped. The header is written with the first video
    // key frame (which takes the SPS/PPS from it when the track's codec
    // parameters carry none). False with `error` set when the file cannot
    // be created or the tracks cannot be recorded.
    bool open(const std::string& directory, const LocalDateTime& start, bool alarm, const MediaTracks& tracks,
              std::string* error);
    bool isOpen() const;
    void setHooks(const DiskHooks* hooks) { hooks_ = hooks; }

    // Renames the partial file when the suffix letter changes.
    bool setAlarm(bool alarm, std::string* error);

    // Adds one packet of the tracks given to open(). Timestamps are rebased
    // so that the file starts at 0 with its first video key frame (video
    // before it and audio before the first video packet are dropped: true,
    // nothing written), converted to the file's time base, decoding times
    // kept strictly increasing per track (jitter or a step back is evened
    // out, never refused). A packet of another set of tracks is refused
    // (false, lastErrno() 0). About once a second the muxer's cluster is
    // closed, written and synced. False with `error` set on a failed write
    // or sync (lastErrno() tells why, e.g. ENOSPC): the file then takes no
    // more packets; finish() still saves what reached the disk.
    bool append(const MediaPacket& packet, std::string* error);
    // Closes the cluster, writes it and syncs now.
    bool flush(std::string* error);

    uint32_t frames() const { return frames_; }  // video packets written
    bool alarm() const { return letter_ == 'A'; }
    uint64_t length() const;                      // bytes so far (the open cluster included)
    int lastErrno() const { return lastErrno_; }
    uint32_t elapsedMs() const { return elapsedMs_; }  // media time of the last packet, from the file's start
    const std::string& partialPath() const { return path_; }

    // Writes the trailer (cues, durations), makes the file durable and
    // renames it into `dateFolder` as `timeText` [+ "-k"] + "A.MKV" (alarm) or
    // "T.MKV". After a failed write the pictures on disk are remuxed into
    // the final file instead. The writer is closed afterwards whatever the
    // outcome; on failure the partial file stays (completed at the next
    // start), except a file holding no picture, which is removed.
    bool finish(const std::string& dateFolder, const std::string& timeText, bool alarm, std::string* finalPath,
                std::string* error);

    // Closes the file without finishing it, as a crash would (what was
    // gathered is written first, without a sync).
    void abandon();

    struct Output;  // the muxer over our own file descriptor

private:
    bool writeHeader(const MediaPacket& firstKey, std::string* error);
    bool syncNow(std::string* error);
    bool fail(int err, std::string* error);
    bool sameTracks(const MediaTracks& tracks) const;
    void closeOutput();

    std::unique_ptr<Output> out_;
    std::string directory_;
    std::string path_;
    LocalDateTime start_;
    char letter_ = 'T';
    const DiskHooks* hooks_ = nullptr;
    int lastErrno_ = 0;
    bool failed_ = false;
    bool headerWritten_ = false;
    uint32_t frames_ = 0;
    uint32_t elapsedMs_ = 0;
    uint64_t sinceSyncBytes_ = 0;
    std::chrono::steady_clock::time_point lastSync_{};

    struct Track {
        std::shared_ptr<const AVCodecParameters> params;  // held: identifies the set
        bool video = false;
        int timeBaseNum = 1, timeBaseDen = 90000;
        int stream = -1;  // output stream, -1 when left out
    };
    std::vector<Track> tracks_;
    int64_t originUs_ = 0;  // the first video key frame's time, in microseconds
    bool haveOrigin_ = false;
};

// Completes the Matroska partial file `name` in `directory`: every packet
// still readable is remuxed (stream copy) into a complete file, which is
// renamed to the final name in its date folder. A file holding no picture
// (cut off in its header, or before its first key frame) is removed; a file
// that is no recording of ours is left alone. True when a recording was
// completed.
bool recoverPartialMkv(const std::string& directory, const std::string& name);

// Remuxes whatever is readable of `partialPath` into a complete file and
// moves it to folder/timeText[-k]<letter>.MKV (a crash midway leaves the
// partial file as it was, or already complete under the partial name).
// `noPicture` is set when the file holds none.
bool completeMkvFile(const std::string& partialPath, const std::string& folder, const std::string& timeText,
                     char letter, std::string* finalPath, std::string* error, bool* noPicture = nullptr);

}  // namespace ipcam

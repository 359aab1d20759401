#include "recording/mkv_file.h"
#include "recording/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "camera/ffmpeg_limits.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

namespace ipcam {

namespace {

constexpr int kMaxUnique = 9999;
constexpr int kIoBufferSize = 64 * 1024;
constexpr AVRational kMicroseconds{1, 1000000};

std::string errnoText(int err) { return std::strerror(err); }

std::string avText(int averr) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(averr, buf, sizeof buf);
    return buf;
}

bool pwriteAll(int fd, const uint8_t* data, size_t n, uint64_t offset, int* err, const DiskHooks* hooks) {
    if (const int e = injected(hooks, n)) {
        *err = e;
        return false;
    }
    while (n > 0) {
        const ssize_t w = ::pwrite(fd, data, n, static_cast<off_t>(offset));
        if (w < 0) {
            if (errno == EINTR) continue;
            *err = errno;
            return false;
        }
        if (w == 0) {
            *err = ENOSPC;
            return false;
        }
        data += w;
        n -= static_cast<size_t>(w);
        offset += static_cast<uint64_t>(w);
    }
    return true;
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool isVideoCodec(int id) { return id == AV_CODEC_ID_H264 || id == AV_CODEC_ID_HEVC; }

// Audio that Matroska takes as it comes from the camera.
bool isRecordableAudio(const AVCodecParameters* p) {
    if (p->codec_type != AVMEDIA_TYPE_AUDIO || p->sample_rate <= 0 || p->ch_layout.nb_channels <= 0) return false;
    if (p->codec_id == AV_CODEC_ID_AAC) return p->extradata_size > 0;  // its AudioSpecificConfig
    return p->codec_id == AV_CODEC_ID_PCM_ALAW || p->codec_id == AV_CODEC_ID_PCM_MULAW;
}

bool sizeWithinBounds(const AVCodecParameters* p) {
    return p->width > 0 && p->height > 0 && p->width <= mkv::kMaxSide && p->height <= mkv::kMaxSide &&
           int64_t{p->width} * p->height <= mkv::kMaxPixels;
}

// The parameter sets (H.264 SPS/PPS, H.265 VPS/SPS/PPS) of an Annex B
// access unit, as Annex B: extradata for a track whose camera gave none.
std::vector<uint8_t> parameterSets(const uint8_t* p, size_t n, bool hevc) {
    std::vector<uint8_t> out;
    size_t i = 0;
    auto nextStart = [&](size_t from) {
        for (size_t k = from; k + 3 <= n; ++k)
            if (p[k] == 0 && p[k + 1] == 0 && p[k + 2] == 1) return k;
        return n;
    };
    i = nextStart(0);
    while (i < n) {
        const size_t begin = i + 3;
        size_t end = nextStart(begin);
        const size_t following = end;
        while (end > begin && p[end - 1] == 0) --end;  // a four-byte start code's zero, trailing zeros
        if (end > begin) {
            const int type = hevc ? (p[begin] >> 1) & 0x3f : p[begin] & 0x1f;
            const bool wanted = hevc ? (type >= 32 && type <= 34) : (type == 7 || type == 8);
            if (wanted) {
                static const uint8_t code[4] = {0, 0, 0, 1};
                out.insert(out.end(), code, code + 4);
                out.insert(out.end(), p + begin, p + end);
            }
        }
        i = following;
    }
    return out;
}

}  // namespace

namespace mkv_detail {

// Decoding times strictly increasing per stream: jitter and small steps back
// are moved to just after the last one; a large step back (the camera's
// clock restarted) shifts everything after it.
struct TimestampFix {
    int64_t lastDts = INT64_MIN;
    int64_t correction = 0;

    void apply(int64_t& pts, int64_t& dts, int64_t oneSecond) {
        pts += correction;
        dts += correction;
        if (lastDts != INT64_MIN && dts <= lastDts) {
            const int64_t shift = lastDts + 1 - dts;
            if (lastDts - dts > oneSecond) correction += shift;
            pts += shift;
            dts += shift;
        }
        if (pts < dts) pts = dts;
        lastDts = dts;
    }
};

}  // namespace mkv_detail
using mkv_detail::TimestampFix;

// ---------------------------------------------------------------------------
// The muxer over our own file descriptor: every byte goes through pwrite
// with the hooks, so a failed write (ENOSPC) reaches us with its errno.

struct PartialMkvWriter::Output {
    int fd = -1;
    uint64_t pos = 0;
    uint64_t end = 0;
    int writeErr = 0;
    const DiskHooks* hooks = nullptr;
    AVFormatContext* oc = nullptr;
    AVIOContext* pb = nullptr;
    AVPacket* pkt = nullptr;
    std::vector<TimestampFix> fixes;

#if LIBAVFORMAT_VERSION_MAJOR >= 61
    static int write(void* opaque, const uint8_t* buf, int size) {
#else
    static int write(void* opaque, uint8_t* buf, int size) {
#endif
        auto* o = static_cast<Output*>(opaque);
        if (o->writeErr != 0) return AVERROR(o->writeErr);
        int err = 0;
        if (size < 0 || !pwriteAll(o->fd, buf, static_cast<size_t>(size), o->pos, &err, o->hooks)) {
            o->writeErr = err != 0 ? err : EIO;
            return AVERROR(o->writeErr);
        }
        o->pos += static_cast<uint64_t>(size);
        o->end = std::max(o->end, o->pos);
        return size;
    }

    static int64_t seek(void* opaque, int64_t offset, int whence) {
        auto* o = static_cast<Output*>(opaque);
        if (whence & AVSEEK_SIZE) return static_cast<int64_t>(o->end);
        whence &= ~AVSEEK_FORCE;
        int64_t to = -1;
        if (whence == SEEK_SET) to = offset;
        else if (whence == SEEK_CUR) to = static_cast<int64_t>(o->pos) + offset;
        else if (whence == SEEK_END) to = static_cast<int64_t>(o->end) + offset;
        if (to < 0) return AVERROR(EINVAL);
        o->pos = static_cast<uint64_t>(to);
        return to;
    }

    // A Matroska muxer writing to `fd`. False with `error` set.
    bool create(int fileFd, const DiskHooks* diskHooks, std::string* error) {
        fd = fileFd;
        hooks = diskHooks;
        applyFfmpegLimits();
        if (avformat_alloc_output_context2(&oc, nullptr, "matroska", nullptr) < 0 || !oc) {
            *error = "the Matroska muxer is not available";
            return false;
        }
        auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
        pb = buffer ? avio_alloc_context(buffer, kIoBufferSize, 1, this, nullptr, &Output::write, &Output::seek)
                    : nullptr;
        pkt = av_packet_alloc();
        if (!pb || !pkt) {
            if (!pb) av_free(buffer);
            *error = "out of memory";
            return false;
        }
        oc->pb = pb;
        oc->flags |= AVFMT_FLAG_CUSTOM_IO;
        av_dict_set(&oc->metadata, mkv::kRecorderTag, mkv::kRecorderName, 0);
        return true;
    }

    AVStream* addStream(const AVCodecParameters* params, std::string* error) {
        AVStream* st = avformat_new_stream(oc, nullptr);
        if (!st || avcodec_parameters_copy(st->codecpar, params) < 0) {
            *error = "out of memory";
            return nullptr;
        }
        st->codecpar->codec_tag = 0;
        if (st->codecpar->codec_id == AV_CODEC_ID_PCM_ALAW || st->codecpar->codec_id == AV_CODEC_ID_PCM_MULAW) {
            if (st->codecpar->bits_per_coded_sample == 0) st->codecpar->bits_per_coded_sample = 8;
            if (st->codecpar->block_align == 0) st->codecpar->block_align = st->codecpar->ch_layout.nb_channels;
        }
        st->time_base = AVRational{1, 1000};
        fixes.emplace_back();
        return st;
    }

    // The header, written and made durable.
    bool writeHeader(std::string* error, int* err) {
        AVDictionary* opts = nullptr;
        // A cluster at least once a second: what a crash can lose.
        av_dict_set(&opts, "cluster_time_limit", "1000", 0);
        const int r = avformat_write_header(oc, &opts);
        av_dict_free(&opts);
        if (r < 0 || writeErr != 0) {
            *err = writeErr;
            *error = writeErr != 0 ? errnoText(writeErr) : "the recording's header cannot be written: " + avText(r);
            return false;
        }
        return flushAndSync(true, error, err);
    }

    // Writes what the muxer holds (the open cluster closed) and syncs.
    bool flushAndSync(bool dataOnly, std::string* error, int* err) {
        av_write_frame(oc, nullptr);
        avio_flush(pb);
        if (writeErr != 0) {
            *err = writeErr;
            *error = errnoText(writeErr);
            return false;
        }
        if (const int e = syncFile(fd, dataOnly, hooks)) {
            *err = e;
            *error = errnoText(e);
            return false;
        }
        return true;
    }

    // One packet, its timestamps in the stream's time base.
    int writePacket(int stream, const uint8_t* data, size_t size, int64_t pts, int64_t dts, int64_t duration,
                    bool key) {
        av_packet_unref(pkt);
        if (size > INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE || av_new_packet(pkt, static_cast<int>(size)) < 0)
            return AVERROR(ENOMEM);
        if (size > 0) std::memcpy(pkt->data, data, size);
        pkt->stream_index = stream;
        const AVStream* st = oc->streams[stream];
        const int64_t oneSecond = av_rescale_q(1, AVRational{1, 1}, st->time_base);
        fixes[size_t(stream)].apply(pts, dts, oneSecond);
        pkt->pts = pts;
        pkt->dts = dts;
        pkt->duration = std::max<int64_t>(0, duration);
        if (key) pkt->flags |= AV_PKT_FLAG_KEY;
        const int r = av_write_frame(oc, pkt);
        av_packet_unref(pkt);
        return r;
    }

    ~Output() {
        if (pb) {
            av_freep(&pb->buffer);
            avio_context_free(&pb);
        }
        if (oc) {
            oc->pb = nullptr;
            avformat_free_context(oc);
        }
        av_packet_free(&pkt);
        if (fd >= 0) ::close(fd);
    }
};

// ---------------------------------------------------------------------------
// Reading

namespace mkv {

AVFormatContext* openInput(const std::string& path, bool* ours, std::string* error) {
    *ours = false;
    applyFfmpegLimits();
    const AVInputFormat* format = av_find_input_format("matroska");
    AVFormatContext* ic = avformat_alloc_context();
    if (!format || !ic) {
        avformat_free_context(ic);
        *error = "the Matroska demuxer is not available";
        return nullptr;
    }
    ic->max_streams = static_cast<int>(kMaxStreams);  // bounded before anything is allocated for them
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "protocol_whitelist", "file", 0);
    const int r = avformat_open_input(&ic, ("file:" + path).c_str(), format, &opts);
    av_dict_free(&opts);
    if (r < 0) {
        *error = "not a readable Matroska file: " + avText(r);
        return nullptr;
    }
    if (ic->nb_streams == 0) {
        avformat_close_input(&ic);
        *error = "the file holds no track";
        return nullptr;
    }
    *ours = av_dict_get(ic->metadata, kRecorderTag, nullptr, 0) != nullptr;
    return ic;
}

void closeInput(AVFormatContext* input) {
    if (input) avformat_close_input(&input);
}

int videoStreamOf(const AVFormatContext* input) {
    if (!input) return -1;
    for (unsigned i = 0; i < input->nb_streams && i < kMaxStreams; ++i) {
        const AVCodecParameters* p = input->streams[i]->codecpar;
        if (p->codec_type == AVMEDIA_TYPE_VIDEO && isVideoCodec(p->codec_id) && sizeWithinBounds(p))
            return static_cast<int>(i);
    }
    return -1;
}

}  // namespace mkv

// ---------------------------------------------------------------------------
// The writer

PartialMkvWriter::PartialMkvWriter() = default;
PartialMkvWriter::~PartialMkvWriter() { abandon(); }

bool PartialMkvWriter::isOpen() const { return out_ != nullptr; }

void PartialMkvWriter::closeOutput() {
    out_.reset();
    tracks_.clear();
}

bool PartialMkvWriter::open(const std::string& directory, const LocalDateTime& start, bool alarm,
                            const MediaTracks& tracks, std::string* error) {
    abandon();
    if (directory.empty()) {
        *error = "no recording directory is set";
        return false;
    }
    const size_t v = static_cast<size_t>(tracks.videoTrack);
    if (tracks.videoTrack < 0 || v >= tracks.tracks.size() || !tracks.tracks[v].video || !tracks.tracks[v].params ||
        !isVideoCodec(tracks.tracks[v].params->codec_id)) {
        *error = "the camera sends no H.264 or H.265 video";
        return false;
    }
    if (!sizeWithinBounds(tracks.tracks[v].params.get())) {
        *error = "the camera's picture size is out of bounds";
        return false;
    }
    directory_ = directory;
    start_ = start;
    letter_ = alarm ? 'A' : 'T';
    lastErrno_ = 0;
    failed_ = false;
    headerWritten_ = false;
    haveOrigin_ = false;
    frames_ = 0;
    elapsedMs_ = 0;
    sinceSyncBytes_ = 0;

    int fd = -1;
    for (int k = 0; k <= kMaxUnique && fd < 0; ++k) {
        const std::string path = directory + "/" + partialFileName(start, letter_, k, RecordingFormat::Mkv);
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        path_ = path;
        if (fd < 0 && errno != EEXIST) {
            *error = errnoText(errno);
            return false;
        }
    }
    if (fd < 0) {
        path_ = directory + "/" + partialFileName(start, letter_, 0, RecordingFormat::Mkv);
        *error = "too many unfinished recordings of the same second";
        return false;
    }
    auto out = std::make_unique<Output>();
    bool ok = out->create(fd, hooks_, error);
    if (ok) {
        // The video first, then the audio Matroska takes as it is.
        tracks_.assign(tracks.tracks.size(), Track{});
        for (size_t i = 0; i < tracks.tracks.size(); ++i) {
            const MediaTrack& t = tracks.tracks[i];
            Track& mine = tracks_[i];
            mine.params = t.params;
            mine.video = t.video;
            mine.timeBaseNum = t.timeBaseNum > 0 ? t.timeBaseNum : 1;
            mine.timeBaseDen = t.timeBaseDen > 0 ? t.timeBaseDen : 90000;
        }
        std::vector<size_t> order{v};
        for (size_t i = 0; i < tracks.tracks.size(); ++i)
            if (i != v && tracks.tracks[i].params && !tracks.tracks[i].video &&
                isRecordableAudio(tracks.tracks[i].params.get()) && order.size() < mkv::kMaxStreams)
                order.push_back(i);
        for (size_t i : order) {
            AVStream* st = out->addStream(tracks.tracks[i].params.get(), error);
            if (!st) {
                ok = false;
                break;
            }
            tracks_[i].stream = st->index;
        }
    }
    if (!ok) {
        out.reset();  // closes fd
        ::unlink(path_.c_str());
        tracks_.clear();
        return false;
    }
    out_ = std::move(out);
    lastSync_ = std::chrono::steady_clock::now();
    return true;
}

bool PartialMkvWriter::sameTracks(const MediaTracks& tracks) const {
    // The codec parameters are held by this writer, so no other set can
    // carry the same ones at the same address.
    if (tracks.tracks.size() != tracks_.size()) return false;
    for (size_t i = 0; i < tracks_.size(); ++i)
        if (tracks.tracks[i].params.get() != tracks_[i].params.get() || tracks.tracks[i].video != tracks_[i].video)
            return false;
    return true;
}

bool PartialMkvWriter::fail(int err, std::string* error) {
    failed_ = true;
    lastErrno_ = err;
    if (error->empty()) *error = errnoText(err);
    return false;
}

bool PartialMkvWriter::writeHeader(const MediaPacket& firstKey, std::string* error) {
    AVStream* st = out_->oc->streams[tracks_[size_t(firstKey.track)].stream];
    AVCodecParameters* par = st->codecpar;
    if (par->extradata_size == 0) {
        const auto sets = parameterSets(firstKey.data.data(), firstKey.data.size(), par->codec_id == AV_CODEC_ID_HEVC);
        if (!sets.empty()) {
            par->extradata = static_cast<uint8_t*>(av_mallocz(sets.size() + AV_INPUT_BUFFER_PADDING_SIZE));
            if (par->extradata) {
                std::memcpy(par->extradata, sets.data(), sets.size());
                par->extradata_size = static_cast<int>(sets.size());
            }
        }
    }
    int err = 0;
    error->clear();
    if (!out_->writeHeader(error, &err)) {
        if (err != 0) return fail(err, error);
        failed_ = true;
        return false;
    }
    headerWritten_ = true;
    lastSync_ = std::chrono::steady_clock::now();
    return true;
}

bool PartialMkvWriter::append(const MediaPacket& packet, std::string* error) {
    if (!out_) {
        *error = "the recording file is not open";
        return false;
    }
    if (failed_) {
        *error = lastErrno_ != 0 ? errnoText(lastErrno_) : "the recording file failed";
        return false;
    }
    if (!packet.tracks || !sameTracks(*packet.tracks) || packet.track < 0 ||
        static_cast<size_t>(packet.track) >= tracks_.size()) {
        *error = "the packet belongs to another set of tracks than the recording's";
        return false;
    }
    const Track& t = tracks_[size_t(packet.track)];
    if (t.stream < 0) return true;  // a track left out of the file
    if (!headerWritten_) {
        if (!t.video || !packet.key) return true;  // the file starts with a video key frame
        if (!writeHeader(packet, error)) return false;
    }
    const AVRational tb{t.timeBaseNum, t.timeBaseDen};
    int64_t pts = packet.pts, dts = packet.dts;
    if (pts == kNoTimestamp) pts = dts;
    if (dts == kNoTimestamp) dts = pts;
    if (!haveOrigin_) {
        originUs_ = dts == kNoTimestamp ? 0 : av_rescale_q(dts, tb, kMicroseconds);
        haveOrigin_ = true;
    }
    const AVStream* st = out_->oc->streams[t.stream];
    const TimestampFix& fix = out_->fixes[size_t(t.stream)];
    if (pts == kNoTimestamp) {
        // Neither time given: just after the track's last packet.
        dts = fix.lastDts == INT64_MIN ? 0 : fix.lastDts + 1 - fix.correction;
        pts = dts;
    } else {
        const int64_t origin = av_rescale_q(originUs_, kMicroseconds, tb);
        pts = av_rescale_q(pts - origin, tb, st->time_base);
        dts = av_rescale_q(dts - origin, tb, st->time_base);
        if (!t.video && pts + fix.correction < 0) return true;  // audio from before the file's start
    }
    const int64_t duration = packet.duration > 0 ? av_rescale_q(packet.duration, tb, st->time_base) : 0;
    const int r = out_->writePacket(t.stream, packet.data.data(), packet.data.size(), pts, dts, duration,
                                    t.video && packet.key);
    if (out_->writeErr != 0) {
        error->clear();
        return fail(out_->writeErr, error);
    }
    if (r < 0) {
        *error = "the packet was refused: " + avText(r);
        lastErrno_ = 0;
        return false;
    }
    sinceSyncBytes_ += packet.data.size() + 16;
    if (t.video) {
        ++frames_;
        const int64_t ms = av_rescale_q(out_->fixes[size_t(t.stream)].lastDts, st->time_base, AVRational{1, 1000});
        elapsedMs_ = static_cast<uint32_t>(std::clamp<int64_t>(ms, 0, UINT32_MAX));
    }
    if (std::chrono::steady_clock::now() - lastSync_ >= std::chrono::seconds(1)) return syncNow(error);
    return true;
}

bool PartialMkvWriter::syncNow(std::string* error) {
    int err = 0;
    error->clear();
    if (!out_->flushAndSync(true, error, &err)) return fail(err, error);
    sinceSyncBytes_ = 0;
    // Counted from the end of the sync: a slow disk is not asked again at once.
    lastSync_ = std::chrono::steady_clock::now();
    return true;
}

bool PartialMkvWriter::flush(std::string* error) {
    if (!out_) {
        *error = "the recording file is not open";
        return false;
    }
    if (failed_) {
        *error = lastErrno_ != 0 ? errnoText(lastErrno_) : "the recording file failed";
        return false;
    }
    return headerWritten_ ? syncNow(error) : true;
}

uint64_t PartialMkvWriter::length() const {
    if (!out_) return 0;
    const int64_t told = out_->pb ? avio_tell(out_->pb) : 0;
    return std::max<uint64_t>(out_->end, told > 0 ? static_cast<uint64_t>(told) : 0) + sinceSyncBytes_;
}

bool PartialMkvWriter::setAlarm(bool alarm, std::string* error) {
    const char letter = alarm ? 'A' : 'T';
    if (!out_ || letter == letter_) return true;
    for (int k = 0; k <= kMaxUnique; ++k) {
        const std::string path = directory_ + "/" + partialFileName(start_, letter, k, RecordingFormat::Mkv);
        const int err = renameNoReplace(path_, path);
        if (err == EEXIST) continue;
        if (err != 0) {
            *error = errnoText(err);
            return false;
        }
        path_ = path;
        letter_ = letter;
        return true;
    }
    *error = "too many unfinished recordings of the same second";
    return false;
}

bool PartialMkvWriter::finish(const std::string& dateFolder, const std::string& timeText, bool alarm,
                              std::string* finalPath, std::string* error) {
    *finalPath = path_;
    if (!out_) {
        *error = "the recording file is not open";
        return false;
    }
    const char letter = alarm ? 'A' : 'T';
    if (!headerWritten_) {
        closeOutput();
        ::unlink(path_.c_str());
        *error = "the recording holds no picture";
        return false;
    }
    if (failed_) {
        // What reached the disk, remuxed into a complete file.
        closeOutput();
        bool noPicture = false;
        const bool ok = completeMkvFile(path_, dateFolder, timeText, letter, finalPath, error, &noPicture);
        if (!ok && noPicture) ::unlink(path_.c_str());
        if (ok) syncDirectory(directory_);
        return ok;
    }
    const int r = av_write_trailer(out_->oc);
    int err = 0;
    error->clear();
    bool ok = r >= 0 || out_->writeErr != 0;
    if (ok) {
        avio_flush(out_->pb);
        if (out_->writeErr != 0) {
            err = out_->writeErr;
            *error = errnoText(err);
            ok = false;
        } else if ((err = syncFile(out_->fd, false, hooks_)) != 0) {
            *error = errnoText(err);
            ok = false;
        }
    } else {
        *error = "the recording's trailer cannot be written: " + avText(r);
    }
    lastErrno_ = err;
    closeOutput();
    if (!ok) return false;
    if (!moveToFinalName(path_, dateFolder, timeText, letter, finalPath, error, RecordingFormat::Mkv)) {
        if (finalPath->empty()) *finalPath = path_;
        return false;
    }
    syncDirectory(directory_);
    return true;
}

void PartialMkvWriter::abandon() {
    if (out_ && headerWritten_ && !failed_) {
        // Keep what was gathered: the partial file is completed at the next start.
        av_write_frame(out_->oc, nullptr);
        avio_flush(out_->pb);
    }
    closeOutput();
    headerWritten_ = false;
    failed_ = false;
}

// ---------------------------------------------------------------------------
// Completing a partial file

bool completeMkvFile(const std::string& partialPath, const std::string& folder, const std::string& timeText,
                     char letter, std::string* finalPath, std::string* error, bool* noPicture) {
    if (noPicture) *noPicture = false;
    *finalPath = partialPath;
    bool ours = false;
    AVFormatContext* in = mkv::openInput(partialPath, &ours, error);
    if (!in) return false;
    const int video = mkv::videoStreamOf(in);
    if (video < 0) {
        mkv::closeInput(in);
        if (noPicture) *noPicture = true;
        *error = "the recording holds no video track";
        return false;
    }
    const std::string temp = partialPath + ".remux";
    const int fd = ::open(temp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = errnoText(errno);
        mkv::closeInput(in);
        return false;
    }
    auto out = std::make_unique<PartialMkvWriter::Output>();
    bool ok = out->create(fd, nullptr, error);
    std::vector<int> map(in->nb_streams, -1);
    for (unsigned i = 0; ok && i < in->nb_streams; ++i) {
        const AVCodecParameters* p = in->streams[i]->codecpar;
        if (static_cast<int>(i) == video || isRecordableAudio(p)) {
            const AVStream* st = out->addStream(p, error);
            if (!st) ok = false;
            else map[i] = st->index;
        } else {
            in->streams[i]->discard = AVDISCARD_ALL;
        }
    }
    int err = 0;
    uint64_t pictures = 0;
    bool headerWritten = false;
    AVPacket* pkt = av_packet_alloc();
    if (!pkt) ok = false;
    while (ok && av_read_frame(in, pkt) >= 0) {
        const int s = pkt->stream_index;
        const int to = s >= 0 && s < static_cast<int>(map.size()) ? map[size_t(s)] : -1;
        const bool isVideo = s == video;
        // The file starts with a video key frame, as the writer made it.
        if ((pkt->flags & AV_PKT_FLAG_CORRUPT) == 0 && to >= 0 && (headerWritten || (isVideo && (pkt->flags & AV_PKT_FLAG_KEY)))) {
            if (!headerWritten) {
                if (!out->writeHeader(error, &err)) {
                    ok = false;
                    break;
                }
                headerWritten = true;
            }
            const AVRational from = in->streams[s]->time_base, tb = out->oc->streams[to]->time_base;
            int64_t pts = pkt->pts == AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
            int64_t dts = pkt->dts == AV_NOPTS_VALUE ? pts : pkt->dts;
            if (pts != AV_NOPTS_VALUE) {
                const int r = out->writePacket(to, pkt->data, static_cast<size_t>(pkt->size),
                                               av_rescale_q(pts, from, tb), av_rescale_q(dts, from, tb),
                                               av_rescale_q(pkt->duration, from, tb),
                                               isVideo && (pkt->flags & AV_PKT_FLAG_KEY));
                if (out->writeErr != 0 || (r < 0 && isVideo)) {
                    *error = out->writeErr != 0 ? errnoText(out->writeErr) : avText(r);
                    ok = false;
                } else if (isVideo) {
                    ++pictures;
                }
            }
        }
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    mkv::closeInput(in);
    if (ok && pictures == 0) {
        if (noPicture) *noPicture = true;
        *error = "the recording holds no picture";
        ok = false;
    }
    if (ok) {
        const int r = av_write_trailer(out->oc);
        avio_flush(out->pb);
        if (r < 0 || out->writeErr != 0) {
            *error = out->writeErr != 0 ? errnoText(out->writeErr) : avText(r);
            ok = false;
        } else if (::fsync(out->fd) != 0) {
            *error = errnoText(errno);
            ok = false;
        }
    }
    out.reset();
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    // The complete file takes the partial file's place in one step; a
    // crash from here on leaves a complete file under the partial name.
    if (::rename(temp.c_str(), partialPath.c_str()) != 0) {
        *error = errnoText(errno);
        ::unlink(temp.c_str());
        return false;
    }
    syncDirectory(folderOf(partialPath));
    if (!moveToFinalName(partialPath, folder, timeText, letter, finalPath, error, RecordingFormat::Mkv)) {
        if (finalPath->empty()) *finalPath = partialPath;
        return false;
    }
    return true;
}

bool recoverPartialMkv(const std::string& directory, const std::string& name) {
    const auto parsed = parsePartialFileName(name);
    if (!parsed || parsed->format != RecordingFormat::Mkv) return false;
    const std::string path = directory + "/" + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    std::string error;
    bool ours = false;
    AVFormatContext* probe = mkv::openInput(path, &ours, &error);
    if (!probe) {
        // Cut off before its header was complete (the writer makes the
        // header durable with the first picture): it holds no picture.
        static const uint8_t ebml[4] = {0x1A, 0x45, 0xDF, 0xA3};
        uint8_t head[4] = {};
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        ssize_t n = 0;
        if (fd >= 0) {
            n = ::pread(fd, head, sizeof head, 0);
            ::close(fd);
        }
        if (fd >= 0 && n >= 0 && st.st_size < (1 << 20) &&
            std::memcmp(head, ebml, static_cast<size_t>(std::min<ssize_t>(n, 4))) == 0)
            ::unlink(path.c_str());
        return false;
    }
    mkv::closeInput(probe);
    if (!ours) return false;  // not one of our recordings: left alone
    const std::string folder = directory + "/" + recordingDateText(parsed->start);
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return false;
    std::string finalPath;
    bool noPicture = false;
    const bool ok = completeMkvFile(path, folder, recordingTimeText(parsed->start), parsed->letter, &finalPath,
                                    &error, &noPicture);
    if (!ok && noPicture) ::unlink(path.c_str());
    if (ok) syncDirectory(directory);
    return ok;
}

}  // namespace ipcam

#include "frontends/web/mp4_remux.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>

#include "camera/ffmpeg_limits.h"
#include "recording/mkv_file.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

namespace ipcam {

namespace {

// Packets read after a seek before the video's key frame must have come.
constexpr int kMaxPacketsBeforeKeyFrame = 20000;
// A start beyond this is no recording's time of ours (a 600-second cut).
constexpr double kMaxStartSeconds = 1e7;

std::string avText(int averr) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(averr, text, sizeof text);
    return text;
}

}  // namespace

std::unique_ptr<Mp4Remux> Mp4Remux::open(const std::string& path, double startSeconds, bool allowHevc,
                                         Problem* problem, std::string* detail) {
    *problem = Problem::Unreadable;
    std::unique_ptr<Mp4Remux> r(new Mp4Remux);
    bool ours = false;
    r->in_ = mkv::openInput(path, &ours, detail);
    if (!r->in_) return nullptr;
    const int video = mkv::videoStreamOf(r->in_);
    if (video < 0) {
        *problem = Problem::NoVideo;
        *detail = "the recording holds no H.264 or H.265 video";
        return nullptr;
    }
    if (r->in_->streams[video]->codecpar->codec_id == AV_CODEC_ID_HEVC && !allowHevc) {
        *problem = Problem::Hevc;
        *detail = "the recording's video is H.265";
        return nullptr;
    }
    const AVRational videoBase = r->in_->streams[video]->time_base;
    if (std::isfinite(startSeconds) && startSeconds > 0 && videoBase.num > 0 && videoBase.den > 0) {
        const double at = std::min(startSeconds, kMaxStartSeconds);
        const auto ts = static_cast<int64_t>(std::llround(at * videoBase.den / videoBase.num));
        if (av_seek_frame(r->in_, video, ts, AVSEEK_FLAG_BACKWARD) < 0) {
            // Not seekable (no index, cut short): from the beginning.
            mkv::closeInput(r->in_);
            r->in_ = mkv::openInput(path, &ours, detail);
            if (!r->in_) return nullptr;
        }
    }

    std::vector<Mp4OutputStream> outputs;
    const unsigned count = r->in_->nb_streams;  // bounded by the reader (mkv::kMaxStreams)
    r->outputOf_.assign(count, -1);
    r->originOf_.assign(count, 0);
    for (unsigned i = 0; i < count; ++i) {
        const AVStream* st = r->in_->streams[i];
        const AVCodecParameters* p = st->codecpar;
        const bool aac = p->codec_type == AVMEDIA_TYPE_AUDIO && p->codec_id == AV_CODEC_ID_AAC &&
                         p->extradata_size > 0 && p->sample_rate > 0;
        if (static_cast<int>(i) != video && !aac) continue;
        if (st->time_base.num <= 0 || st->time_base.den <= 0) continue;
        r->outputOf_[i] = static_cast<int>(outputs.size());
        outputs.push_back({p, st->time_base.num, st->time_base.den});
    }

    // The first picture is the key frame the seek landed on (or the first).
    r->packet_ = av_packet_alloc();
    if (!r->packet_) {
        *detail = "out of memory";
        return nullptr;
    }
    for (int n = 0;; ++n) {
        const int read = n < kMaxPacketsBeforeKeyFrame ? av_read_frame(r->in_, r->packet_) : AVERROR_INVALIDDATA;
        if (read < 0) {
            *detail = "no picture to begin with (" + avText(read) + ")";
            return nullptr;
        }
        const AVPacket* p = r->packet_;
        if (p->stream_index == video && (p->flags & AV_PKT_FLAG_KEY) && p->pts != AV_NOPTS_VALUE) break;
        av_packet_unref(r->packet_);
    }
    const int64_t origin = r->packet_->pts;
    r->startSeconds_ = std::max(0.0, static_cast<double>(origin) * av_q2d(videoBase));
    for (unsigned i = 0; i < count; ++i)
        r->originOf_[i] = av_rescale_q(origin, videoBase, r->in_->streams[i]->time_base);

    Mp4Remux* self = r.get();
    r->out_ = openFragmentedMp4(
        outputs, Fragmenting::KeyFrameOrSecond,
        [self](const uint8_t* data, size_t size) {
            try {
                self->pending_.insert(self->pending_.end(), data, data + size);
                return true;
            } catch (const std::bad_alloc&) {
                return false;  // the write fails, the output ends
            }
        },
        detail);
    if (!r->out_) return nullptr;
    r->lastDts_.assign(outputs.size(), INT64_MIN);
    if (!r->write(r->packet_)) {
        *detail = "the first picture cannot be written";
        return nullptr;
    }
    *problem = Problem::None;
    return r;
}

Mp4Remux::~Mp4Remux() {
    closeFragmentedMp4(out_);
    av_packet_free(&packet_);
    mkv::closeInput(in_);
}

bool Mp4Remux::write(AVPacket* p) {
    const int in = p->stream_index;
    const int out = in >= 0 && static_cast<size_t>(in) < outputOf_.size() ? outputOf_[static_cast<size_t>(in)] : -1;
    if (p->pts == AV_NOPTS_VALUE) p->pts = p->dts;
    if (p->dts == AV_NOPTS_VALUE) p->dts = p->pts;
    bool keep = out >= 0 && p->pts != AV_NOPTS_VALUE;
    if (keep) {
        p->pts -= originOf_[static_cast<size_t>(in)];
        p->dts -= originOf_[static_cast<size_t>(in)];
        // Before the start (audio ahead of the key frame), or out of order in
        // a damaged file: left out.
        keep = p->pts >= 0 && p->dts >= 0 && p->dts > lastDts_[static_cast<size_t>(out)];
    }
    if (!keep) {
        av_packet_unref(p);
        return true;
    }
    lastDts_[static_cast<size_t>(out)] = p->dts;
    p->stream_index = out;
    p->pos = -1;
    av_packet_rescale_ts(p, in_->streams[in]->time_base, out_->streams[out]->time_base);
    const int r = av_write_frame(out_, p);
    av_packet_unref(p);
    return r >= 0;
}

void Mp4Remux::finishOutput() {
    ended_ = true;
    if (av_write_trailer(out_) < 0) failed_ = true;
    avio_flush(out_->pb);
}

void Mp4Remux::step() {
    const int r = av_read_frame(in_, packet_);
    if (r == AVERROR(EAGAIN)) return;
    if (r < 0) {
        // The end, or where a file cut short stops being readable.
        finishOutput();
        return;
    }
    if (!write(packet_)) failed_ = true;
}

long Mp4Remux::read(uint8_t* buffer, size_t max) {
    while (taken_ == pending_.size() && !ended_ && !failed_) {
        pending_.clear();
        taken_ = 0;
        if (pending_.capacity() > 2 * kMaxFragmentBytes) pending_.shrink_to_fit();
        step();
    }
    if (taken_ < pending_.size()) {
        const size_t n = std::min(max, pending_.size() - taken_);
        std::memcpy(buffer, pending_.data() + taken_, n);
        taken_ += n;
        return static_cast<long>(n);
    }
    return failed_ ? -1 : 0;
}

}  // namespace ipcam

#include "playback/mkv_reader.h"

#include <QFileInfo>

#include <algorithm>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
#include <libswscale/swscale.h>
}

#include "playback/recorded_file.h"
#include "recording/mkv_file.h"

namespace ipcam {

namespace {
constexpr AVRational kMs{1, 1000};
// Packets a decode may read past the key frame it starts from, beyond the
// pictures in between.
constexpr int kSpareReads = 256;
constexpr int64_t kMaxIntervalMs = 10000;
}  // namespace

MkvReader::~MkvReader() { close(); }

void MkvReader::close() {
    sws_freeContext(scaler_);
    scaler_ = nullptr;
    avcodec_free_context(&decoder_);
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    mkv::closeInput(input_);
    input_ = nullptr;
    video_ = -1;
    width_ = height_ = 0;
    frames_.clear();
    frames_.shrink_to_fit();
    keyBefore_.clear();
    keyBefore_.shrink_to_fit();
    durationMs_ = lastDurationMs_ = 0;
    lastShown_ = -1;
    decoderReady_ = false;
}

MkvReader::OpenStatus MkvReader::open(const QString& path) {
    close();
    if (path.isEmpty() || !QFileInfo(path).isFile()) return OpenStatus::Unreadable;
    bool ours = false;
    std::string error;
    input_ = mkv::openInput(path.toStdString(), &ours, &error);
    if (!input_) return OpenStatus::Unreadable;
    video_ = mkv::videoStreamOf(input_);
    if (!ours || video_ < 0) {
        close();
        return OpenStatus::Foreign;
    }
    for (unsigned i = 0; i < input_->nb_streams; ++i)
        if (static_cast<int>(i) != video_) input_->streams[i]->discard = AVDISCARD_ALL;
    const AVStream* st = input_->streams[video_];
    tbNum_ = st->time_base.num > 0 ? st->time_base.num : 1;
    tbDen_ = st->time_base.den > 0 ? st->time_base.den : 1000;
    width_ = st->codecpar->width;
    height_ = st->codecpar->height;

    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    decoder_ = codec ? avcodec_alloc_context3(codec) : nullptr;
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (!decoder_ || !packet_ || !frame_ || avcodec_parameters_to_context(decoder_, st->codecpar) < 0) {
        close();
        return OpenStatus::Unreadable;
    }
    decoder_->pkt_timebase = st->time_base;
    decoder_->thread_type = FF_THREAD_SLICE;  // no frame delay
    decoder_->thread_count = 0;
    if (avcodec_open2(decoder_, codec, nullptr) < 0) {
        close();
        return OpenStatus::Unreadable;
    }

    // The pictures and their times, from the packets.
    int64_t lastDuration = 0;
    while (frames_.size() < mkv::kMaxFrames && av_read_frame(input_, packet_) >= 0) {
        if (packet_->stream_index == video_) {
            const int64_t pts = packet_->pts != AV_NOPTS_VALUE ? packet_->pts : packet_->dts;
            if (pts != AV_NOPTS_VALUE) {
                frames_.push_back({pts, (packet_->flags & AV_PKT_FLAG_KEY) != 0});
                lastDuration = packet_->duration;
            }
        }
        av_packet_unref(packet_);
    }
    if (frames_.empty()) {
        close();
        return OpenStatus::NoPictures;
    }
    std::stable_sort(frames_.begin(), frames_.end(), [](const Frame& a, const Frame& b) { return a.pts < b.pts; });
    keyBefore_.resize(frames_.size());
    int key = -1;
    for (size_t i = 0; i < frames_.size(); ++i) {
        if (frames_[i].key) key = static_cast<int>(i);
        keyBefore_[i] = key;
    }
    const AVRational tb{tbNum_, tbDen_};
    lastDurationMs_ = std::clamp<int64_t>(av_rescale_q(lastDuration, tb, kMs), 0, kMaxIntervalMs);
    if (lastDurationMs_ == 0 && frames_.size() > 1) lastDurationMs_ = std::clamp<int64_t>(frameTimeMs(frameCount() - 1) - frameTimeMs(frameCount() - 2), 0, kMaxIntervalMs);
    durationMs_ = frameTimeMs(frameCount() - 1) + lastDurationMs_;
    return OpenStatus::Opened;
}

int MkvReader::playbackLayout() const { return playbackLayoutFor(uint32_t(width_), uint32_t(height_)); }

int64_t MkvReader::frameTimeMs(int n) const {
    if (frames_.empty() || n < 0) return 0;
    if (n >= frameCount()) return durationMs_;
    return std::max<int64_t>(0, av_rescale_q(frames_[size_t(n)].pts - frames_.front().pts, AVRational{tbNum_, tbDen_}, kMs));
}

uint64_t MkvReader::secondsAt(int n) const { return static_cast<uint64_t>(frameTimeMs(n) / 1000); }

int MkvReader::intervalAfter(int n) const {
    if (n < 0 || n >= frameCount()) return 0;
    const int64_t ms = n + 1 < frameCount() ? frameTimeMs(n + 1) - frameTimeMs(n) : lastDurationMs_;
    return static_cast<int>(std::clamp<int64_t>(ms, 0, kMaxIntervalMs));
}

int MkvReader::displayIndexOf(int64_t pts) const {
    const auto it = std::lower_bound(frames_.begin(), frames_.end(), pts,
                                     [](const Frame& f, int64_t p) { return f.pts < p; });
    return it == frames_.end() ? frameCount() - 1 : static_cast<int>(it - frames_.begin());
}

bool MkvReader::decodePicture(int n, QImage& image, QSize area) {
    if (!input_ || n < 0 || n >= frameCount()) return false;
    const int key = keyBefore_[size_t(n)];
    // Playing on: the decoder goes forward from where it is, unless a key
    // frame lies in between.
    if (!(decoderReady_ && lastShown_ >= 0 && n > lastShown_ && key <= lastShown_)) {
        const int64_t from = frames_[size_t(std::max(key, 0))].pts;
        if (av_seek_frame(input_, video_, from, AVSEEK_FLAG_BACKWARD) < 0 &&
            av_seek_frame(input_, video_, frames_.front().pts, AVSEEK_FLAG_BACKWARD) < 0)
            return false;
        avcodec_flush_buffers(decoder_);
        decoderReady_ = true;
        lastShown_ = -1;
    }
    return feedAndReceive(n, image, area);
}

bool MkvReader::feedAndReceive(int n, QImage& image, QSize area) {
    const int64_t target = frames_[size_t(n)].pts;
    const int budget = n - std::max(keyBefore_[size_t(n)], 0) + kSpareReads;
    bool draining = false;
    for (int reads = 0;;) {
        const int r = avcodec_receive_frame(decoder_, frame_);
        if (r == 0) {
            int64_t pts = frame_->best_effort_timestamp;
            if (pts == AV_NOPTS_VALUE) pts = frame_->pts;
            if (pts == AV_NOPTS_VALUE || pts >= target) {
                const bool ok = convert(image, area);
                lastShown_ = pts == AV_NOPTS_VALUE ? n : displayIndexOf(pts);
                av_frame_unref(frame_);
                return ok;
            }
            av_frame_unref(frame_);
            continue;
        }
        if (r != AVERROR(EAGAIN) || draining || ++reads > budget) {
            decoderReady_ = false;
            return false;
        }
        if (av_read_frame(input_, packet_) < 0) {
            avcodec_send_packet(decoder_, nullptr);
            draining = true;
            continue;
        }
        if (packet_->stream_index == video_) avcodec_send_packet(decoder_, packet_);
        av_packet_unref(packet_);
    }
}

bool MkvReader::convert(QImage& image, QSize area) {
    const int w = frame_->width, h = frame_->height;
    if (w <= 0 || h <= 0 || w > mkv::kMaxSide || h > mkv::kMaxSide) return false;
    // Fitted into the area, its shape kept, never enlarged.
    int outW = w, outH = h;
    if (area.width() > 0 && area.height() > 0 && (w > area.width() || h > area.height())) {
        outW = area.width();
        outH = static_cast<int>(int64_t{h} * outW / w);
        if (outH > area.height()) {
            outH = area.height();
            outW = static_cast<int>(int64_t{w} * outH / h);
        }
        outW = std::max(outW, 1);
        outH = std::max(outH, 1);
    }
    scaler_ = sws_getCachedContext(scaler_, w, h, static_cast<AVPixelFormat>(frame_->format), outW, outH,
                                   AV_PIX_FMT_RGB32, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!scaler_) return false;
    QImage out(outW, outH, QImage::Format_RGB32);
    if (out.isNull()) return false;
    uint8_t* dst[4] = {out.bits(), nullptr, nullptr, nullptr};
    int dstStride[4] = {static_cast<int>(out.bytesPerLine()), 0, 0, 0};
    if (sws_scale(scaler_, frame_->data, frame_->linesize, 0, h, dst, dstStride) != outH) return false;
    image = std::move(out);
    return true;
}

}  // namespace ipcam

#include "frontends/web/fmp4_muxer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "camera/ffmpeg_limits.h"

namespace ipcam {

namespace {

constexpr int kIoBufferSize = 64 * 1024;

std::string hex2(unsigned v) {
    char text[3];
    std::snprintf(text, sizeof text, "%02x", v & 0xffu);
    return text;
}

struct SinkHolder {
    Mp4Sink sink;
};

#if LIBAVFORMAT_VERSION_MAJOR >= 61
int writeToSink(void* opaque, const uint8_t* data, int size) {
#else
int writeToSink(void* opaque, uint8_t* data, int size) {
#endif
    auto* holder = static_cast<SinkHolder*>(opaque);
    if (size < 0 || !holder->sink(data, static_cast<size_t>(size))) return AVERROR(EIO);
    return size;
}

std::string avText(int averr) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(averr, text, sizeof text);
    return text;
}

}  // namespace

AVFormatContext* openFragmentedMp4(const std::vector<Mp4OutputStream>& streams, Fragmenting fragmenting, Mp4Sink sink,
                                   std::string* error) {
    applyFfmpegLimits();
    AVFormatContext* oc = nullptr;
    if (avformat_alloc_output_context2(&oc, nullptr, "mp4", nullptr) < 0 || !oc) {
        *error = "the MP4 muxer is not available";
        return nullptr;
    }
    for (const Mp4OutputStream& out : streams) {
        AVStream* st = avformat_new_stream(oc, nullptr);
        if (!st || avcodec_parameters_copy(st->codecpar, out.params) < 0) {
            avformat_free_context(oc);
            *error = "out of memory";
            return nullptr;
        }
        // The MP4 tag for the codec; H.265 as "hvc1", the one browsers take.
        st->codecpar->codec_tag = out.params->codec_id == AV_CODEC_ID_HEVC ? MKTAG('h', 'v', 'c', '1') : 0;
        st->time_base = AVRational{out.timeBaseNum, out.timeBaseDen};
    }
    auto* holder = new SinkHolder{std::move(sink)};
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
    AVIOContext* pb =
        buffer ? avio_alloc_context(buffer, kIoBufferSize, 1, holder, nullptr, &writeToSink, nullptr) : nullptr;
    if (!pb) {
        av_free(buffer);
        delete holder;
        avformat_free_context(oc);
        *error = "out of memory";
        return nullptr;
    }
    oc->pb = pb;
    oc->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVDictionary* options = nullptr;
    if (fragmenting == Fragmenting::PerFlush) {
        av_dict_set(&options, "movflags", "empty_moov+default_base_moof+frag_keyframe+frag_custom", 0);
    } else {
        av_dict_set(&options, "movflags", "empty_moov+default_base_moof+frag_keyframe", 0);
        av_dict_set_int(&options, "frag_duration", 1000000, 0);  // microseconds
        av_dict_set_int(&options, "frag_size", static_cast<int64_t>(kMaxFragmentBytes), 0);
    }
    const int r = avformat_write_header(oc, &options);
    av_dict_free(&options);
    if (r < 0) {
        *error = "the MP4 muxer refuses the tracks: " + avText(r);
        closeFragmentedMp4(oc);
        return nullptr;
    }
    return oc;
}

void closeFragmentedMp4(AVFormatContext* oc) {
    if (!oc) return;
    if (AVIOContext* pb = oc->pb) {
        delete static_cast<SinkHolder*>(pb->opaque);
        av_freep(&pb->buffer);
        avio_context_free(&pb);
        oc->pb = nullptr;
    }
    avformat_free_context(oc);
}

std::unique_ptr<Fmp4Muxer> Fmp4Muxer::open(std::shared_ptr<const MediaTracks> tracks, std::string* why) {
    auto fail = [why](const std::string& text) -> std::unique_ptr<Fmp4Muxer> {
        if (why)
            *why = text;
        return nullptr;
    };
    if (!tracks || tracks->videoTrack < 0 || size_t(tracks->videoTrack) >= tracks->tracks.size())
        return fail("no video track");
    const MediaTrack& track = tracks->tracks[size_t(tracks->videoTrack)];
    const AVCodecParameters* params = track.params.get();
    if (!params || (params->codec_id != AV_CODEC_ID_H264 && params->codec_id != AV_CODEC_ID_HEVC))
        return fail("the video is neither H.264 nor H.265");
    if (params->extradata_size <= 0 || params->width <= 0 || params->height <= 0)
        return fail("the camera named no parameter sets for its video");
    if (track.timeBaseNum <= 0 || track.timeBaseDen <= 0)
        return fail("the video has no time base");
    applyFfmpegLimits();

    std::unique_ptr<Fmp4Muxer> m(new Fmp4Muxer);
    m->tracks_ = tracks;
    m->timeBaseNum_ = track.timeBaseNum;
    m->timeBaseDen_ = track.timeBaseDen;
    m->frameStep_ = std::max<int64_t>(1, av_rescale(40, track.timeBaseDen, int64_t(1000) * track.timeBaseNum));
    Mp4OutputStream video;
    video.params = params;
    video.timeBaseNum = track.timeBaseNum;
    video.timeBaseDen = track.timeBaseDen;
    Fmp4Muxer* self = m.get();
    auto collect = [self](const uint8_t* data, size_t size) {
        if (self->target_)
            self->target_->append(reinterpret_cast<const char*>(data), size);
        return true;
    };
    m->target_ = &m->init_;
    std::string error;
    m->context_ = openFragmentedMp4({video}, Fragmenting::PerFlush, collect, &error);
    if (!m->context_)
        return fail(error);
    avio_flush(m->context_->pb);
    m->target_ = nullptr;
    if (m->init_.empty())
        return fail("the mp4 muxer wrote no header");
    m->codec_ = codecStringOf(m->init_);
    return m;
}

Fmp4Muxer::~Fmp4Muxer() {
    closeFragmentedMp4(context_);  // no trailer: the stream simply ends
}

bool Fmp4Muxer::write(const std::shared_ptr<const MediaPacket>& packet, bool afterGap, std::string& out) {
    if (failed_ || !packet || packet->tracks != tracks_ || packet->track != tracks_->videoTrack)
        return !failed_;
    if (!pending_ && !packet->key)
        return true;  // a stream begins with a key frame
    int64_t dts = packet->dts != kNoTimestamp ? packet->dts : packet->pts;
    if (dts == kNoTimestamp)
        dts = pending_ ? pendingSource_ + frameStep_ : 0;
    int64_t nextOut = 0;
    if (pending_) {
        // The pending packet lasts until this one; a step back, a jump of
        // more than five seconds or a gap of dropped packets is one usual step.
        int64_t step = dts - pendingSource_;
        const int64_t longest = av_rescale(5, timeBaseDen_, timeBaseNum_);
        if (afterGap || step <= 0 || step > longest)
            step = frameStep_;
        else
            frameStep_ = step;
        const MediaPacket& p = *pending_;
        const int64_t pendingDts = p.dts != kNoTimestamp ? p.dts : p.pts;
        const int64_t cts = p.pts != kNoTimestamp && pendingDts != kNoTimestamp ? std::max<int64_t>(0, p.pts - pendingDts) : 0;
        AVPacket* pkt = av_packet_alloc();
        if (!pkt) {
            failed_ = true;
            return false;
        }
        pkt->data = const_cast<uint8_t*>(p.data.data());
        pkt->size = int(p.data.size());
        pkt->stream_index = 0;
        pkt->flags = p.key ? AV_PKT_FLAG_KEY : 0;
        const AVRational from{timeBaseNum_, timeBaseDen_};
        const AVRational to = context_->streams[0]->time_base;
        pkt->dts = av_rescale_q(pendingOut_, from, to);
        pkt->pts = av_rescale_q(pendingOut_ + cts, from, to);
        pkt->duration = std::max<int64_t>(1, av_rescale_q(step, from, to));
        target_ = &out;
        int result = av_write_frame(context_, pkt);
        if (result >= 0)
            result = av_write_frame(context_, nullptr);  // the fragment, now
        avio_flush(context_->pb);
        target_ = nullptr;
        av_packet_free(&pkt);
        if (result < 0) {
            failed_ = true;
            return false;
        }
        nextOut = pendingOut_ + step;
    }
    pending_ = packet;
    pendingOut_ = nextOut;
    pendingSource_ = dts;
    return true;
}

std::string codecStringOf(const std::string& init) {
    auto byte = [&](size_t at) { return static_cast<unsigned>(static_cast<uint8_t>(init[at])); };
    if (size_t at = init.find("avcC"); at != std::string::npos && at + 8 <= init.size())
        return "avc1." + hex2(byte(at + 5)) + hex2(byte(at + 6)) + hex2(byte(at + 7));
    const size_t at = init.find("hvcC");
    if (at == std::string::npos || at + 4 + 13 > init.size())
        return {};
    const size_t c = at + 4;  // the configuration record
    const unsigned space = byte(c + 1) >> 6, tier = (byte(c + 1) >> 5) & 1, profile = byte(c + 1) & 31;
    uint32_t compatible = 0;
    for (int i = 0; i < 4; ++i)
        compatible = (compatible << 8) | byte(c + 2 + size_t(i));
    uint32_t reversed = 0;
    for (int i = 0; i < 32; ++i)
        reversed |= ((compatible >> i) & 1u) << (31 - i);
    char flags[16];
    std::snprintf(flags, sizeof flags, "%X", reversed);
    std::string s = "hvc1.";
    if (space > 0)
        s += char('A' + space - 1);
    s += std::to_string(profile) + "." + flags + "." + (tier ? "H" : "L") + std::to_string(byte(c + 12));
    int last = 5;  // the constraint bytes, trailing zero bytes left out
    while (last >= 0 && byte(c + 6 + size_t(last)) == 0)
        --last;
    for (int i = 0; i <= last; ++i) {
        char b[4];
        std::snprintf(b, sizeof b, ".%X", byte(c + 6 + size_t(i)));
        s += b;
    }
    return s;
}

}  // namespace ipcam

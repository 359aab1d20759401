#pragma once
// A coded-video camera's tracks and packets for the Matroska tests, made at
// test time with FFmpeg's own encoders: solid-colour pictures (red, green,
// blue, yellow, cyan, magenta, one colour a picture) in H.264 (libx264) or
// H.265 (libx265), and a second of AAC and G.711 A-law audio beside them,
// with a camera's 90 kHz clock that does not start at 0.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
}

#include "base/media_packet.h"

namespace ipcam::media_test {

struct Camera {
    std::shared_ptr<const MediaTracks> tracks;
    std::vector<MediaPacket> packets;  // in arrival order (by time)
    int videoPackets = 0;
};

inline void colourOf(int i, int& r, int& g, int& b) {
    static const int c[6][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}, {0, 255, 255}, {255, 0, 255}};
    r = c[i % 6][0];
    g = c[i % 6][1];
    b = c[i % 6][2];
}

struct CodecDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
using CodecPtr = std::unique_ptr<AVCodecContext, CodecDeleter>;

// Sends `frame` (null: the end) and takes every packet out.
template <typename F>
inline bool drain(AVCodecContext* c, const AVFrame* frame, F&& take) {
    if (avcodec_send_frame(c, frame) < 0) return false;
    AVPacket* p = av_packet_alloc();
    while (avcodec_receive_packet(c, p) == 0) {
        take(p);
        av_packet_unref(p);
    }
    av_packet_free(&p);
    return true;
}

// `frames` pictures at `fps`, a key frame every `gop`; audio tracks when
// asked. Null tracks when the encoder is not there.
inline Camera makeCamera(AVCodecID videoCodec, int frames, int fps, int gop, bool audio, int width = 64,
                         int height = 48) {
    Camera cam;
    av_log_set_level(AV_LOG_ERROR);  // the encoders' statistics
    const char* name = videoCodec == AV_CODEC_ID_HEVC ? "libx265" : "libx264";
    const AVCodec* vc = avcodec_find_encoder_by_name(name);
    if (!vc) return cam;
    CodecPtr v(avcodec_alloc_context3(vc));
    v->width = width;
    v->height = height;
    v->pix_fmt = AV_PIX_FMT_YUV420P;
    v->time_base = AVRational{1, fps};
    v->framerate = AVRational{fps, 1};
    v->gop_size = gop;
    v->max_b_frames = 0;
    v->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;  // SPS/PPS in the extradata, as a camera's SDP gives them
    av_opt_set(v->priv_data, "preset", "ultrafast", 0);
    av_opt_set(v->priv_data, "tune", "zerolatency", 0);
    const std::string keyint = "keyint=" + std::to_string(gop) + ":min-keyint=" + std::to_string(gop) + ":scenecut=0";
    if (videoCodec == AV_CODEC_ID_HEVC)
        av_opt_set(v->priv_data, "x265-params", (keyint + ":bframes=0:log-level=error").c_str(), 0);
    else
        av_opt_set(v->priv_data, "x264-params", keyint.c_str(), 0);
    if (avcodec_open2(v.get(), vc, nullptr) < 0) return cam;

    auto tracks = std::make_shared<MediaTracks>();
    AVCodecParameters* vp = avcodec_parameters_alloc();
    avcodec_parameters_from_context(vp, v.get());
    tracks->tracks.push_back({true, copyCodecParameters(vp), 1, 90000});
    avcodec_parameters_free(&vp);
    tracks->videoTrack = 0;

    // The camera's clock starts at ten seconds, in every track's time base.
    constexpr int64_t kStartUs = 10'000'000;
    struct Timed {
        int64_t us;
        MediaPacket packet;
    };
    std::vector<Timed> all;

    AVFrame* f = av_frame_alloc();
    f->format = AV_PIX_FMT_YUV420P;
    f->width = width;
    f->height = height;
    av_frame_get_buffer(f, 0);
    auto takeVideo = [&](AVPacket* p) {
        MediaPacket m;
        m.track = 0;
        m.key = (p->flags & AV_PKT_FLAG_KEY) != 0;
        const int64_t us = kStartUs + av_rescale_q(p->pts, v->time_base, AVRational{1, 1000000});
        m.pts = av_rescale_q(us, AVRational{1, 1000000}, AVRational{1, 90000});
        m.dts = m.pts;
        m.duration = 90000 / fps;
        m.data.assign(p->data, p->data + p->size);
        all.push_back({us, std::move(m)});
    };
    for (int i = 0; i < frames; ++i) {
        av_frame_make_writable(f);
        int r, g, b;
        colourOf(i, r, g, b);
        const int y = (66 * r + 129 * g + 25 * b + 128) / 256 + 16;
        const int u = (-38 * r - 74 * g + 112 * b + 128) / 256 + 128;
        const int w = (112 * r - 94 * g - 18 * b + 128) / 256 + 128;
        for (int row = 0; row < height; ++row) std::memset(f->data[0] + row * f->linesize[0], y, size_t(width));
        for (int row = 0; row < height / 2; ++row) {
            std::memset(f->data[1] + row * f->linesize[1], u, size_t(width / 2));
            std::memset(f->data[2] + row * f->linesize[2], w, size_t(width / 2));
        }
        f->pts = i;
        f->pict_type = i % gop == 0 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        drain(v.get(), f, takeVideo);
    }
    drain(v.get(), nullptr, takeVideo);
    av_frame_free(&f);

    if (audio) {
        // AAC at 16 kHz and G.711 A-law at 8 kHz, mono, from a tenth of a
        // second before the first picture to its end.
        const double seconds = double(frames) / fps;
        struct AudioCase {
            const char* encoder;
            int rate;
            AVSampleFormat format;
            int samples;  // a packet's
        };
        for (const AudioCase& s : {AudioCase{"aac", 16000, AV_SAMPLE_FMT_FLTP, 1024}, AudioCase{"pcm_alaw", 8000, AV_SAMPLE_FMT_S16, 160}}) {
            const AVCodec* ac = avcodec_find_encoder_by_name(s.encoder);
            if (!ac) continue;
            CodecPtr a(avcodec_alloc_context3(ac));
            a->sample_rate = s.rate;
            a->sample_fmt = s.format;
            av_channel_layout_default(&a->ch_layout, 1);
            a->time_base = AVRational{1, s.rate};
            a->bit_rate = 32000;
            a->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
            if (avcodec_open2(a.get(), ac, nullptr) < 0) continue;
            const int track = int(tracks->tracks.size());
            AVCodecParameters* ap = avcodec_parameters_alloc();
            avcodec_parameters_from_context(ap, a.get());
            tracks->tracks.push_back({false, copyCodecParameters(ap), 1, s.rate});
            avcodec_parameters_free(&ap);
            const int n = a->frame_size > 0 ? a->frame_size : s.samples;
            const int64_t first = -s.rate / 10;
            auto takeAudio = [&](AVPacket* p) {
                MediaPacket m;
                m.track = track;
                m.key = true;
                m.pts = av_rescale_q(kStartUs, AVRational{1, 1000000}, AVRational{1, s.rate}) + first + p->pts;
                m.dts = m.pts;
                m.duration = p->duration;
                m.data.assign(p->data, p->data + p->size);
                all.push_back({av_rescale_q(m.pts, AVRational{1, s.rate}, AVRational{1, 1000000}), std::move(m)});
            };
            AVFrame* af = av_frame_alloc();
            for (int64_t done = 0; done < int64_t(seconds * s.rate) - first; done += n) {
                af->format = s.format;
                af->nb_samples = n;
                av_channel_layout_default(&af->ch_layout, 1);
                av_frame_get_buffer(af, 0);
                std::memset(af->data[0], 0, size_t(af->linesize[0]));
                af->pts = done;
                drain(a.get(), af, takeAudio);
                av_frame_unref(af);
            }
            drain(a.get(), nullptr, takeAudio);
            av_frame_free(&af);
        }
    }
    std::stable_sort(all.begin(), all.end(), [](const Timed& x, const Timed& y) { return x.us < y.us; });
    cam.tracks = tracks;
    for (Timed& t : all) {
        t.packet.tracks = tracks;
        if (t.packet.track == 0) ++cam.videoPackets;
        cam.packets.push_back(std::move(t.packet));
    }
    return cam;
}

}  // namespace ipcam::media_test

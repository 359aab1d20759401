#include "camera/rtsp_source.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "camera/ffmpeg_limits.h"
#include "camera/rtsp_setup_guard.h"

namespace ipcam {

namespace {

using Clock = std::chrono::steady_clock;

// "host:port" of an rtsp:// address, for the texts (never the user name or
// password). Empty when the address is no rtsp:// address.
std::string cameraLabel(const std::string& url, bool* hasCredentials) {
    *hasCredentials = false;
    static constexpr std::string_view scheme = "rtsp://";
    if (url.size() <= scheme.size()) return {};
    for (size_t i = 0; i < scheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(url[i])) != scheme[i]) return {};
    }
    std::string authority = url.substr(scheme.size(), url.find_first_of("/?#", scheme.size()) - scheme.size());
    if (const size_t at = authority.rfind('@'); at != std::string::npos) {
        *hasCredentials = true;
        authority.erase(0, at + 1);
    }
    if (authority.empty()) return {};
    // A port after the host (or after an IPv6 address's bracket).
    const size_t colon = authority.rfind(':');
    const size_t bracket = authority.rfind(']');
    if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket)) {
        authority += ":554";
    }
    return authority;
}

std::string avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

bool takenAudio(AVCodecID id) {
    return id == AV_CODEC_ID_AAC || id == AV_CODEC_ID_PCM_ALAW || id == AV_CODEC_ID_PCM_MULAW;
}

size_t eventBytes(const RtspSource::Event& e) {
    // A little for the event itself, so that a flood of tiny audio packets
    // is bounded too.
    return sizeof(RtspSource::Event) + e.packet.data.size() + static_cast<size_t>(std::max<qsizetype>(0, e.picture.sizeInBytes()));
}

}  // namespace

void RtspSource::previewSize(int width, int height, int areaWidth, int areaHeight, int* outWidth, int* outHeight) {
    areaWidth = std::max(areaWidth, 1);
    areaHeight = std::max(areaHeight, 1);
    const int64_t w = std::max(width, 1), h = std::max(height, 1);
    if (w <= areaWidth && h <= areaHeight) {
        // It fits as it is: never enlarged.
        *outWidth = int(w);
        *outHeight = int(h);
        return;
    }
    if (w * areaHeight >= int64_t(areaWidth) * h) {
        // Wider than the area: its width fills it.
        *outWidth = areaWidth;
        *outHeight = int(std::max<int64_t>(1, (h * areaWidth + w / 2) / w));
    } else {
        *outHeight = areaHeight;
        *outWidth = int(std::max<int64_t>(1, (w * areaHeight + h / 2) / h));
    }
}

// One connection, on the reader thread, from the first connect to its end.
class RtspSource::Reader {
public:
    Reader(RtspSource& owner, const Options& options) : owner_(owner), options_(options) {
        label_ = cameraLabel(options_.url, &hasCredentials_);
    }

    ~Reader() {
        sws_freeContext(scaler_);
        av_frame_free(&frame_);
        av_frame_free(&newest_);
        avcodec_free_context(&decoder_);
        av_packet_free(&packet_);
        if (input_) avformat_close_input(&input_);
    }

    void run() {
        if (label_.empty()) {
            fail("The camera address is no rtsp:// address.");
            return;
        }
        // The transport that worked last time for this camera first, else
        // TCP; the other one when the camera will not set the stream up over
        // it or sends nothing over it.
        udp_ = owner_.sentOverUdp(label_);
        Attempt a = connect();
        if (a == Attempt::OtherTransport) {
            if (input_) avformat_close_input(&input_);
            udp_ = !udp_;
            otherTried_ = true;
            a = connect();
        }
        if (a != Attempt::Connected) return;
        if (options_.decode) openDecoder();
        read();
    }

private:
    enum class Why { None, Stop, ConnectDeadline, Silence, SetupTooLarge };
    enum class Attempt { Connected, Failed, OtherTransport };

    // FFmpeg asks this between and within its blocking calls (at least every
    // 100 ms while it waits on a socket).
    static int interrupted(void* opaque) {
        auto* self = static_cast<Reader*>(opaque);
        if (self->owner_.stopping()) {
            self->why_ = Why::Stop;
            return 1;
        }
        if (self->setupGuard_ && self->setupGuard_->exceeded()) {
            self->why_ = Why::SetupTooLarge;
            return 1;
        }
        self->owner_.announceHeld();
        const auto now = Clock::now();
        if (self->streaming_ ? now - self->lastPacket_ > self->options_.silenceTimeout
                             : now > self->connectDeadline_) {
            self->why_ = self->streaming_ ? Why::Silence : Why::ConnectDeadline;
            return 1;
        }
        return 0;
    }

    // What a camera declared and FFmpeg refused to allocate (FFmpeg's limit
    // per allocation, or the decoder's).
    std::string tooLarge() const {
        return "The camera at " + label_ + " announced more data than taken (over " +
               std::to_string(kFfmpegMaxAlloc >> 20) + " MiB at once).";
    }

    // `noAnswer`: the camera is not there or stopped sending (it may be back
    // soon), not a stream or an answer that cannot be taken.
    void fail(std::string text, bool rejected = false, bool noAnswer = false) {
        Event e;
        e.type = Event::Type::Failed;
        e.rejected = rejected;
        e.noAnswer = noAnswer;
        e.error = std::move(text);
        owner_.queue(std::move(e));
    }

    // The camera's answer to a SETUP for a transport it does not send over:
    // 461, or 400 from servers that do not know the transport asked for.
    // FFmpeg gives 461 as "protocol not supported".
    static bool transportRefused(int code) {
        return code == AVERROR(EPROTONOSUPPORT) || code == AVERROR_HTTP_BAD_REQUEST;
    }

    // A failure to open that says the camera is not there (yet).
    bool noAnswer(int code) const {
        return why_ == Why::ConnectDeadline || code == AVERROR(ECONNREFUSED) || code == AVERROR(ETIMEDOUT) ||
               code == AVERROR(EHOSTUNREACH) || code == AVERROR(ENETUNREACH) || code == AVERROR(ECONNRESET) ||
               code == AVERROR(EPIPE) || code == AVERROR_EOF || code == AVERROR(EIO);
    }

    std::string openError(int code) const {
        const std::string at = "the camera at " + label_;
        if (why_ == Why::ConnectDeadline) return "No answer from " + at + ".";
        if (why_ == Why::SetupTooLarge) {
            return "The camera at " + label_ + " sent more than " +
                   std::to_string(RtspSetupGuard::kMaxSetupBytes >> 10) + " KiB while the stream was set up.";
        }
        if (code == AVERROR_HTTP_UNAUTHORIZED) {
            return hasCredentials_ ? "The camera at " + label_ + " refused the user name or password."
                                   : "The camera at " + label_ + " asks for a user name and password.";
        }
        if (code == AVERROR(ECONNREFUSED)) return "No answer from " + at + " (connection refused).";
        if (code == AVERROR(ETIMEDOUT)) return "No answer from " + at + ".";
        if (code == AVERROR_HTTP_NOT_FOUND) return "The camera at " + label_ + " has no stream at this address.";
        if (code == AVERROR_HTTP_FORBIDDEN) return "The camera at " + label_ + " refused access to the stream.";
        if (code == AVERROR(ENOMEM)) return tooLarge();
        if (transportRefused(code)) {
            const char* status = code == AVERROR_HTTP_BAD_REQUEST ? "400 Bad Request" : "461 Unsupported Transport";
            return "The camera at " + label_ + " refused to send the stream over " +
                   (otherTried_ ? "TCP and over UDP" : udp_ ? "UDP" : "TCP") + " (" + status + ").";
        }
        // Also what a reply whose body is refused for its size leaves behind.
        if (code == AVERROR_INVALIDDATA) {
            return "The camera at " + label_ +
                   " gave no RTSP stream description that can be taken (none, or too large).";
        }
        return "The camera at " + label_ + " could not be opened: " + avError(code) + ".";
    }

    // One attempt over the transport udp_ names.
    Attempt connect() {
        why_ = Why::None;
        connectDeadline_ = Clock::now() + options_.connectTimeout;
        input_ = avformat_alloc_context();
        if (!input_) {
            fail("Out of memory for the camera at " + label_ + ".");
            return Attempt::Failed;
        }
        input_->interrupt_callback = {&Reader::interrupted, this};
        AVDictionary* opts = nullptr;
        av_dict_set(&opts, "rtsp_transport", udp_ ? "udp" : "tcp", 0);
        if (udp_) {
            // RTP and RTCP on sockets of their own, on ports FFmpeg picks.
            // Packets out of order wait in the RTP demuxer's queue, bounded
            // in packets (each at most a datagram, 64 KiB) and in time (its
            // 100 ms for UDP); one that never comes is a gap in the stream,
            // not an error. The socket's receive buffer takes a burst of a
            // key frame.
            av_dict_set_int(&opts, "reorder_queue_size", kUdpReorderPackets, 0);
            av_dict_set_int(&opts, "buffer_size", kUdpReceiveBuffer, 0);
        }
        // Socket reads and writes give up on their own after the longer of
        // the two times (the callback above is the one that counts).
        const auto socketTimeout = std::max(options_.connectTimeout, options_.silenceTimeout);
        av_dict_set_int(&opts, "timeout", int64_t(std::chrono::microseconds(socketTimeout).count()), 0);
        // The stream's parameters are known from the first pictures: no
        // frame rate is measured before Connected.
        av_dict_set_int(&opts, "fpsprobesize", 0, 0);
        // A track whose parameters never show does not hold Connected up
        // past the connect deadline.
        av_dict_set_int(&opts, "analyzeduration",
                        int64_t(std::chrono::microseconds(options_.connectTimeout).count() / 2), 0);
        av_dict_set(&opts, "user_agent", "IPCam Recorder", 0);
        // What the stream description may set up: each stream holds buffers
        // of its own (a picture put together from its pieces up to the
        // allocation limit), and metadata streams are not read at all.
        av_dict_set_int(&opts, "max_streams", kMaxStreams, 0);
        av_dict_set(&opts, "allowed_media_types", "video+audio", 0);
        // The label ends in the port.
        setupGuard_.emplace(std::atoi(label_.c_str() + label_.rfind(':') + 1));
        int r = avformat_open_input(&input_, options_.url.c_str(), nullptr, &opts);
        av_dict_free(&opts);
        // Over UDP the control connection carries only the RTSP replies.
        if (r >= 0) setupGuard_->streaming(!udp_);
        setupGuard_.reset();
        if (r < 0) {
            // input_ is freed and set to null by avformat_open_input.
            if (why_ == Why::Stop) return Attempt::Failed;
            if (why_ == Why::None && transportRefused(r) && !otherTried_) return Attempt::OtherTransport;
            fail(openError(r), r == AVERROR_HTTP_UNAUTHORIZED && why_ == Why::None, noAnswer(r));
            return Attempt::Failed;
        }
        // The decoders that look at the first pictures take no larger
        // picture than the preview decoder does.
        std::vector<AVDictionary*> probeOpts(input_->nb_streams, nullptr);
        for (AVDictionary*& o : probeOpts) av_dict_set_int(&o, "max_pixels", kMaxVideoPixels, 0);
        r = avformat_find_stream_info(input_, probeOpts.data());
        for (AVDictionary*& o : probeOpts) av_dict_free(&o);
        if (why_ == Why::Stop) return Attempt::Failed;
        if (why_ == Why::ConnectDeadline) {
            // Cut off in the middle of a read: the stream is not to be
            // trusted. Set up but silent: perhaps it sends over the other
            // transport only.
            if (!otherTried_) return Attempt::OtherTransport;
            fail("The camera at " + label_ + " sends no pictures.", false, true);
            return Attempt::Failed;
        }
        if (r < 0) {
            fail(r == AVERROR(ENOMEM)
                     ? tooLarge()
                     : "The camera at " + label_ + " sends a stream that cannot be read: " + avError(r) + ".");
            return Attempt::Failed;
        }
        return takeTracks() ? Attempt::Connected : Attempt::Failed;
    }

    bool takeTracks() {
        const AVStream* video = nullptr;
        for (unsigned i = 0; i < input_->nb_streams; ++i) {
            const AVStream* st = input_->streams[i];
            if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
                (st->codecpar->codec_id == AV_CODEC_ID_H264 || st->codecpar->codec_id == AV_CODEC_ID_HEVC)) {
                video = st;
                break;
            }
        }
        if (!video) {
            fail("The camera at " + label_ + " sends no H.264 or H.265 video.");
            return false;
        }
        const AVCodecParameters* vp = video->codecpar;
        if (vp->width <= 0 || vp->height <= 0) {
            fail("The camera at " + label_ + " sends video of no known size.");
            return false;
        }
        if (vp->width > kMaxVideoSide || vp->height > kMaxVideoSide ||
            int64_t(vp->width) * vp->height > kMaxVideoPixels) {
            fail("The camera at " + label_ + " sends video of " + std::to_string(vp->width) + "x" +
                 std::to_string(vp->height) + ", larger than taken.");
            return false;
        }
        auto tracks = std::make_shared<MediaTracks>();
        trackOf_.assign(input_->nb_streams, -1);
        for (unsigned i = 0; i < input_->nb_streams; ++i) {
            AVStream* st = input_->streams[i];
            const bool isVideo = st == video;
            if (!isVideo && !(st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && takenAudio(st->codecpar->codec_id))) {
                st->discard = AVDISCARD_ALL;
                continue;
            }
            MediaTrack t;
            t.video = isVideo;
            t.params = copyCodecParameters(st->codecpar);
            if (!t.params) {
                fail("Out of memory for the camera at " + label_ + ".");
                return false;
            }
            t.timeBaseNum = st->time_base.num;
            t.timeBaseDen = st->time_base.den;
            trackOf_[i] = int(tracks->tracks.size());
            if (isVideo) tracks->videoTrack = trackOf_[i];
            tracks->tracks.push_back(std::move(t));
        }
        videoStream_ = video->index;
        tracks_ = std::move(tracks);
        // The stream came over this transport: the next connection to this
        // camera tries it first.
        owner_.rememberTransport(label_, udp_);
        Event e;
        e.type = Event::Type::Connected;
        e.tracks = tracks_;
        e.transport = udp_ ? "RTSP over UDP: the camera does not send over TCP" : "RTSP over TCP";
        return owner_.queue(std::move(e));
    }

    // The preview's decoder: no picture when it cannot be opened (the
    // packets still go on).
    void openDecoder() {
        const AVCodecParameters* vp = input_->streams[videoStream_]->codecpar;
        const AVCodec* codec = avcodec_find_decoder(vp->codec_id);
        if (!codec) return;
        decoder_ = avcodec_alloc_context3(codec);
        if (!decoder_ || avcodec_parameters_to_context(decoder_, vp) < 0) {
            avcodec_free_context(&decoder_);
            return;
        }
        // The preview only: two threads at most (one for a small stream,
        // whose pictures cost less than handing them between threads), the
        // decoder's shortcuts allowed, and no deblocking (a quarter of the
        // work, invisible once the picture is scaled down to the panel). The
        // recording is the camera's packets, untouched.
        decoder_->thread_count = vp->width > 0 && vp->width * vp->height <= 1280 * 720 ? 1 : 2;
        decoder_->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
        decoder_->flags2 |= AV_CODEC_FLAG2_FAST;
        decoder_->skip_loop_filter = AVDISCARD_ALL;
        decoder_->pkt_timebase = input_->streams[videoStream_]->time_base;
        // Bounded whatever the parameter sets in the stream say: the picture
        // size, and the pictures held at once (see budgetedBuffer).
        decoder_->max_pixels = kMaxVideoPixels;
        decoder_->opaque = &decodedBytes_;
        decoder_->get_buffer2 = &Reader::budgetedBuffer;
#if FF_API_THREAD_SAFE_CALLBACKS
        // It is safe on the decoder's threads: they call it directly.
        _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wdeprecated-declarations\"")
        decoder_->thread_safe_callbacks = 1;
        _Pragma("GCC diagnostic pop")
#endif
        if (avcodec_open2(decoder_, codec, nullptr) < 0) {
            avcodec_free_context(&decoder_);
            return;
        }
        frame_ = av_frame_alloc();
        newest_ = av_frame_alloc();
        if (!frame_ || !newest_) avcodec_free_context(&decoder_);
    }

    // The decoder's picture buffers (on its threads too), counted while they
    // are held: a stream that would hold more than kMaxDecodedBytes at once
    // gets no more pictures (the packets go on).
    struct HeldBuffer {
        AVBufferRef* buffer;
        std::atomic<int64_t>* held;
        int64_t bytes;
    };
    static void giveBack(void* opaque, uint8_t*) {
        auto* h = static_cast<HeldBuffer*>(opaque);
        av_buffer_unref(&h->buffer);
        h->held->fetch_sub(h->bytes);
        delete h;
    }
    static int budgetedBuffer(AVCodecContext* c, AVFrame* f, int flags) {
        auto* held = static_cast<std::atomic<int64_t>*>(c->opaque);
        const int bytes = av_image_get_buffer_size(AVPixelFormat(f->format), f->width, f->height, 1);
        if (bytes < 0) return bytes;
        if (held->fetch_add(bytes) + bytes > kMaxDecodedBytes) {
            held->fetch_sub(bytes);
            return AVERROR(ENOMEM);
        }
        int r = avcodec_default_get_buffer2(c, f, flags);
        // The first plane's buffer is wrapped: its release gives the bytes back.
        auto* h = r < 0 ? nullptr : new (std::nothrow) HeldBuffer{f->buf[0], held, bytes};
        AVBufferRef* wrapped = h ? av_buffer_create(f->buf[0]->data, f->buf[0]->size, &giveBack, h, 0) : nullptr;
        if (!wrapped) {
            delete h;
            held->fetch_sub(bytes);
            if (r >= 0) av_frame_unref(f);
            return r < 0 ? r : AVERROR(ENOMEM);
        }
        f->buf[0] = wrapped;
        return 0;
    }

    // The newest picture the packet gave, scaled as asked (null when the
    // decoder gave none, or nothing is to be decoded).
    QImage decode(const AVPacket* pkt, QSize* shown) {
        if (!decoder_) return {};
        const Decoding decoding = owner_.decoding();
        if (decoding == Decoding::Nothing) {
            // Nothing is decoded: what the decoder holds is of no more use.
            if (fed_) avcodec_flush_buffers(decoder_);
            fed_ = false;
            return {};
        }
        // After a pause, pictures are whole again from a key frame on.
        if (!fed_ && !(pkt->flags & AV_PKT_FLAG_KEY)) return {};
        fed_ = true;
        // A packet the decoder refuses is skipped: the next key frame heals it.
        (void)avcodec_send_packet(decoder_, pkt);
        bool have = false;
        while (avcodec_receive_frame(decoder_, frame_) == 0) {
            av_frame_unref(newest_);
            av_frame_move_ref(newest_, frame_);
            have = true;
        }
        if (!have) return {};
        QImage picture = scale(newest_, decoding == Decoding::Samples ? shown : nullptr);
        av_frame_unref(newest_);
        return picture;
    }

    // Scaled for the preview, or with `shown` to a quarter of its sides
    // (`*shown` the preview's size).
    QImage scale(const AVFrame* f, QSize* shown) {
        if (f->width <= 0 || f->height <= 0 || f->width > kMaxVideoSide || f->height > kMaxVideoSide ||
            int64_t(f->width) * f->height > kMaxVideoPixels) {
            return {};
        }
        int w = 0, h = 0;
        previewSize(f->width, f->height, options_.previewWidth, options_.previewHeight, &w, &h);
        if (shown) {
            *shown = QSize(w, h);
            w = std::max(1, w / kSampleScale);
            h = std::max(1, h / kSampleScale);
        }
        // A 4:2:0 picture at least twice the size wanted is halved first
        // (each pixel the mean of four), as often as it goes: far cheaper
        // than swscale's scaling, which is then left a smaller step, or
        // none and only the conversion to RGB.
        const AVPixelFormat format = AVPixelFormat(f->format);
        const uint8_t* planes[4] = {f->data[0], f->data[1], f->data[2], nullptr};
        int strides[4] = {f->linesize[0], f->linesize[1], f->linesize[2], 0};
        int sw = f->width, sh = f->height;
        if (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P) {
            for (int turn = 0; sw >= 2 * w && sh >= 2 * h && sw % 4 == 0 && sh % 4 == 0; turn ^= 1) {
                const int hw = sw / 2, hh = sh / 2;
                std::vector<uint8_t>& buffer = halved_[turn];
                buffer.resize(size_t(hw) * size_t(hh) * 3 / 2);
                uint8_t* to[3] = {buffer.data(), buffer.data() + size_t(hw) * hh,
                                  buffer.data() + size_t(hw) * hh + size_t(hw / 2) * (hh / 2)};
                const int toStride[3] = {hw, hw / 2, hw / 2};
                for (int p = 0; p < 3; ++p) {
                    halve(planes[p], strides[p], to[p], toStride[p], p ? hw / 2 : hw, p ? hh / 2 : hh);
                    planes[p] = to[p];
                    strides[p] = toStride[p];
                }
                sw = hw;
                sh = hh;
            }
        }
        scaler_ = sws_getCachedContext(scaler_, sw, sh, format, w, h, AV_PIX_FMT_RGB32, SWS_FAST_BILINEAR, nullptr,
                                       nullptr, nullptr);
        if (!scaler_) return {};
        // FFmpeg's RGB32 is 0xAARRGGBB in native order, as QImage's.
        QImage* target = shown ? nullptr : pooledImage(QSize(w, h));
        QImage own;
        if (!target) {
            own = QImage(w, h, QImage::Format_RGB32);
            target = &own;
        }
        if (target->isNull()) return {};
        uint8_t* dst[4] = {target->bits(), nullptr, nullptr, nullptr};
        int dstStride[4] = {int(target->bytesPerLine()), 0, 0, 0};
        if (sws_scale(scaler_, planes, strides, 0, sh, dst, dstStride) != h) return {};
        return *target;
    }

    // One plane halved: each of the dw x dh pixels written is the mean of
    // the 2x2 under it.
    static void halve(const uint8_t* from, int fromStride, uint8_t* to, int toStride, int dw, int dh) {
        for (int y = 0; y < dh; ++y) {
            const uint8_t* a = from + ptrdiff_t(2 * y) * fromStride;
            const uint8_t* b = a + fromStride;
            uint8_t* o = to + ptrdiff_t(y) * toStride;
            int x = 0;
#if defined(__SSE2__)
            const __m128i low = _mm_set1_epi16(0x00ff);
            for (; x + 16 <= dw; x += 16) {
                const auto load = [](const uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); };
                const __m128i v0 = _mm_avg_epu8(load(a + 2 * x), load(b + 2 * x));
                const __m128i v1 = _mm_avg_epu8(load(a + 2 * x + 16), load(b + 2 * x + 16));
                const __m128i even = _mm_packus_epi16(_mm_and_si128(v0, low), _mm_and_si128(v1, low));
                const __m128i odd = _mm_packus_epi16(_mm_srli_epi16(v0, 8), _mm_srli_epi16(v1, 8));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(o + x), _mm_avg_epu8(even, odd));
            }
#endif
            for (; x < dw; ++x) o[x] = uint8_t((a[2 * x] + a[2 * x + 1] + b[2 * x] + b[2 * x + 1] + 2) >> 2);
        }
    }

    // A preview picture is written straight into one of a few images that
    // are handed on in turn (from options_.images, memory a display may
    // show as it is): one is written again only when nobody else holds it
    // any more, so no picture on show or in the queue changes under its
    // reader. Null when all are held (then an ordinary image is written).
    QImage* pooledImage(QSize size) {
        for (size_t i = 0; i < pool_.size(); ++i) {
            const size_t at = (poolNext_ + i) % pool_.size();
            QImage& image = pool_[at];
            if (image.size() != size || image.format() != QImage::Format_RGB32) {
                image = QImage();
            } else if (!image.isDetached()) {
                continue;
            }
            // Whoever held it let go of it before its pixels are written.
            std::atomic_thread_fence(std::memory_order_acquire);
            if (image.isNull()) {
                image = options_.images ? options_.images(size) : QImage(size, QImage::Format_RGB32);
                if (image.size() != size || image.format() != QImage::Format_RGB32) image = QImage(size, QImage::Format_RGB32);
            }
            poolNext_ = (at + 1) % pool_.size();
            return &image;
        }
        return nullptr;
    }

    void read() {
        packet_ = av_packet_alloc();
        if (!packet_) {
            fail("Out of memory for the camera at " + label_ + ".");
            return;
        }
        streaming_ = true;
        why_ = Why::None;
        lastPacket_ = Clock::now();
        while (!owner_.stopping()) {
            const auto asked = Clock::now();
            const int r = av_read_frame(input_, packet_);
            const auto waited = Clock::now() - asked;
            if (r < 0) {
                if (why_ == Why::Stop) return;
                if (why_ == Why::Silence) {
                    const auto ms = options_.silenceTimeout.count();
                    fail("The camera at " + label_ + " sent nothing for " + std::to_string(ms / 1000) + "." +
                             std::to_string(ms % 1000 / 100) + " s.",
                         false, true);
                } else if (r == AVERROR(ENOMEM)) {
                    fail(tooLarge());
                } else if (r == AVERROR_EOF) {
                    fail("The camera at " + label_ + " ended the stream.", false, true);
                } else {
                    fail("The connection to the camera at " + label_ + " broke off: " + avError(r) + ".", false, true);
                }
                return;
            }
            lastPacket_ = Clock::now();
            const int track = packet_->stream_index >= 0 && size_t(packet_->stream_index) < trackOf_.size()
                                  ? trackOf_[size_t(packet_->stream_index)]
                                  : -1;
            if (track < 0 || packet_->size <= 0) {
                av_packet_unref(packet_);
                continue;
            }
            if (size_t(packet_->size) > kMaxPacketBytes) {
                av_packet_unref(packet_);
                fail("The camera at " + label_ + " sent a packet larger than 16 MiB.");
                return;
            }
            Event e;
            e.type = Event::Type::Packet;
            e.tracks = tracks_;
            MediaPacket& p = e.packet;
            p.tracks = tracks_;
            p.track = track;
            p.pts = packet_->pts;
            p.dts = packet_->dts;
            p.duration = packet_->duration;
            p.data.assign(packet_->data, packet_->data + packet_->size);
            if (packet_->stream_index == videoStream_) {
                p.key = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
                e.picture = decode(packet_, &e.shown);
                if (e.picture.isNull()) e.shown = QSize();
            }
            const size_t bytes = p.data.size();
            av_packet_unref(packet_);
            if (!owner_.queue(std::move(e))) return;
            // A wait for room in the queue is no silence of the camera's.
            lastPacket_ = Clock::now();
            if (!napAfter(waited, bytes)) return;
        }
    }

    // After a packet of `bytes` that took `waited` to come: the nap of a
    // reader that only records (see kMaxNapBytes). False once stopped.
    bool napAfter(Clock::duration waited, size_t bytes) {
        const auto now = Clock::now();
        if (rateSince_ == Clock::time_point{} || now - rateSince_ > std::chrono::seconds(2)) {
            rateSince_ = now;
            rateBytes_ = 0;
        }
        rateBytes_ += int64_t(bytes);
        if (udp_ || owner_.decoding() != Decoding::Nothing || waited < std::chrono::milliseconds(5)) return true;
        // Bytes a second over the last one to two seconds (at least one
        // second counted, so a first burst does not look like a flood).
        const double seconds = std::max(1.0, std::chrono::duration<double>(now - rateSince_).count());
        const double rate = double(rateBytes_) / seconds;
        auto time = std::chrono::duration_cast<Clock::duration>(RtspSource::kRecordOnlyPace);
        if (rate > 0) {
            time = std::min(time, std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                      double(RtspSource::kMaxNapBytes) / rate)));
        }
        return time < std::chrono::milliseconds(5) || owner_.nap(time);
    }

    RtspSource& owner_;
    const Options options_;
    std::string label_;
    bool hasCredentials_ = false;
    bool udp_ = false;         // this attempt's transport: RTP over UDP, else interleaved in the TCP connection
    bool otherTried_ = false;  // the first transport was refused or silent

    // Reader thread only (the interrupt callback runs on it too).
    Why why_ = Why::None;
    std::optional<RtspSetupGuard> setupGuard_;  // while avformat_open_input runs
    bool streaming_ = false;
    Clock::time_point connectDeadline_{};
    Clock::time_point lastPacket_{};

    AVFormatContext* input_ = nullptr;
    std::shared_ptr<const MediaTracks> tracks_;
    std::vector<int> trackOf_;  // stream index -> track, -1 when not taken
    int videoStream_ = -1;
    AVPacket* packet_ = nullptr;
    std::atomic<int64_t> decodedBytes_{0};  // before decoder_: outlives the pictures it counts
    AVCodecContext* decoder_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVFrame* newest_ = nullptr;
    SwsContext* scaler_ = nullptr;
    std::array<QImage, 3> pool_;  // see pooledImage
    std::vector<uint8_t> halved_[2];  // the planes of a picture halved (see scale)
    size_t poolNext_ = 0;
    bool fed_ = false;  // packets went to the decoder since it was opened or flushed
    Clock::time_point rateSince_{};  // the stream's rate, for the nap: counted since
    int64_t rateBytes_ = 0;
};

RtspSource::RtspSource() = default;

RtspSource::~RtspSource() { stop(); }

void RtspSource::start(const Options& options) {
    stop();
    applyFfmpegLimits();
    stop_.store(false);
    setDecoding(options.decoding);
    thread_ = std::thread([this, options] {
        Reader reader(*this, options);
        reader.run();
    });
}

void RtspSource::stop() {
    {
        std::lock_guard lock(mutex_);
        stop_.store(true);
    }
    space_.notify_all();
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    events_.clear();
    bytes_ = 0;
    held_.store(false);
}

bool RtspSource::queue(Event&& event) {
    const size_t n = eventBytes(event);
    const bool paced = event.type == Event::Type::Packet && decoding() == Decoding::Nothing;
    std::function<void()> notify;
    {
        std::unique_lock lock(mutex_);
        // Backpressure: the reader stops reading until the queue has room
        // (always room for one event in an empty queue); events held back
        // by the pace are announced first.
        const auto room = [&] { return stop_.load() || bytes_ == 0 || bytes_ + n <= kMaxQueuedBytes; };
        if (!room() && held_.exchange(false)) {
            announced_ = Clock::now();
            const auto tell = notify_;
            lock.unlock();
            if (tell) tell();
            lock.lock();
        }
        space_.wait(lock, room);
        if (stop_.load()) return false;
        // Called for the events waiting, and not taken yet: they are all taken together.
        const bool told = !events_.empty() && !held_.load();
        events_.push_back(std::move(event));
        bytes_ += n;
        if (!told) {
            const auto now = Clock::now();
            if (paced && now - announced_ < kRecordOnlyPace) {
                held_.store(true);
            } else {
                held_.store(false);
                announced_ = now;
                notify = notify_;
            }
        }
    }
    if (notify) notify();
    return true;
}

bool RtspSource::nap(std::chrono::steady_clock::duration time) {
    std::unique_lock lock(mutex_);
    return !space_.wait_for(lock, time, [this] { return stop_.load(); });
}

void RtspSource::announceHeld() {
    if (!held_.load(std::memory_order_relaxed)) return;
    std::function<void()> notify;
    {
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        if (!held_.load() || now - announced_ < kRecordOnlyPace) return;
        held_.store(false);
        announced_ = now;
        notify = notify_;
    }
    if (notify) notify();
}

bool RtspSource::takeEvent(Event* event) {
    {
        std::lock_guard lock(mutex_);
        if (events_.empty()) return false;
        *event = std::move(events_.front());
        events_.pop_front();
        bytes_ -= std::min(bytes_, eventBytes(*event));
    }
    space_.notify_all();
    return true;
}

void RtspSource::setEventNotifier(std::function<void()> notify) {
    std::lock_guard lock(mutex_);
    notify_ = std::move(notify);
}

bool RtspSource::sentOverUdp(const std::string& camera) const {
    std::lock_guard lock(mutex_);
    return !camera.empty() && camera == udpCamera_;
}

void RtspSource::rememberTransport(const std::string& camera, bool udp) {
    std::lock_guard lock(mutex_);
    if (udp) {
        udpCamera_ = camera;
    } else if (camera == udpCamera_) {
        udpCamera_.clear();
    }
}

size_t RtspSource::queuedBytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}

}  // namespace ipcam

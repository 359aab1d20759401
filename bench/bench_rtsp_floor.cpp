// The least a program can do with an RTSP camera's streams using the same
// libraries as the recorder: read them over TCP with libavformat, copy each
// packet once (as a recording has to), and decode the stream that is shown
// with libavcodec (one thread for a small stream, two otherwise; no
// deblocking) and convert each picture to 32-bit RGB at the preview's size
// with libswscale. Nothing shown, nothing recorded, no event loop: one
// thread per stream. bench_shown measures this process's CPU time beside the
// real program's and the pipeline's, as the floor of any program built on
// these libraries.
//
// Usage: bench_rtsp_floor <rtsp url of the stream recorded> [<rtsp url of the preview stream>]
// With one address that stream is also the one decoded. Loopback addresses
// only. Runs until a stream ends or the process is stopped.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kPreviewWidth = 640;

bool loopback(const char* url) { return std::strncmp(url, "rtsp://127.", 11) == 0; }

void readStream(const char* url, bool decode) {
    AVFormatContext* input = nullptr;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "rtsp_transport", "tcp", 0);
    const int opened = avformat_open_input(&input, url, nullptr, &options);
    av_dict_free(&options);
    if (opened < 0 || avformat_find_stream_info(input, nullptr) < 0) {
        std::fprintf(stderr, "bench_rtsp_floor: cannot read %s\n", url);
        if (input) avformat_close_input(&input);
        return;
    }
    const int video = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    AVCodecContext* decoder = nullptr;
    if (decode && video >= 0) {
        const AVCodecParameters* par = input->streams[video]->codecpar;
        const AVCodec* codec = avcodec_find_decoder(par->codec_id);
        decoder = codec ? avcodec_alloc_context3(codec) : nullptr;
        if (decoder && avcodec_parameters_to_context(decoder, par) >= 0) {
            decoder->thread_count = par->width * par->height <= 1280 * 720 ? 1 : 2;
            decoder->skip_loop_filter = AVDISCARD_ALL;
            decoder->flags2 |= AV_CODEC_FLAG2_FAST;
            if (avcodec_open2(decoder, codec, nullptr) < 0) avcodec_free_context(&decoder);
        }
    }
    SwsContext* scaler = nullptr;
    std::vector<uint8_t> rgb, copy;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    while (av_read_frame(input, packet) >= 0) {
        copy.assign(packet->data, packet->data + packet->size);
        if (decoder && packet->stream_index == video && avcodec_send_packet(decoder, packet) >= 0) {
            while (avcodec_receive_frame(decoder, frame) == 0) {
                const int w = std::min(frame->width, kPreviewWidth);
                const int h = std::max(1, frame->height * w / std::max(1, frame->width));
                scaler = sws_getCachedContext(scaler, frame->width, frame->height, AVPixelFormat(frame->format), w,
                                              h, AV_PIX_FMT_RGB32, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
                rgb.resize(size_t(w) * size_t(h) * 4);
                uint8_t* planes[4] = {rgb.data(), nullptr, nullptr, nullptr};
                int strides[4] = {w * 4, 0, 0, 0};
                if (scaler) sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, planes, strides);
                av_frame_unref(frame);
            }
        }
        av_packet_unref(packet);
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    sws_freeContext(scaler);
    avcodec_free_context(&decoder);
    avformat_close_input(&input);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: bench_rtsp_floor <rtsp url recorded> [<rtsp url shown>]\n");
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        if (!loopback(argv[i])) {
            std::fprintf(stderr, "bench_rtsp_floor: %s is not a loopback address\n", argv[i]);
            return 2;
        }
    }
    if (argc == 2) {
        readStream(argv[1], true);
        return 0;
    }
    std::thread recorded(readStream, argv[1], false);
    readStream(argv[2], true);
    recorded.join();
    return 0;
}

// ipcam-packet-digest FILE: one line for each video packet of a recording,
// "<pts> <key 0|1> <md5>", the digest over the packet's picture NAL units
// in the form ipcam-rtsp-sim --keep-sent writes for what it sent.

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/md5.h>
}

#include <cstdio>

#include "nal_units.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: ipcam-packet-digest FILE\n");
        return 2;
    }
    AVFormatContext* in = nullptr;
    if (avformat_open_input(&in, argv[1], nullptr, nullptr) < 0 || avformat_find_stream_info(in, nullptr) < 0) {
        std::fprintf(stderr, "ipcam-packet-digest: cannot read %s\n", argv[1]);
        return 1;
    }
    const int video = av_find_best_stream(in, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (video < 0) return 1;
    const AVCodecParameters* par = in->streams[video]->codecpar;
    const bool hevc = par->codec_id == AV_CODEC_ID_HEVC;
    // An avcC/hvcC header (version 1) means length-prefixed packets.
    const bool annexB = !(par->extradata_size > 0 && par->extradata[0] == 1);
    AVPacket* p = av_packet_alloc();
    while (av_read_frame(in, p) >= 0) {
        if (p->stream_index == video) {
            const auto nals = ipcam::sim::canonicalNals(p->data, static_cast<size_t>(p->size), hevc, annexB);
            uint8_t sum[16];
            av_md5_sum(sum, nals.data(), static_cast<int>(nals.size()));
            std::printf("%lld %d ", static_cast<long long>(p->pts), (p->flags & AV_PKT_FLAG_KEY) ? 1 : 0);
            for (uint8_t b : sum) std::printf("%02x", b);
            std::printf("\n");
        }
        av_packet_unref(p);
    }
    av_packet_free(&p);
    avformat_close_input(&in);
    return 0;
}

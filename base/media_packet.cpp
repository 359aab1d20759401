#include "base/media_packet.h"

extern "C" {
#include <libavcodec/codec_par.h>
}

namespace ipcam {

std::shared_ptr<const AVCodecParameters> copyCodecParameters(const AVCodecParameters* from) {
    AVCodecParameters* p = avcodec_parameters_alloc();
    if (!p) return nullptr;
    if (from && avcodec_parameters_copy(p, from) < 0) {
        avcodec_parameters_free(&p);
        return nullptr;
    }
    return std::shared_ptr<const AVCodecParameters>(p, [](const AVCodecParameters* q) {
        auto* m = const_cast<AVCodecParameters*>(q);
        avcodec_parameters_free(&m);
    });
}

}  // namespace ipcam

#include "camera/ffmpeg_limits.h"

extern "C" {
#include <libavutil/mem.h>
}

#include <mutex>

namespace ipcam {

void applyFfmpegLimits() {
    static std::once_flag once;
    std::call_once(once, [] { av_max_alloc(kFfmpegMaxAlloc); });
}

}  // namespace ipcam

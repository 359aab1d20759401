// A Matroska recording played in the web page: remuxed into fragmented MP4
// from its start and from a key frame further on, every byte read out in
// small pieces.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "frontends/web/mp4_remux.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = ::memfd_create("fuzz_web_mp4_remux", 0);
    if (fd < 0) return 0;
    if (::write(fd, data, size) != static_cast<ssize_t>(size)) {
        ::close(fd);
        return 0;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    for (const double start : {0.0, 1.0}) {
        ipcam::Mp4Remux::Problem problem;
        std::string detail;
        auto remux = ipcam::Mp4Remux::open(path, start, true, &problem, &detail);
        if (!remux) continue;
        uint8_t piece[4096];
        size_t total = 0;
        long n = 0;
        while ((n = remux->read(piece, sizeof piece)) > 0) {
            if (total == 0 && (n < 8 || std::memcmp(piece + 4, "ftyp", 4) != 0)) std::abort();
            total += static_cast<size_t>(n);
            if (remux->held() > ipcam::kMaxFragmentBytes + (size_t(32) << 20)) std::abort();
        }
    }
    ::close(fd);
    return 0;
}

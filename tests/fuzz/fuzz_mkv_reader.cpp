// A Matroska recording opened in the playback window: the packets counted,
// then the first, a middle and the last picture decoded.

#include <QImage>
#include <QString>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "playback/mkv_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = ::memfd_create("fuzz_mkv_reader", 0);
    if (fd < 0) return 0;
    if (::write(fd, data, size) != static_cast<ssize_t>(size)) {
        ::close(fd);
        return 0;
    }
    ipcam::MkvReader reader;
    if (reader.open(QString("/proc/self/fd/%1").arg(fd)) == ipcam::MkvReader::OpenStatus::Opened) {
        const int n = reader.frameCount();
        if (n <= 0) std::abort();
        QImage image;
        for (const int i : {0, n / 2, n - 1}) reader.decodePicture(i, image, QSize(160, 120));
        if (reader.decodePicture(n, image, QSize(160, 120))) std::abort();
    }
    reader.close();
    ::close(fd);
    return 0;
}

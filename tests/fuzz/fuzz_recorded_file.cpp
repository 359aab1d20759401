// A file opened in the playback window: the header and index checks, then
// the first and the last picture read and decoded.

#include <QBuffer>
#include <QByteArray>
#include <QImage>

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "camera/jpeg_decoder.h"
#include "playback/recorded_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ipcam::JpegDecoder decoder;
    static QImage image;
    auto device = std::make_unique<QBuffer>();
    device->setData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    ipcam::RecordedFile file;
    if (file.openDevice(std::move(device)) != ipcam::RecordedFile::OpenStatus::Opened) return 0;
    if (file.frameCount() <= 0 || static_cast<uint32_t>(file.frameCount()) > file.frameTotal()) std::abort();
    QByteArray picture;
    for (const int n : {0, file.frameCount() - 1}) {
        if (file.readPicture(n, picture)) {
            if (static_cast<size_t>(picture.size()) > size) std::abort();
            decoder.decode(reinterpret_cast<const uint8_t*>(picture.constData()), static_cast<size_t>(picture.size()),
                           image);
        }
    }
    if (file.readPicture(file.frameCount(), picture) || !picture.isEmpty()) std::abort();
    return 0;
}

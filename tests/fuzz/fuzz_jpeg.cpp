// One picture through the JPEG decoder the preview and playback use: at full
// size, then for the smallest preview panel into the same image, so that
// reusing the decoder and the image and the scaled decode are covered.

#include <QImage>

#include <cstdint>
#include <cstdlib>

#include "camera/jpeg_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ipcam::JpegDecoder decoder;
    static QImage image;
    const QImage before = image;
    if (decoder.decode(data, size, image)) {
        if (image.isNull() || image.format() != QImage::Format_RGB32) std::abort();
        const QImage full = image;
        if (decoder.decode(data, size, image, 160, 120)) {  // the same picture, scaled
            if (image.format() != QImage::Format_RGB32 || image.width() > full.width() ||
                image.height() > full.height()) {
                std::abort();
            }
        } else if (image.constBits() != full.constBits() || image.size() != full.size()) {
            std::abort();
        }
    } else if (image.constBits() != before.constBits() || image.size() != before.size()) {
        std::abort();  // a rejected picture must leave the last good one as it was
    }
    return 0;
}

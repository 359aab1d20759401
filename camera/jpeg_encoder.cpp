#include "camera/jpeg_encoder.h"

#include <QImage>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace ipcam {

namespace {

struct EncodeErrors {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

extern "C" void onEncodeError(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<EncodeErrors*>(cinfo->err)->jump, 1);
}

extern "C" void onEncodeMessage(j_common_ptr) {}

}  // namespace

std::vector<uint8_t> encodeJpeg(const QImage& picture, int quality) {
    if (picture.isNull() || picture.width() <= 0 || picture.height() <= 0) {
        return {};
    }
    const QImage rgb = picture.format() == QImage::Format_RGB32 || picture.format() == QImage::Format_ARGB32
                           ? picture
                           : picture.convertToFormat(QImage::Format_RGB32);
    if (rgb.isNull()) {
        return {};
    }
    jpeg_compress_struct cinfo{};
    EncodeErrors err{};
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = onEncodeError;
    err.pub.output_message = onEncodeMessage;
    // libjpeg's memory destination: the buffer it grows, freed with free().
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::free(buffer);
        return {};
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(rgb.width());
    cinfo.image_height = static_cast<JDIMENSION>(rgb.height());
    // RGB32 is 0xffRRGGBB in native order (B, G, R, X bytes here).
    cinfo.input_components = 4;
#if Q_BYTE_ORDER == Q_BIG_ENDIAN
    cinfo.in_color_space = JCS_EXT_XRGB;
#else
    cinfo.in_color_space = JCS_EXT_BGRX;
#endif
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, std::clamp(quality, 1, 100), TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        // libjpeg does not write through the row; its type just lacks const.
        JSAMPROW row = const_cast<JSAMPROW>(rgb.constScanLine(static_cast<int>(cinfo.next_scanline)));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<uint8_t> out(buffer, buffer + size);
    std::free(buffer);
    return out;
}

}  // namespace ipcam

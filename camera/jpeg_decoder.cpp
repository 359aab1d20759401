#include "camera/jpeg_decoder.h"

#include <QImage>

#include <csetjmp>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

namespace ipcam {

namespace {

struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

extern "C" void onJpegError(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    std::longjmp(err->jump, 1);
}

extern "C" void onJpegMessage(j_common_ptr) {
    // Warnings about trailing bytes after the picture are expected: the
    // camera's boundary line stays with each picture.
}

// Each side of a picture decoded at 1/denom, as libjpeg rounds it: up.
uint64_t scaledSide(uint32_t side, unsigned denom) { return (side + denom - 1) / denom; }

// The smallest scale whose image still covers fillWidth x fillHeight,
// then smaller while the image would exceed kMaxFillPixels.
unsigned fillScale(uint32_t width, uint32_t height, int fillWidth, int fillHeight) {
    const auto covers = [&](unsigned denom) {
        return scaledSide(width, denom) >= static_cast<uint64_t>(fillWidth) &&
               scaledSide(height, denom) >= static_cast<uint64_t>(fillHeight);
    };
    unsigned denom = 1;
    while (denom < 8 && covers(denom * 2)) {
        denom *= 2;
    }
    while (denom < 8 && scaledSide(width, denom) * scaledSide(height, denom) > JpegDecoder::kMaxFillPixels) {
        denom *= 2;
    }
    return denom;
}

}  // namespace

struct JpegDecoder::Impl {
    jpeg_decompress_struct cinfo{};
    ErrorManager err{};
    // A picture that fails half-way is decoded here first, so the preview
    // keeps its last good picture. Reused between pictures.
    QImage scratch;

    Impl() {
        cinfo.err = jpeg_std_error(&err.pub);
        err.pub.error_exit = onJpegError;
        err.pub.output_message = onJpegMessage;
        jpeg_create_decompress(&cinfo);
    }
    ~Impl() { jpeg_destroy_decompress(&cinfo); }
};

JpegDecoder::JpegDecoder() : impl_(std::make_unique<Impl>()) {}
JpegDecoder::~JpegDecoder() = default;

bool JpegDecoder::decode(const uint8_t* data, size_t size, QImage& target) {
    return decodeAt(data, size, target, 0, 0);
}

bool JpegDecoder::decode(const uint8_t* data, size_t size, QImage& target, int fillWidth, int fillHeight) {
    return decodeAt(data, size, target, fillWidth > 0 ? fillWidth : 1, fillHeight > 0 ? fillHeight : 1);
}

bool JpegDecoder::decodeAt(const uint8_t* data, size_t size, QImage& target, int fillWidth, int fillHeight) {
    if (data == nullptr || size < 4) {
        return false;
    }
    jpeg_decompress_struct& cinfo = impl_->cinfo;
    QImage& out = impl_->scratch;
    if (setjmp(impl_->err.jump)) {
        jpeg_abort_decompress(&cinfo);
        return false;
    }
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
        jpeg_abort_decompress(&cinfo);
        return false;
    }
    // Bounded before anything is allocated for the picture.
    if (cinfo.image_width == 0 || cinfo.image_height == 0 || cinfo.image_width > kMaxSide ||
        cinfo.image_height > kMaxSide ||
        static_cast<uint64_t>(cinfo.image_width) * cinfo.image_height > kMaxPixels) {
        jpeg_abort_decompress(&cinfo);
        return false;
    }
    // QImage::Format_RGB32 is 0xffRRGGBB in native order: B, G, R, X bytes.
    cinfo.out_color_space = JCS_EXT_BGRX;
    // Scaled in the inverse DCT itself: no full-size image is ever made.
    cinfo.scale_num = 1;
    cinfo.scale_denom = fillWidth > 0 ? fillScale(cinfo.image_width, cinfo.image_height, fillWidth, fillHeight) : 1;
    jpeg_start_decompress(&cinfo);
    const int w = static_cast<int>(cinfo.output_width);
    const int h = static_cast<int>(cinfo.output_height);
    // Decode into whichever of the two images is not on show, so that a
    // picture that fails half-way never reaches the preview.
    if (out.width() != w || out.height() != h || out.format() != QImage::Format_RGB32) {
        out = QImage(w, h, QImage::Format_RGB32);
        if (out.isNull()) {
            // Out of memory: nothing is written through a null image.
            jpeg_abort_decompress(&cinfo);
            return false;
        }
    }
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = out.scanLine(static_cast<int>(cinfo.output_scanline));
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    // Swap rather than copy: the shown image's buffer becomes the next scratch.
    std::swap(out, target);
    if (out.width() != w || out.height() != h) {
        out = QImage();
    }
    return true;
}

}  // namespace ipcam

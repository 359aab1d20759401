#pragma once
// Decodes a JPEG picture held in memory straight into the pixels of a
// QImage (Format_RGB32), reusing the image's memory when the size matches.
// One decoder object is created once and reused for every picture.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

class QImage;
class QSize;

namespace ipcam {

class JpegDecoder {
public:
    // The largest picture taken: 2592 x 1944 (5 Mpx), no side longer than
    // kMaxSide. A frame header that claims more is refused after reading the
    // header alone, before anything is allocated for the pixels.
    static constexpr uint64_t kMaxPixels = 2592u * 1944u;
    static constexpr uint32_t kMaxSide = 4096;

    JpegDecoder();
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;

    // The picture at its full size, at libjpeg's best quality.
    // Returns false for a picture the decoder rejects (broken, or larger
    // than the bound above, or its image could not be allocated); `target`
    // is then left exactly as it was (the last good picture stays).
    bool decode(const uint8_t* data, size_t size, QImage& target);

    // The picture for a preview area of areaWidth x areaHeight: the whole
    // picture fitted into the area, its aspect ratio kept (see fittedSize),
    // never enlarged. It is decoded at the smallest of libjpeg's scales 1/1,
    // 1/2, 1/4, 1/8 whose image is at least that size; when that scale does
    // not give the size exactly, the decoded rows are scaled down to it
    // (each pixel from the nearest half source pixel) as they come, so no
    // larger image is ever kept. The preview
    // takes libjpeg's faster inverse DCT and chroma upsampling. Returns and
    // leaves `target` as above.
    bool decode(const uint8_t* data, size_t size, QImage& target, int areaWidth, int areaHeight);

    // Where the decoder's images come from, e.g. memory a display reads
    // without a copy; unset: ordinary QImages. An image that is null or not
    // of the size asked for (Format_RGB32) is replaced by an ordinary one.
    using ImageAllocator = std::function<QImage(QSize)>;
    void setImageAllocator(ImageAllocator allocator);

    // The size a picture of width x height takes when fitted into an area:
    // as large as fits with its aspect ratio kept, but never larger than the
    // picture itself; each side at least 1.
    static QSize fittedSize(int width, int height, int areaWidth, int areaHeight);

private:
    // areaWidth 0: full size.
    bool decodeAt(const uint8_t* data, size_t size, QImage& target, int areaWidth, int areaHeight);

    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ipcam

#pragma once
// Decodes a JPEG picture held in memory straight into the pixels of a
// QImage (Format_RGB32), reusing the image's memory when the size matches.
// One decoder object is created once and reused for every picture.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QImage;
class QSize;

namespace ipcam {

class JpegDecoder {
public:
    // The largest picture taken: 8192 x 8192 pixels (64 Mpx), each side up
    // to the format's own 65535. A frame header that claims more is refused
    // after reading the header alone, before anything is allocated for the
    // pixels. A scaled preview allocates by its output size only (it is
    // decoded at down to 1/8 of each side); libjpeg's own working memory, which a
    // progressive picture needs for its whole size, is held to
    // kMaxWorkingBytes.
    static constexpr uint64_t kMaxPixels = 8192u * 8192u;
    static constexpr uint32_t kMaxSide = 65535;
    // A decode at full size makes an image of the source size: up to
    // 4096 x 4096 pixels (64 MiB), which a 12 Mpx picture still fits.
    static constexpr uint64_t kMaxFullSizePixels = 4096u * 4096u;
    static constexpr long kMaxWorkingBytes = 128L * 1024 * 1024;

    JpegDecoder();
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;

    // The picture at its full size, at libjpeg's best quality.
    // Returns false for a picture the decoder rejects (broken, or larger
    // than the bounds above, or its image could not be allocated); `target`
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

    // For motion detection alone, while nobody looks at the picture: decoded
    // at 1/8 of each side, libjpeg's smallest scale (the detector's points,
    // 40 x 30 preview pixels apart, are still 5 x 3.75 decoded pixels
    // apart when the preview shows the picture at its full size), with the
    // preview's faster paths. `*shown` is set to the size the preview of
    // the same area would have (fittedSize): each decoded pixel stands for
    // the preview pixels over the same part of the picture. Returns and
    // leaves `target` as above.
    bool decodeSamples(const uint8_t* data, size_t size, QImage& target, int areaWidth, int areaHeight, QSize* shown);
    static constexpr int kSampleScale = 8;

    // Why the last decode returned false, in a few words (libjpeg's own
    // message for a broken picture); empty after a picture that decoded.
    const std::string& refusal() const { return refusal_; }

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
    // areaWidth 0: full size. `shown` set: at 1/8 for sampling (see decodeSamples).
    bool decodeAt(const uint8_t* data, size_t size, QImage& target, int areaWidth, int areaHeight,
                  QSize* shown = nullptr);

    bool refuse(std::string why);

    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string refusal_;
};

}  // namespace ipcam

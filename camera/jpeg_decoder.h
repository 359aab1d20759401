#pragma once
// Decodes a JPEG picture held in memory straight into the pixels of a
// QImage (Format_RGB32), reusing the image's memory when the size matches.
// One decoder object is created once and reused for every picture.

#include <cstddef>
#include <cstdint>
#include <memory>

class QImage;

namespace ipcam {

class JpegDecoder {
public:
    // The largest picture taken: 2592 x 1944 (5 Mpx), no side longer than
    // kMaxSide. A frame header that claims more is refused after reading the
    // header alone, before anything is allocated for the pixels.
    static constexpr uint64_t kMaxPixels = 2592u * 1944u;
    static constexpr uint32_t kMaxSide = 4096;
    // The largest image a decode for an area to fill gives (4 bytes a pixel:
    // 8 MiB). Only a picture of an odd shape needs the bound: it then takes
    // the next smaller scale, even if that leaves the area a little short.
    static constexpr uint64_t kMaxFillPixels = 2u * 1024u * 1024u;

    JpegDecoder();
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;

    // The picture at its full size.
    // Returns false for a picture the decoder rejects (broken, or larger
    // than the bound above, or its image could not be allocated); `target`
    // is then left exactly as it was (the last good picture stays).
    bool decode(const uint8_t* data, size_t size, QImage& target);

    // The picture for an area of fillWidth x fillHeight: decoded at the
    // smallest of libjpeg's scales 1/1, 1/2, 1/4, 1/8 whose image still
    // covers the area on both sides (1/1 when even the full picture does
    // not), never decoded at full size and scaled afterwards. At 1/1 the
    // image is exactly the full-size decode. Returns and leaves `target` as
    // above.
    bool decode(const uint8_t* data, size_t size, QImage& target, int fillWidth, int fillHeight);

private:
    // fillWidth 0: full size.
    bool decodeAt(const uint8_t* data, size_t size, QImage& target, int fillWidth, int fillHeight);

    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ipcam

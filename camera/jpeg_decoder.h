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
    // The largest picture held: the camera sends 640 x 480 at most, and one
    // decoded image (4 bytes a pixel) stays at 8 MiB. A frame header that
    // claims more, or a side longer than kMaxSide, is refused after reading
    // the header alone, before anything is allocated for the pixels.
    static constexpr uint64_t kMaxPixels = 2u * 1024u * 1024u;
    static constexpr uint32_t kMaxSide = 4096;

    JpegDecoder();
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;

    // Returns false for a picture the decoder rejects (broken, or larger
    // than the bound above, or its image could not be allocated); `target`
    // is then left exactly as it was (the last good picture stays).
    bool decode(const uint8_t* data, size_t size, QImage& target);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ipcam

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
    JpegDecoder();
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;

    // Returns false for a picture the decoder rejects; `target` is then left
    // exactly as it was (the last good picture stays).
    bool decode(const uint8_t* data, size_t size, QImage& target);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ipcam

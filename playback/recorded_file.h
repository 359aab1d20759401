#pragma once
// The recorded-file reader: opens one Motion-JPEG AVI file written by this
// program, checks the fixed header marks and serves single pictures by number
// through the idx1 index. Only the 512-byte header and the index are read at
// open; picture bytes are fetched on demand, so opening a 600-second
// recording costs the same as opening a short one.
//
// The reader never trusts a header field or an index entry: everything is
// checked against the real length of the file. A file whose index holds
// fewer entries than its header's frame count, or whose last entries point
// past its end, opens with the pictures it really has (frameCount()).

#include <QByteArray>
#include <QIODevice>
#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "camera/jpeg_decoder.h"
#include "playback/picture_source.h"

namespace ipcam {

// Offsets and marks of the fixed header.
namespace recorded {
inline constexpr int kHeaderSize = 512;
inline constexpr int kMoviListSizeOffset = 504;
inline constexpr int kIndexBase = 516;          // first idx1 entry = movi list size + 516
inline constexpr int kChunkDataBase = 516;      // picture bytes = dwChunkOffset + 516
inline constexpr int kIndexEntrySize = 16;
inline constexpr int kFrameDurationOffset = 128;  // strh dwScale
inline constexpr int kFrameTotalOffset = 140;     // strh dwLength
inline constexpr int kWidthOffset = 64;           // avih dwWidth
inline constexpr int kHeightOffset = 68;          // avih dwHeight
}  // namespace recorded

// Picture size class: 0 for 640 x 480, 2 for 160 x 120, 1 for anything else.
int playbackLayoutFor(uint32_t width, uint32_t height);

// Whole seconds at which picture n starts: floor(n x frameDuration / 1000000),
// exact in integers.
uint64_t frameSeconds(uint64_t n, uint32_t frameDuration);

// "hh:mm:ss" of a count of seconds (hours are not wrapped).
std::string formatClock(uint64_t seconds);

// The playback timer's period in whole milliseconds.
int frameInterval(uint32_t frameDuration);

class RecordedFile : public PictureSource {
public:
    enum class OpenStatus {
        Opened,
        Unreadable,   // missing, unreadable or not a regular file
        TooShort,     // shorter than the 512-byte header
        Foreign,      // not a recording of this program
        NoPictures,   // a recording of this program, but no picture is reachable
    };

    RecordedFile() = default;
    RecordedFile(const RecordedFile&) = delete;
    RecordedFile& operator=(const RecordedFile&) = delete;

    // Opens the file at path. Whatever was open before is closed first.
    OpenStatus openRecordedFile(const QString& path);
    // Same checks on any readable, seekable device (e.g. a QBuffer). The
    // reader takes ownership; the device may be open or not.
    OpenStatus openDevice(std::unique_ptr<QIODevice> device);

    void close() override;
    bool isOpen() const override { return device_ != nullptr; }

    // Header values of the open file (0 when nothing is open).
    uint32_t frameTotal() const { return frameTotal_; }
    uint32_t frameDuration() const { return frameDuration_; }
    uint64_t indexStart() const { return indexStart_; }
    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }
    int playbackLayout() const override { return playbackLayoutFor(width_, height_); }

    // Pictures that can really be served: at most frameTotal(), and only
    // those whose index entries lie inside the file.
    int frameCount() const override { return static_cast<int>(index_.size()); }

    // PictureSource: every picture lasts frameDuration(); a picture is
    // decoded at its own size whatever the area.
    uint64_t secondsAt(int n) const override { return frameSeconds(static_cast<uint64_t>(n < 0 ? 0 : n), frameDuration_); }
    int intervalAfter(int) const override { return frameInterval(frameDuration_); }
    bool decodePicture(int n, QImage& image, QSize area) override;

    // Reads the bytes of picture n (with its pad byte, if any) into out.
    // False when n is out of range, the entry points outside the file or the
    // read fails; out is then empty.
    bool readPicture(int n, QByteArray& out);

private:
    struct Entry {
        uint64_t offset = 0;  // file offset of the picture bytes
        uint32_t length = 0;
    };

    OpenStatus fail(OpenStatus status);

    std::unique_ptr<QIODevice> device_;
    uint64_t fileSize_ = 0;
    uint32_t frameTotal_ = 0;
    uint32_t frameDuration_ = 0;
    uint64_t indexStart_ = 0;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    std::vector<Entry> index_;
    JpegDecoder decoder_;
    QByteArray pictureBytes_;
};

}  // namespace ipcam

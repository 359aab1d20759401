#pragma once
// Byte layout of our Motion-JPEG AVI recordings: a fixed 512-byte header,
// "00dc" picture chunks back to back from offset 512, and a trailing "idx1"
// index. Playback checks fields at fixed offsets, so every field stands at
// exactly the offset written here. All integers are little-endian.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace ipcam::avi {

constexpr size_t kHeaderSize = 512;
// Index offsets are counted from the "movi" FourCC at offset 508.
constexpr uint32_t kMoviBase = 508;
constexpr size_t kChunkHeaderSize = 8;
constexpr size_t kIndexEntrySize = 16;
constexpr uint32_t kKeyFrameFlag = 0x10;
// FrameIndex capacity: a file never holds more pictures than this.
constexpr uint32_t kMaxFrames = 30000;

// Header field offsets patched at the finish.
constexpr size_t kOffRiffSize = 4;
constexpr size_t kOffMicroSecPerFrame = 32;
constexpr size_t kOffTotalFrames = 48;
constexpr size_t kOffWidth = 64;
constexpr size_t kOffHeight = 68;
constexpr size_t kOffScale = 128;
constexpr size_t kOffLength = 140;
constexpr size_t kOffMakerText = 220;
constexpr size_t kOffMoviSize = 504;

struct IndexEntry {
    uint32_t offset = 0;  // chunk's file offset - 508
    uint32_t length = 0;  // padded picture length
    bool operator==(const IndexEntry&) const = default;
};

struct PictureSize {
    uint32_t width;
    uint32_t height;
};

// 0 -> 640x480, 2 -> 160x120, anything else -> 320x240.
PictureSize pictureSize(uint8_t resolution);

// Names the pictures' size in a header: avih, the stream's frame, strf and
// its image size.
void setPictureSize(uint8_t* header, uint32_t width, uint32_t height);

// The size a JPEG's frame header (SOFn) gives, looked for among the marker
// segments before the first scan, within the `n` bytes only; nullopt when
// there is none.
std::optional<PictureSize> jpegFrameSize(const uint8_t* data, size_t n);

// The header template for a resolution, placeholders in the finish fields.
std::array<uint8_t, kHeaderSize> headerTemplate(uint8_t resolution);

// n made even.
inline uint32_t paddedLength(size_t n) { return static_cast<uint32_t>(n + (n & 1u)); }

// The 8 bytes "00dc" + padded length that precede a picture.
std::array<uint8_t, kChunkHeaderSize> chunkHeader(uint32_t paddedLen);

// Appends a whole picture chunk (header, bytes, pad) to `out`.
void appendChunk(std::vector<uint8_t>& out, const uint8_t* data, size_t n);

// The "idx1" chunk for the entries, in the order written.
std::vector<uint8_t> buildIndex(const std::vector<IndexEntry>& entries);

// seconds x 1000000 / frames, with 1 standing in for a zero counter,
// truncated to 32 bits.
uint32_t microsecondsPerFrame(uint32_t seconds, uint32_t frames);

// The values written into the header at the finish.
struct FinishValues {
    uint32_t riffSize = 0;            // total length - 8
    uint32_t microSecPerFrame = 0;
    uint32_t frames = 0;              // frame counter, at least 1
    uint32_t moviSize = 0;            // offset of idx1 - 508
};

// Finish values for a file whose pictures end at `indexOffset` (where idx1
// begins) holding `indexEntries` entries, with the recording's counters.
FinishValues finishValues(uint64_t indexOffset, size_t indexEntries, uint32_t recordSeconds,
                          uint32_t recordFrames);

// Rewrites the finish fields of a 512-byte header in place.
void patchHeader(uint8_t* header, const FinishValues& v);

// True when the 512 bytes look like one of our headers (RIFF, AVI, maker
// mark, movi list).
bool isOurHeader(const uint8_t* header, size_t size);

void putU32(uint8_t* p, uint32_t v);
uint32_t getU32(const uint8_t* p);

}  // namespace ipcam::avi

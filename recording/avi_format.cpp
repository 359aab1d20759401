#include "recording/avi_format.h"

#include <algorithm>
#include <cstring>

namespace ipcam::avi {

namespace {

void putU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void putFourCC(uint8_t* p, const char* cc) { std::memcpy(p, cc, 4); }

constexpr char kMakerText[] = "Korvex  Technology Co., Ltd.";

}  // namespace

void putU32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t getU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

PictureSize pictureSize(uint8_t resolution) {
    switch (resolution) {
        case 0: return {640, 480};
        case 2: return {160, 120};
        default: return {320, 240};
    }
}

std::array<uint8_t, kHeaderSize> headerTemplate(uint8_t resolution) {
    const PictureSize size = pictureSize(resolution);
    std::array<uint8_t, kHeaderSize> h{};
    uint8_t* p = h.data();

    putFourCC(p + 0, "RIFF");
    putU32(p + 4, 9347238);  // placeholder, rewritten at the finish
    putFourCC(p + 8, "AVI ");
    putFourCC(p + 12, "LIST");
    putU32(p + 16, 480);
    putFourCC(p + 20, "hdrl");

    putFourCC(p + 24, "avih");
    putU32(p + 28, 56);
    putU32(p + 32, 100000);  // placeholder
    putU32(p + 36, 588800);
    putU32(p + 40, 0);
    putU32(p + 44, 0x00010010);
    putU32(p + 48, 160);  // placeholder
    putU32(p + 52, 0);
    putU32(p + 56, 1);
    putU32(p + 60, 192000);
    // 64..71 and the other size fields: setPictureSize below
    // 72..87 reserved, zero

    putFourCC(p + 88, "LIST");
    putU32(p + 92, 296);
    putFourCC(p + 96, "strl");

    putFourCC(p + 100, "strh");
    putU32(p + 104, 56);
    putFourCC(p + 108, "vids");
    putFourCC(p + 112, "mjpg");
    putU32(p + 116, 0);
    putU16(p + 120, 0);
    putU16(p + 122, 0);
    putU32(p + 124, 0);
    putU32(p + 128, 100000);  // placeholder
    putU32(p + 132, 1000000);
    putU32(p + 136, 0);
    putU32(p + 140, 160);  // placeholder
    putU32(p + 144, 192000);
    putU32(p + 148, 10000);
    putU32(p + 152, 0);
    putU16(p + 156, 0);
    putU16(p + 158, 0);

    putFourCC(p + 164, "strf");
    putU32(p + 168, 40);
    putU32(p + 172, 40);
    putU16(p + 184, 1);
    putU16(p + 186, 24);
    putFourCC(p + 188, "MJPG");
    setPictureSize(p, size.width, size.height);
    // 196..211 zero

    putFourCC(p + 212, "strd");
    putU32(p + 216, 172);
    std::memset(p + 220, ' ', 172);
    std::memcpy(p + 220, kMakerText, sizeof(kMakerText) - 1);

    putFourCC(p + 392, "JUNK");
    putU32(p + 396, 100);
    // 400..499 zero

    putFourCC(p + 500, "LIST");
    putU32(p + 504, 0);  // placeholder
    putFourCC(p + 508, "movi");
    return h;
}

std::array<uint8_t, kChunkHeaderSize> chunkHeader(uint32_t paddedLen) {
    std::array<uint8_t, kChunkHeaderSize> c{};
    putFourCC(c.data(), "00dc");
    putU32(c.data() + 4, paddedLen);
    return c;
}

void appendChunk(std::vector<uint8_t>& out, const uint8_t* data, size_t n) {
    const auto head = chunkHeader(paddedLength(n));
    out.insert(out.end(), head.begin(), head.end());
    if (n > 0) out.insert(out.end(), data, data + n);
    if (n & 1u) out.push_back(0);
}

std::vector<uint8_t> buildIndex(const std::vector<IndexEntry>& entries) {
    std::vector<uint8_t> out(8 + kIndexEntrySize * entries.size());
    putFourCC(out.data(), "idx1");
    putU32(out.data() + 4, static_cast<uint32_t>(kIndexEntrySize * entries.size()));
    uint8_t* p = out.data() + 8;
    for (const IndexEntry& e : entries) {
        putFourCC(p, "00dc");
        putU32(p + 4, kKeyFrameFlag);
        putU32(p + 8, e.offset);
        putU32(p + 12, e.length);
        p += kIndexEntrySize;
    }
    return out;
}

uint32_t microsecondsPerFrame(uint32_t seconds, uint32_t frames) {
    const double s = seconds == 0 ? 1.0 : static_cast<double>(seconds);
    const double f = frames == 0 ? 1.0 : static_cast<double>(frames);
    const double us = s * 1000000.0 / f;
    if (us >= 4294967295.0) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(us);
}

FinishValues finishValues(uint64_t indexOffset, size_t indexEntries, uint32_t recordSeconds, uint32_t recordFrames) {
    FinishValues v;
    const uint64_t total = indexOffset + 8 + kIndexEntrySize * indexEntries;
    v.riffSize = static_cast<uint32_t>(total - 8);
    v.moviSize = static_cast<uint32_t>(indexOffset - kMoviBase);
    v.frames = recordFrames == 0 ? 1 : recordFrames;
    v.microSecPerFrame = microsecondsPerFrame(recordSeconds, recordFrames);
    return v;
}

void patchHeader(uint8_t* header, const FinishValues& v) {
    putU32(header + kOffRiffSize, v.riffSize);
    putU32(header + kOffMicroSecPerFrame, v.microSecPerFrame);
    putU32(header + kOffScale, v.microSecPerFrame);
    putU32(header + kOffTotalFrames, v.frames);
    putU32(header + kOffLength, v.frames);
    putU32(header + kOffMoviSize, v.moviSize);
}

bool isOurHeader(const uint8_t* header, size_t size) {
    if (size < kHeaderSize) return false;
    return std::memcmp(header, "RIFF", 4) == 0 && std::memcmp(header + 8, "AVI ", 4) == 0 &&
           std::memcmp(header + kOffMakerText, "Korv", 4) == 0 && std::memcmp(header + 500, "LIST", 4) == 0 &&
           std::memcmp(header + 508, "movi", 4) == 0;
}

void setPictureSize(uint8_t* header, uint32_t width, uint32_t height) {
    putU32(header + kOffWidth, width);  // avih
    putU32(header + kOffHeight, height);
    putU16(header + 160, static_cast<uint16_t>(std::min<uint32_t>(width, 0xFFFF)));  // strh frame
    putU16(header + 162, static_cast<uint16_t>(std::min<uint32_t>(height, 0xFFFF)));
    putU32(header + 176, width);  // strf
    putU32(header + 180, height);
    putU32(header + 192, static_cast<uint32_t>(std::min<uint64_t>(uint64_t{width} * height * 3, UINT32_MAX)));
}

std::optional<PictureSize> jpegFrameSize(const uint8_t* data, size_t n) {
    if (n < 4 || data[0] != 0xFF || data[1] != 0xD8) return std::nullopt;
    size_t at = 2;
    // Marker segments up to the first start of scan; fill bytes (FF FF) skipped.
    while (at + 4 <= n) {
        if (data[at] != 0xFF) return std::nullopt;
        const uint8_t marker = data[at + 1];
        if (marker == 0xFF) {
            ++at;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA) return std::nullopt;  // no frame header before the scan
        const size_t length = static_cast<size_t>(data[at + 2]) << 8 | data[at + 3];
        if (length < 2) return std::nullopt;
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (length < 7 || at + 9 > n) return std::nullopt;
            const uint32_t height = static_cast<uint32_t>(data[at + 5]) << 8 | data[at + 6];
            const uint32_t width = static_cast<uint32_t>(data[at + 7]) << 8 | data[at + 8];
            if (width == 0 || height == 0) return std::nullopt;
            return PictureSize{width, height};
        }
        at += 2 + length;
    }
    return std::nullopt;
}

}  // namespace ipcam::avi

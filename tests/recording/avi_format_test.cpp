#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "recording/avi_format.h"

namespace ipcam::avi {
namespace {

uint16_t u16(const std::vector<uint8_t>& b, size_t off) {
    return static_cast<uint16_t>(b[off] | b[off + 1] << 8);
}
uint32_t u32(const std::vector<uint8_t>& b, size_t off) { return getU32(b.data() + off); }
std::string cc(const std::vector<uint8_t>& b, size_t off) {
    return std::string(reinterpret_cast<const char*>(b.data() + off), 4);
}

std::vector<uint8_t> picture(size_t n, uint8_t fill) {
    std::vector<uint8_t> p(n, fill);
    if (n >= 4) {
        p[0] = 0xFF; p[1] = 0xD8; p[2] = 0xFF; p[3] = 0xE0;
    }
    return p;
}

TEST(AviFormat, HeaderFieldsStandAtTheirOffsets) {
    const auto t = headerTemplate(0);
    const std::vector<uint8_t> h(t.begin(), t.end());
    EXPECT_EQ(cc(h, 0), "RIFF");
    EXPECT_EQ(cc(h, 8), "AVI ");
    EXPECT_EQ(cc(h, 12), "LIST");
    EXPECT_EQ(u32(h, 16), 480u);
    EXPECT_EQ(cc(h, 20), "hdrl");
    EXPECT_EQ(cc(h, 24), "avih");
    EXPECT_EQ(u32(h, 28), 56u);
    EXPECT_EQ(u32(h, 36), 588800u);
    EXPECT_EQ(u32(h, 44), 0x00010010u);
    EXPECT_EQ(u32(h, 56), 1u);
    EXPECT_EQ(u32(h, 60), 192000u);
    EXPECT_EQ(u32(h, 64), 640u);
    EXPECT_EQ(u32(h, 68), 480u);
    EXPECT_EQ(cc(h, 88), "LIST");
    EXPECT_EQ(u32(h, 92), 296u);
    EXPECT_EQ(cc(h, 96), "strl");
    EXPECT_EQ(cc(h, 100), "strh");
    EXPECT_EQ(cc(h, 108), "vids");
    EXPECT_EQ(cc(h, 112), "mjpg");
    EXPECT_EQ(u32(h, 132), 1000000u);
    EXPECT_EQ(u32(h, 148), 10000u);
    EXPECT_EQ(u16(h, 160), 640u);
    EXPECT_EQ(u16(h, 162), 480u);
    EXPECT_EQ(cc(h, 164), "strf");
    EXPECT_EQ(u32(h, 172), 40u);
    EXPECT_EQ(u16(h, 184), 1u);
    EXPECT_EQ(u16(h, 186), 24u);
    EXPECT_EQ(cc(h, 188), "MJPG");
    EXPECT_EQ(u32(h, 192), 921600u);
    EXPECT_EQ(cc(h, 212), "strd");
    EXPECT_EQ(u32(h, 216), 172u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(h.data() + 220), 28), "Korvex  Technology Co., Ltd.");
    for (size_t i = 248; i < 392; ++i) ASSERT_EQ(h[i], ' ') << i;
    EXPECT_EQ(cc(h, 392), "JUNK");
    EXPECT_EQ(u32(h, 396), 100u);
    for (size_t i = 400; i < 500; ++i) ASSERT_EQ(h[i], 0) << i;
    EXPECT_EQ(cc(h, 500), "LIST");
    EXPECT_EQ(cc(h, 508), "movi");
    // Placeholders of the finish fields.
    EXPECT_EQ(u32(h, 4), 9347238u);
    EXPECT_EQ(u32(h, 32), 100000u);
    EXPECT_EQ(u32(h, 48), 160u);
    EXPECT_EQ(u32(h, 504), 0u);
    EXPECT_TRUE(isOurHeader(h.data(), h.size()));
}

TEST(AviFormat, ResolutionChoosesPictureSize) {
    struct Case { uint8_t res; uint32_t w, h; };
    for (const Case c : {Case{0, 640, 480}, Case{1, 320, 240}, Case{2, 160, 120}, Case{5, 320, 240},
                         Case{255, 320, 240}}) {
        const auto t = headerTemplate(c.res);
        const std::vector<uint8_t> h(t.begin(), t.end());
        EXPECT_EQ(u32(h, 64), c.w);
        EXPECT_EQ(u32(h, 68), c.h);
        EXPECT_EQ(u16(h, 160), c.w);
        EXPECT_EQ(u16(h, 162), c.h);
        EXPECT_EQ(u32(h, 176), c.w);
        EXPECT_EQ(u32(h, 180), c.h);
        EXPECT_EQ(u32(h, 192), c.w * c.h * 3);
    }

    // A camera's own size, from its picture's frame header: found past an
    // Exif segment and fill bytes, not past the scan or the bytes given.
    std::vector<uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x06, 'E', 'x', 'i', 'f', 0xFF, 0xFF,
                                 0xFF, 0xC0, 0x00, 0x11, 0x08, 0x04, 0x38, 0x07, 0x80, 0x03};
    const auto size = jpegFrameSize(jpeg.data(), jpeg.size());
    ASSERT_TRUE(size);
    EXPECT_EQ(size->width, 1920u);
    EXPECT_EQ(size->height, 1080u);
    EXPECT_FALSE(jpegFrameSize(jpeg.data(), 18));
    jpeg[13] = 0xDA;  // a scan before any frame header
    EXPECT_FALSE(jpegFrameSize(jpeg.data(), jpeg.size()));
    auto t = headerTemplate(1);
    setPictureSize(t.data(), 1920, 1080);
    const std::vector<uint8_t> h(t.begin(), t.end());
    EXPECT_EQ(u32(h, 64), 1920u);
    EXPECT_EQ(u16(h, 162), 1080u);
    EXPECT_EQ(u32(h, 192), 1920u * 1080u * 3u);
}

TEST(AviFormat, EmptyRecordingIs520Bytes) {
    const auto f = buildAviFile(1, {}, 0);
    ASSERT_EQ(f.size(), 520u);
    EXPECT_EQ(u32(f, 4), 512u);
    EXPECT_EQ(cc(f, 512), "idx1");
    EXPECT_EQ(u32(f, 516), 0u);
    EXPECT_EQ(u32(f, 48), 1u);
    EXPECT_EQ(u32(f, 140), 1u);
    EXPECT_EQ(u32(f, 504), 4u);
    EXPECT_EQ(u32(f, 32), 1000000u);
    EXPECT_EQ(u32(f, 128), 1000000u);

    const auto seven = buildAviFile(1, {}, 7);
    EXPECT_EQ(u32(seven, 32), 7000000u);
}

TEST(AviFormat, OddPictureIsPaddedAndIndexed) {
    const auto f = buildAviFile(2, {picture(1000, 0x11), picture(1001, 0x22)}, 2);
    ASSERT_EQ(f.size(), 2570u);
    EXPECT_EQ(u32(f, 4), 2562u);
    EXPECT_EQ(cc(f, 512), "00dc");
    EXPECT_EQ(u32(f, 516), 1000u);
    EXPECT_EQ(f[520], 0xFF);
    EXPECT_EQ(cc(f, 1520), "00dc");
    EXPECT_EQ(u32(f, 1524), 1002u);
    EXPECT_EQ(f[1528 + 1000], 0x22);  // last picture byte
    EXPECT_EQ(f[1528 + 1001], 0x00);  // pad byte
    EXPECT_EQ(cc(f, 2530), "idx1");
    EXPECT_EQ(u32(f, 2534), 32u);
    EXPECT_EQ(u32(f, 504), 2022u);
    // Entries: "00dc", keyframe, offset from movi, padded length.
    EXPECT_EQ(cc(f, 2538), "00dc");
    EXPECT_EQ(u32(f, 2542), 0x10u);
    EXPECT_EQ(u32(f, 2546), 4u);
    EXPECT_EQ(u32(f, 2550), 1000u);
    EXPECT_EQ(cc(f, 2554), "00dc");
    EXPECT_EQ(u32(f, 2558), 0x10u);
    EXPECT_EQ(u32(f, 2562), 1012u);
    EXPECT_EQ(u32(f, 2566), 1002u);
    EXPECT_EQ(u32(f, 48), 2u);
    EXPECT_EQ(u32(f, 140), 2u);
    EXPECT_EQ(u32(f, 32), 1000000u);
}

TEST(AviFormat, FrameDurationTruncatesFromCounters) {
    EXPECT_EQ(microsecondsPerFrame(10, 25), 400000u);
    EXPECT_EQ(microsecondsPerFrame(10, 3), 3333333u);
    EXPECT_EQ(microsecondsPerFrame(0, 0), 1000000u);
    EXPECT_EQ(microsecondsPerFrame(0, 4), 250000u);
    EXPECT_EQ(microsecondsPerFrame(5, 0), 5000000u);

    std::vector<std::vector<uint8_t>> pics(3, picture(10, 1));
    const auto f = buildAviFile(1, pics, 10);
    EXPECT_EQ(u32(f, 32), 3333333u);
    EXPECT_EQ(u32(f, 128), 3333333u);
}

}  // namespace
}  // namespace ipcam::avi

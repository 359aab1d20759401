#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "recording/avi_format.h"
#include "recording/avi_writer.h"
#include "recording_fakes.h"

namespace ipcam::rectest {
namespace {

// The file the writer leaves for these pictures, with the recording's
// counters at `seconds` and the pictures' number.
std::vector<uint8_t> written(uint8_t resolution, const std::vector<std::vector<uint8_t>>& pictures, uint32_t seconds,
                             avi::PictureSize cameraSize = {0, 0}) {
    QTemporaryDir tmp;
    const std::string dir = tmp.path().toStdString();
    PartialAviWriter writer;
    std::string error, path;
    EXPECT_TRUE(writer.open(dir, makeDateTime(2006, 10, 12, 15, 30, 12), resolution, false, &error)) << error;
    if (cameraSize.width) {
        EXPECT_TRUE(writer.setPictureSize(cameraSize.width, cameraSize.height, &error)) << error;
    }
    for (const auto& p : pictures) EXPECT_TRUE(writer.append(p.data(), p.size(), &error)) << error;
    EXPECT_TRUE(writer.finish(dir, "153012", false, seconds, static_cast<uint32_t>(pictures.size()), &path, &error))
        << error;
    return readFile(path);
}

// Every resolution's header, the pad of an odd picture, the index and the
// rate from the counters, held against the format's own layout.
TEST(AviFormat, WriterLaysOutEveryByteAsTheFormatFixes) {
    struct Size { uint8_t resolution; uint32_t w, h; };
    const std::vector<std::vector<uint8_t>> two = {jpeg(1000, 0x11), jpeg(1001, 0x22)};
    for (const Size s : {Size{0, 640, 480}, Size{1, 320, 240}, Size{2, 160, 120}, Size{5, 320, 240}}) {
        SCOPED_TRACE(int{s.resolution});
        const auto f = written(s.resolution, two, 2);
        // Chunks at 512 and 1520, idx1 at 2530.
        EXPECT_EQ(f.size(), 2570u);
        EXPECT_TRUE(isAvi(f, two, 1000000, s.w, s.h));
        EXPECT_EQ(f, aviFile(two, 1000000, s.w, s.h));
    }
    // No picture: 520 bytes saying one frame of the recording's seconds.
    const auto empty = written(1, {}, 0);
    EXPECT_EQ(empty.size(), 520u);
    EXPECT_TRUE(isAvi(empty, {}, 1000000));
    EXPECT_EQ(frameCount(empty), 1u);
    EXPECT_TRUE(isAvi(written(1, {}, 7), {}, 7000000));
    // Truncated: 10 s of 3 pictures; 0 s counts as one.
    const std::vector<std::vector<uint8_t>> three(3, jpeg(10, 1)), four(4, jpeg(10, 1));
    EXPECT_TRUE(isAvi(written(1, three, 10), three, 3333333));
    EXPECT_TRUE(isAvi(written(1, four, 0), four, 250000));
}

TEST(AviFormat, CameraSizeComesFromThePicturesFrameHeader) {
    // Found past an Exif segment and fill bytes, not past the scan or the
    // bytes given.
    std::vector<uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x06, 'E', 'x', 'i', 'f', 0xFF, 0xFF,
                                 0xFF, 0xC0, 0x00, 0x11, 0x08, 0x04, 0x38, 0x07, 0x80, 0x03};
    const auto size = avi::jpegFrameSize(jpeg.data(), jpeg.size());
    ASSERT_TRUE(size);
    EXPECT_EQ(size->width, 1920u);
    EXPECT_EQ(size->height, 1080u);
    EXPECT_FALSE(avi::jpegFrameSize(jpeg.data(), 18));
    jpeg[13] = 0xDA;  // a scan before any frame header
    EXPECT_FALSE(avi::jpegFrameSize(jpeg.data(), jpeg.size()));

    const auto one = rectest::jpeg(101);
    EXPECT_TRUE(isAvi(written(1, {one}, 1, {1920, 1080}), {one}, 1000000, 1920, 1080));
}

}  // namespace
}  // namespace ipcam::rectest

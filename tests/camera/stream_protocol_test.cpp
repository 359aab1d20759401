#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "camera/stream_protocol.h"

namespace ipcam {
namespace {

std::vector<uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

CameraSettings firstRunSettings() {
    CameraSettings s;
    applyFirstRunDefaults(s, "/tmp");
    return s;
}

TEST(StreamRequest, FirstRunValues) {
    EXPECT_EQ(composeStreamRequest(firstRunSettings()), "GET /Webcam.jpg?Pass=pxwqe&V=1&F=2&Q=2&B=2&U=0 HTTP/1.0\r\n");
}

TEST(StreamRequest, ParameterMappings) {
    CameraSettings s = firstRunSettings();
    s.resolution = 0;
    EXPECT_NE(composeStreamRequest(s).find("&V=2&"), std::string::npos);
    s.resolution = 2;
    EXPECT_NE(composeStreamRequest(s).find("&V=0&"), std::string::npos);
    for (uint8_t other : {1, 3, 5, 255}) {
        s.resolution = other;
        EXPECT_NE(composeStreamRequest(s).find("&V=1&"), std::string::npos) << int(other);
    }
    s.orientation = 1;  // sent without an offset
    s.quality = 0;
    s.brightness = 2;
    s.frequency = 0;
    EXPECT_EQ(composeStreamRequest(s), "GET /Webcam.jpg?Pass=pxwqe&V=1&F=1&Q=1&B=3&U=1 HTTP/1.0\r\n");
}

TEST(StreamRequest, PasswordIsSentUnescaped) {
    CameraSettings s = firstRunSettings();
    s.cameraPassword = "a&b=c d\xC3\xA9";
    EXPECT_EQ(composeStreamRequest(s), "GET /Webcam.jpg?Pass=a&b=c d\xC3\xA9&V=1&F=2&Q=2&B=2&U=0 HTTP/1.0\r\n");
    s.cameraPassword.clear();
    EXPECT_EQ(composeStreamRequest(s).rfind("GET /Webcam.jpg?Pass=&V=1", 0), 0u);
}

TEST(ReplyHeader, ExactHeaderAcceptedAndVariantsRejected) {
    auto header = bytes(kExpectedReplyHeader);
    EXPECT_TRUE(checkReplyHeader(header));

    // Header and the beginning of a picture in one chunk: still accepted.
    auto withPicture = header;
    withPicture.insert(withPicture.end(), {0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3});
    EXPECT_TRUE(checkReplyHeader(withPicture));

    // One letter's case off.
    auto caseOff = header;
    caseOff[19] = 'c';  // "Connection" -> "connection"
    EXPECT_FALSE(checkReplyHeader(caseOff));

    // Split over two chunks: each piece alone is rejected.
    std::vector<uint8_t> first(header.begin(), header.begin() + 60);
    std::vector<uint8_t> second(header.begin() + 60, header.end());
    EXPECT_FALSE(checkReplyHeader(first));
    EXPECT_FALSE(checkReplyHeader(second));

    EXPECT_FALSE(checkReplyHeader(bytes("HTTP/1.0 401 Unauthorized\r\n\r\n")));
    EXPECT_FALSE(checkReplyHeader({}));
}

TEST(PictureStart, OnlyJfifStartCounts) {
    EXPECT_TRUE(isPictureStart(std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xE0}));
    EXPECT_TRUE(isPictureStart(std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10}));
    EXPECT_FALSE(isPictureStart(std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xE1, 0, 0x10}));  // Exif
    EXPECT_FALSE(isPictureStart(std::vector<uint8_t>{0xFF, 0xD8, 0xFF}));
    EXPECT_FALSE(isPictureStart(std::vector<uint8_t>{0xFF}));
    EXPECT_FALSE(isPictureStart(std::vector<uint8_t>{}));
}

TEST(PictureFramer, PicturesComeOutWholeHoweverTheStreamIsCut) {
    // Pictures of varied sizes, each followed by the boundary line; the
    // stream is cut at random points, down to single bytes, so boundaries
    // and picture starts fall anywhere in a read.
    std::mt19937 random(12);
    std::vector<std::vector<uint8_t>> pictures;
    std::vector<uint8_t> stream;
    for (int i = 0; i < 60; ++i) {
        std::vector<uint8_t> p = {0xFF, 0xD8, 0xFF, 0xE0};
        const size_t n = 1 + random() % 400;
        for (size_t k = 0; k < n; ++k) p.push_back(static_cast<uint8_t>(random() % 4 == 0 ? '\r' : random()));
        p.insert(p.end(), kBoundaryLine.begin(), kBoundaryLine.end());
        pictures.push_back(p);
        stream.insert(stream.end(), p.begin(), p.end());
    }
    for (size_t maxRead : {size_t{1}, size_t{3}, size_t{9}, size_t{700}, stream.size()}) {
        PictureFramer framer;
        std::vector<std::vector<uint8_t>> out;
        std::vector<uint8_t> current;
        std::vector<size_t> starts;
        for (size_t at = 0; at < stream.size();) {
            const size_t n = std::min(stream.size() - at, 1 + random() % maxRead);
            const std::span<const uint8_t> read(stream.data() + at, n);
            starts.clear();
            framer.findStarts(read, starts);
            size_t from = 0;
            for (size_t s : starts) {
                current.insert(current.end(), read.begin() + from, read.begin() + s);
                if (!current.empty()) out.push_back(current);
                current.clear();
                from = s;
            }
            current.insert(current.end(), read.begin() + from, read.end());
            at += n;
        }
        out.push_back(current);
        EXPECT_EQ(out, pictures) << "reads of up to " << maxRead << " bytes";
    }
}

TEST(PictureFramer, ReadStartsAndBoundariesNeverCountTwice) {
    PictureFramer framer;
    std::vector<size_t> starts;
    const std::vector<uint8_t> jfif = {0xFF, 0xD8, 0xFF, 0xE0, 1};
    framer.findStarts(bytes("xx\r\nEOB\r\n"), starts);  // a boundary at the very end of a read
    EXPECT_TRUE(starts.empty());
    framer.findStarts(jfif, starts);  // ... and a picture start at the next read's start
    EXPECT_EQ(starts, std::vector<size_t>{0});
    starts.clear();
    framer.findStarts(bytes("\r\r\nEOB\r\nab\r\nEO"), starts);
    EXPECT_EQ(starts, std::vector<size_t>{8});
    starts.clear();
    framer.reset();  // a new connection forgets the half-matched boundary
    framer.findStarts(bytes("B\r\nzz"), starts);
    EXPECT_TRUE(starts.empty());
    framer.findStarts(std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xE1, 0}, starts);  // Exif: no start
    EXPECT_TRUE(starts.empty());
}

// A picture is handed over as soon as its boundary line is in, not when the
// next picture begins: the last one before a stall is not held back. One
// still being collected when the connection ends is handed over when it is
// a whole JPEG, dropped when it is not.
TEST(LegacyCameraStream, APictureIsHandedOverOnceItIsWhole) {
    const CameraSettings settings = firstRunSettings();
    LegacyCameraStream stream(settings);
    std::vector<std::vector<uint8_t>> out;
    const auto take = [&](std::vector<uint8_t>& p) { out.push_back(p); };
    const auto picture = [](uint8_t n, std::string_view tail) {
        std::vector<uint8_t> p = {0xFF, 0xD8, 0xFF, 0xE0, n, n, 0xFF, 0xD9};
        p.insert(p.end(), tail.begin(), tail.end());
        return p;
    };
    const auto withBoundary = [&](uint8_t n) { return picture(n, kBoundaryLine); };
    for (int connection = 0; connection < 2; ++connection) {
        out.clear();
        stream.reset();
        ASSERT_EQ(stream.feed(bytes(kExpectedReplyHeader), take), CameraStream::State::Streaming);
        stream.feed(withBoundary(1), take);
        EXPECT_EQ(out, (std::vector<std::vector<uint8_t>>{{}, withBoundary(1)}));  // the first start's empty one
        auto two = withBoundary(2);
        two.insert(two.end(), {0xFF, 0xD8, 0xFF, 0xE0, 3});  // the next begins in the same read
        stream.feed(two, take);
        EXPECT_EQ(out.size(), 3u);
        EXPECT_EQ(out.back(), withBoundary(2));
        const auto rest = picture(3, "\r\nE");  // its boundary line cut off by the end
        stream.feed(std::span<const uint8_t>(rest).subspan(5), take);
        EXPECT_EQ(out.size(), 3u);
        if (connection == 0) {
            stream.end(take);
            ASSERT_EQ(out.size(), 4u);
            EXPECT_EQ(out.back(), rest);
        } else {
            stream.feed(std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xE0, 4}, take);  // a picture cut off
            EXPECT_EQ(out.size(), 4u);
            stream.end(take);
            EXPECT_EQ(out.size(), 4u);
        }
    }
}

TEST(PictureCollector, DropsCollectionPastTheBoundAndRecovers) {
    std::vector<uint8_t> buffer;
    PictureCollector collector(buffer, 100);
    std::vector<uint8_t> chunk(40, 0x11);
    collector.append(chunk);
    collector.append(chunk);
    EXPECT_EQ(buffer.size(), 80u);
    collector.append(chunk);  // would be 120: dropped, the new chunk starts afresh
    EXPECT_EQ(buffer.size(), 40u);
    EXPECT_EQ(collector.overflows(), 1u);
    collector.append(std::vector<uint8_t>(500, 0x22));  // larger than the bound on its own
    EXPECT_TRUE(buffer.empty());
}

}  // namespace
}  // namespace ipcam

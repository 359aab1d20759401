#include <gtest/gtest.h>

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

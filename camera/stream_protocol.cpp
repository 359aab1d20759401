#include "camera/stream_protocol.h"

#include <algorithm>
#include <cstring>

namespace ipcam {

int sizeParameter(uint8_t resolution) {
    switch (resolution) {
        case 0: return 2;
        case 2: return 0;
        default: return 1;
    }
}

std::string composeStreamRequest(const CameraSettings& s) {
    std::string r = "GET /Webcam.jpg?Pass=";
    r += s.cameraPassword;
    r += "&V=" + std::to_string(sizeParameter(s.resolution));
    r += "&F=" + std::to_string(s.frequency + 1);
    r += "&Q=" + std::to_string(s.quality + 1);
    r += "&B=" + std::to_string(s.brightness + 1);
    r += "&U=" + std::to_string(s.orientation);
    r += " HTTP/1.0\r\n";
    return r;
}

bool checkReplyHeader(std::span<const uint8_t> chunk) {
    if (chunk.size() < kExpectedReplyHeader.size()) {
        return false;
    }
    return std::memcmp(chunk.data(), kExpectedReplyHeader.data(), kExpectedReplyHeader.size()) == 0;
}

bool isPictureStart(std::span<const uint8_t> chunk) {
    return chunk.size() >= 4 && chunk[0] == 0xFF && chunk[1] == 0xD8 && chunk[2] == 0xFF && chunk[3] == 0xE0;
}

void PictureCollector::append(std::span<const uint8_t> chunk) {
    if (buffer_.size() + chunk.size() > limit_) {
        // A stream that never starts pictures at a read: drop what was
        // collected rather than grow without bound.
        buffer_.clear();
        ++overflows_;
        if (chunk.size() > limit_) {
            return;
        }
    }
    buffer_.insert(buffer_.end(), chunk.begin(), chunk.end());
}

}  // namespace ipcam

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

void PictureFramer::reset() {
    matched_ = 0;
    startPending_ = false;
}

void PictureFramer::findStarts(std::span<const uint8_t> read, std::vector<size_t>& starts) {
    const size_t n = read.size();
    if (n == 0) {
        return;
    }
    if (startPending_ || isPictureStart(read)) {
        starts.push_back(0);
    }
    startPending_ = false;
    // "\r\nEOB\r\n" overlaps itself only in its leading "\r\n": after a
    // mismatch the match can only go on from a fresh "\r".
    const auto* b = reinterpret_cast<const uint8_t*>(kBoundaryLine.data());
    const size_t len = kBoundaryLine.size();
    size_t m = matched_;
    size_t i = 0;
    while (i < n) {
        if (m == 0) {
            const void* cr = std::memchr(read.data() + i, '\r', n - i);
            if (cr == nullptr) {
                break;
            }
            i = static_cast<size_t>(static_cast<const uint8_t*>(cr) - read.data()) + 1;
            m = 1;
            continue;
        }
        const uint8_t c = read[i];
        if (c == b[m]) {
            ++m;
            ++i;
            if (m == len) {
                if (i < n) {
                    starts.push_back(i);
                } else {
                    startPending_ = true;
                }
                m = 0;  // the bytes that follow belong to the new picture
            }
        } else {
            // Fall back: a "\r" here may begin a new boundary line.
            m = c == '\r' ? 1 : 0;
            ++i;
        }
    }
    matched_ = m;
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

void LegacyCameraStream::reset() {
    headerAccepted_ = false;
    framer_.reset();
    buffer_.clear();
    handedOver_ = false;
}

namespace {

// A whole JPEG picture: FF D8 first, FF D9 last, or followed only by the
// first bytes of a boundary line.
bool isWholeJpeg(const std::vector<uint8_t>& p) {
    if (p.size() < 4 || p[0] != 0xFF || p[1] != 0xD8) {
        return false;
    }
    for (size_t tail = 0; tail < kBoundaryLine.size() && tail + 4 <= p.size(); ++tail) {
        const size_t end = p.size() - tail;
        if (p[end - 2] == 0xFF && p[end - 1] == 0xD9 &&
            std::memcmp(p.data() + end, kBoundaryLine.data(), tail) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

void LegacyCameraStream::end(const PictureFn& picture) {
    if (headerAccepted_ && isWholeJpeg(buffer_)) {
        picture(buffer_);
    }
    buffer_.clear();
}

CameraStream::Drops LegacyCameraStream::takeDrops() {
    Drops drops;
    drops.noBoundary = collector_.overflows() - overflowsTaken_;
    overflowsTaken_ = collector_.overflows();
    return drops;
}

CameraStream::State LegacyCameraStream::feed(std::span<const uint8_t> bytes, const PictureFn& picture) {
    if (!headerAccepted_) {
        if (!checkReplyHeader(bytes)) {
            return State::Rejected;
        }
        headerAccepted_ = true;
        framer_.reset();
        return State::Streaming;
    }
    if (bytes.empty()) {
        return State::Streaming;
    }
    // TCP keeps no picture boundaries: one read may hold the end of one
    // picture and the starts of several more.
    starts_.clear();
    framer_.findStarts(bytes, starts_);
    size_t at = 0;
    for (const size_t start : starts_) {
        if (start > at) {
            collector_.append(bytes.subspan(at, start - at));
        }
        if (start == 0 && handedOver_) {
            handedOver_ = false;  // closed at the end of the last read
            continue;
        }
        picture(buffer_);
        buffer_.clear();
        at = start;
    }
    handedOver_ = false;
    collector_.append(bytes.subspan(at));
    if (framer_.startPending()) {
        picture(buffer_);
        buffer_.clear();
        handedOver_ = true;
    }
    return State::Streaming;
}

}  // namespace ipcam

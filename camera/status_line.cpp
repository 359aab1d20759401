#include "camera/status_line.h"

#include <cstdint>

namespace ipcam {

namespace {

const char* kindPrefix(uint8_t kind) {
    if (kind & kManual) return "Manual Record: ";
    if (kind & kDaily) return "Daily Record: ";
    if (kind & kMotion) return "Motion Record: ";
    return nullptr;
}

std::string rateText(const char* prefix, uint32_t frames, uint32_t seconds) {
    return std::string(prefix) + formatRate(frames, seconds) + " (" + std::to_string(frames) + "f/" +
           std::to_string(seconds) + "s)";
}

}  // namespace

std::string formatRate(uint32_t frames, uint32_t seconds) {
    if (seconds == 0) {
        return "0.0";
    }
    // Whole tenths, rounded half up on the exact quotient: a binary double
    // would turn 3/20 into 0.1499... and print "0.1".
    const uint64_t tenths = (uint64_t{frames} * 20u + seconds) / (uint64_t{seconds} * 2u);
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

std::optional<std::string> pictureStatusText(const StatusCounters& s) {
    const char* prefix = kindPrefix(s.RecordKind);
    if (s.RecordSeconds > 0) {
        if (prefix) return rateText(prefix, s.RecordFrames, s.RecordSeconds);
        return std::nullopt;
    }
    if (prefix) return std::string(prefix) + "0.0 (0f/0s)";
    if (s.PreviewSeconds > 0) return rateText("Preview: ", s.PreviewFrames, s.PreviewSeconds);
    return std::nullopt;
}

std::optional<std::string> tickStatusText(const StatusCounters& s) {
    if (s.RecordSeconds > 0) {
        if (const char* prefix = kindPrefix(s.RecordKind)) return rateText(prefix, s.RecordFrames, s.RecordSeconds);
        return std::nullopt;
    }
    if (s.PreviewSeconds > 0) return rateText("Preview: ", s.PreviewFrames, s.PreviewSeconds);
    return std::nullopt;
}

}  // namespace ipcam

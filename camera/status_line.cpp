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

std::optional<StatusCounters> pictureStatus(const StatusCounters& s) {
    const bool recording = kindPrefix(s.RecordKind) != nullptr;
    if (s.RecordSeconds > 0) {
        if (recording) return s;
        return std::nullopt;
    }
    // A recording's first second says nothing of its rate yet.
    if (recording) return StatusCounters{s.RecordKind, 0, 0, s.PreviewFrames, s.PreviewSeconds};
    if (s.PreviewSeconds > 0) return s;
    return std::nullopt;
}

std::optional<StatusCounters> tickStatus(const StatusCounters& s) {
    if (s.RecordSeconds > 0) {
        if (kindPrefix(s.RecordKind)) return s;
        return std::nullopt;
    }
    if (s.PreviewSeconds > 0) return StatusCounters{kNotRecording, 0, 0, s.PreviewFrames, s.PreviewSeconds};
    return std::nullopt;
}

std::string statusText(const StatusCounters& shown) {
    if (const char* prefix = kindPrefix(shown.RecordKind)) return rateText(prefix, shown.RecordFrames, shown.RecordSeconds);
    return rateText("Preview: ", shown.PreviewFrames, shown.PreviewSeconds);
}

std::optional<std::string> pictureStatusText(const StatusCounters& s) {
    const auto shown = pictureStatus(s);
    return shown ? std::optional<std::string>(statusText(*shown)) : std::nullopt;
}

std::optional<std::string> tickStatusText(const StatusCounters& s) {
    const auto shown = tickStatus(s);
    return shown ? std::optional<std::string>(statusText(*shown)) : std::nullopt;
}

}  // namespace ipcam

#include "support/avi_oracle.h"

#include <algorithm>
#include <cstring>

namespace ipcam::test {

namespace {

// What a header field holds: a constant, a FourCC or text (blank-filled to
// the field's size), or a value of the recording.
enum class Value { Fixed, Text, Width, Height, ImageSize, PerFrame, Frames, RiffSize, MoviSize };

struct Field {
    uint32_t at;
    uint32_t size;
    const char* name;
    Value value;
    uint32_t fixed = 0;
    const char* text = nullptr;
};

constexpr Field fixed(uint32_t at, uint32_t size, const char* name, uint32_t v) {
    return {at, size, name, Value::Fixed, v};
}
constexpr Field text(uint32_t at, uint32_t size, const char* t) { return {at, size, t, Value::Text, 0, t}; }
constexpr Field of(uint32_t at, uint32_t size, const char* name, Value v) { return {at, size, name, v}; }

// Every byte from 0 to 511, little-endian numbers.
constexpr Field kHeader[] = {
    text(0, 4, "RIFF"),
    of(4, 4, "RIFF size", Value::RiffSize),
    text(8, 4, "AVI "),
    text(12, 4, "LIST"),
    fixed(16, 4, "hdrl list size", 480),
    text(20, 4, "hdrl"),
    text(24, 4, "avih"),
    fixed(28, 4, "avih size", 56),
    of(32, 4, "dwMicroSecPerFrame", Value::PerFrame),
    fixed(36, 4, "dwMaxBytesPerSec", 588800),
    fixed(40, 4, "dwPaddingGranularity", 0),
    fixed(44, 4, "avih dwFlags", 0x00010010),
    of(48, 4, "dwTotalFrames", Value::Frames),
    fixed(52, 4, "avih dwInitialFrames", 0),
    fixed(56, 4, "dwStreams", 1),
    fixed(60, 4, "avih dwSuggestedBufferSize", 192000),
    of(64, 4, "dwWidth", Value::Width),
    of(68, 4, "dwHeight", Value::Height),
    fixed(72, 16, "dwReserved", 0),
    text(88, 4, "LIST"),
    fixed(92, 4, "strl list size", 296),
    text(96, 4, "strl"),
    text(100, 4, "strh"),
    fixed(104, 4, "strh size", 56),
    text(108, 4, "vids"),
    text(112, 4, "mjpg"),
    fixed(116, 4, "strh dwFlags", 0),
    fixed(120, 2, "wPriority", 0),
    fixed(122, 2, "wLanguage", 0),
    fixed(124, 4, "strh dwInitialFrames", 0),
    of(128, 4, "dwScale", Value::PerFrame),
    fixed(132, 4, "dwRate", 1000000),
    fixed(136, 4, "dwStart", 0),
    of(140, 4, "dwLength", Value::Frames),
    fixed(144, 4, "strh dwSuggestedBufferSize", 192000),
    fixed(148, 4, "dwQuality", 10000),
    fixed(152, 4, "dwSampleSize", 0),
    fixed(156, 2, "rcFrame.left", 0),
    fixed(158, 2, "rcFrame.top", 0),
    of(160, 2, "rcFrame.right", Value::Width),
    of(162, 2, "rcFrame.bottom", Value::Height),
    text(164, 4, "strf"),
    fixed(168, 4, "strf size", 40),
    fixed(172, 4, "biSize", 40),
    of(176, 4, "biWidth", Value::Width),
    of(180, 4, "biHeight", Value::Height),
    fixed(184, 2, "biPlanes", 1),
    fixed(186, 2, "biBitCount", 24),
    text(188, 4, "MJPG"),
    of(192, 4, "biSizeImage", Value::ImageSize),
    fixed(196, 16, "biXPelsPerMeter to biClrImportant", 0),
    text(212, 4, "strd"),
    fixed(216, 4, "strd size", 172),
    text(220, 172, "Korvex  Technology Co., Ltd."),
    text(392, 4, "JUNK"),
    fixed(396, 4, "JUNK size", 100),
    fixed(400, 100, "JUNK filler", 0),
    text(500, 4, "LIST"),
    of(504, 4, "movi list size", Value::MoviSize),
    text(508, 4, "movi"),
};

constexpr bool coversTheHeader() {
    uint32_t next = 0;
    for (const Field& f : kHeader) {
        if (f.at != next || (f.value != Value::Text && f.size > 4 && f.fixed != 0)) return false;
        next += f.size;
    }
    return next == 512;
}
static_assert(coversTheHeader(), "the header table leaves a byte out");

constexpr uint32_t kMovi = 508;

// The values a header carries beyond its constants.
struct Values {
    uint32_t width, height, perFrame, frames, riffSize, moviSize;
};

uint32_t expected(const Field& f, const Values& v) {
    switch (f.value) {
        case Value::Width: return v.width;
        case Value::Height: return v.height;
        case Value::ImageSize: return static_cast<uint32_t>(uint64_t{v.width} * v.height * 3);
        case Value::PerFrame: return v.perFrame;
        case Value::Frames: return v.frames;
        case Value::RiffSize: return v.riffSize;
        case Value::MoviSize: return v.moviSize;
        default: return f.fixed;
    }
}

// The bytes of a field as they should stand.
Bytes fieldBytes(const Field& f, const Values& v) {
    Bytes b(f.size, f.value == Value::Text ? ' ' : 0);
    if (f.value == Value::Text) {
        std::memcpy(b.data(), f.text, std::min<size_t>(f.size, std::strlen(f.text)));
    } else {
        const uint32_t n = expected(f, v);
        for (uint32_t i = 0; i < f.size && i < 4; ++i) b[i] = static_cast<uint8_t>(n >> (8 * i));
    }
    return b;
}

uint32_t u32(const Bytes& b, size_t at) {
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}
void put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void putFourCC(Bytes& b, const char* cc) { b.insert(b.end(), cc, cc + 4); }
bool isFourCC(const Bytes& b, size_t at, const char* cc) {
    return at + 4 <= b.size() && std::memcmp(b.data() + at, cc, 4) == 0;
}

std::string shown(const Bytes& b, const Field& f) {
    if (f.value == Value::Text) return "\"" + std::string(b.begin(), b.end()) + "\"";
    if (b.size() > 4) return std::all_of(b.begin(), b.end(), [](uint8_t c) { return c == 0; }) ? "zeros" : "not zeros";
    uint32_t n = 0;
    for (size_t i = 0; i < b.size(); ++i) n |= uint32_t{b[i]} << (8 * i);
    return std::to_string(n);
}

Bytes padded(const Bytes& p) {
    Bytes b = p;
    if (b.size() % 2) b.push_back(0);
    return b;
}

}  // namespace

AviRecording readAvi(const Bytes& f) {
    AviRecording r;
    auto fault = [&r](std::string s) { r.faults.push_back(std::move(s)); };
    if (f.size() < 520) {
        fault(std::to_string(f.size()) + " bytes, fewer than a header and an empty index");
        return r;
    }
    r.width = u32(f, 64);
    r.height = u32(f, 68);
    r.microSecPerFrame = u32(f, 32);
    r.frames = u32(f, 48);

    // Picture chunks back to back from 512, each at an even offset.
    std::vector<size_t> chunks;
    size_t at = 512;
    while (isFourCC(f, at, "00dc") && at + 8 <= f.size()) {
        const uint32_t n = u32(f, at + 4);
        if (n % 2) fault("chunk at " + std::to_string(at) + ": odd size " + std::to_string(n));
        if (at + 8 + uint64_t{n} > f.size()) {
            fault("chunk at " + std::to_string(at) + " runs past the end of the file");
            return r;
        }
        chunks.push_back(at);
        r.pictures.emplace_back(f.begin() + static_cast<ptrdiff_t>(at + 8),
                                f.begin() + static_cast<ptrdiff_t>(at + 8 + n));
        at += 8 + n + n % 2;
    }

    // The index right after them, one entry per chunk, and nothing after it.
    const size_t index = at;
    const size_t n = chunks.size();
    if (!isFourCC(f, index, "idx1") || index + 8 > f.size()) {
        fault("no idx1 where the picture chunks end, at " + std::to_string(index));
        return r;
    }
    if (u32(f, index + 4) != 16 * n)
        fault("idx1 size " + std::to_string(u32(f, index + 4)) + " for " + std::to_string(n) + " chunks");
    if (f.size() != index + 8 + 16 * n) {
        fault("file of " + std::to_string(f.size()) + " bytes, the index ends at " + std::to_string(index + 8 + 16 * n));
    } else {
        for (size_t i = 0; i < n; ++i) {
            const size_t e = index + 8 + 16 * i;
            const std::string entry = "index entry " + std::to_string(i);
            if (!isFourCC(f, e, "00dc")) fault(entry + ": not 00dc");
            if (u32(f, e + 4) != 0x10) fault(entry + ": flags " + std::to_string(u32(f, e + 4)) + ", not 16");
            if (u32(f, e + 8) != chunks[i] - kMovi)
                fault(entry + ": offset " + std::to_string(u32(f, e + 8)) + ", the chunk is at " +
                      std::to_string(chunks[i] - kMovi));
            if (u32(f, e + 12) != r.pictures[i].size())
                fault(entry + ": length " + std::to_string(u32(f, e + 12)) + ", the chunk's is " +
                      std::to_string(r.pictures[i].size()));
        }
    }

    const Values v{r.width,
                   r.height,
                   r.microSecPerFrame,
                   static_cast<uint32_t>(std::max<size_t>(n, 1)),
                   static_cast<uint32_t>(f.size() - 8),
                   static_cast<uint32_t>(index - kMovi)};
    for (const Field& field : kHeader) {
        const Bytes want = fieldBytes(field, v);
        const Bytes got(f.begin() + field.at, f.begin() + field.at + field.size);
        if (got != want)
            fault(std::string(field.name) + " at " + std::to_string(field.at) + ": " + shown(got, field) + ", not " +
                  shown(want, field));
    }
    return r;
}

uint32_t perFrame(uint32_t seconds, size_t frames) {
    const uint64_t us = uint64_t{seconds == 0 ? 1u : seconds} * 1000000 / (frames == 0 ? 1 : frames);
    return static_cast<uint32_t>(std::min<uint64_t>(us, UINT32_MAX));
}

Bytes aviFile(const std::vector<Bytes>& pictures, uint32_t microSecPerFrame, uint32_t width, uint32_t height) {
    Bytes f(512);
    std::vector<uint32_t> offsets;
    for (const Bytes& p : pictures) {
        offsets.push_back(static_cast<uint32_t>(f.size() - kMovi));
        putFourCC(f, "00dc");
        put32(f, static_cast<uint32_t>(padded(p).size()));
        const Bytes b = padded(p);
        f.insert(f.end(), b.begin(), b.end());
    }
    const size_t index = f.size();
    putFourCC(f, "idx1");
    put32(f, static_cast<uint32_t>(16 * pictures.size()));
    for (size_t i = 0; i < pictures.size(); ++i) {
        putFourCC(f, "00dc");
        put32(f, 0x10);
        put32(f, offsets[i]);
        put32(f, static_cast<uint32_t>(padded(pictures[i]).size()));
    }
    const Values v{width,
                   height,
                   microSecPerFrame,
                   static_cast<uint32_t>(std::max<size_t>(pictures.size(), 1)),
                   static_cast<uint32_t>(f.size() - 8),
                   static_cast<uint32_t>(index - kMovi)};
    for (const Field& field : kHeader) {
        const Bytes b = fieldBytes(field, v);
        std::copy(b.begin(), b.end(), f.begin() + field.at);
    }
    return f;
}

::testing::AssertionResult isAvi(const Bytes& file, const std::vector<Bytes>& pictures, uint32_t microSecPerFrame,
                                 uint32_t width, uint32_t height) {
    const AviRecording r = readAvi(file);
    std::string why;
    for (const std::string& f : r.faults) why += "\n  " + f;
    if (r.width != width || r.height != height)
        why += "\n  " + std::to_string(r.width) + " x " + std::to_string(r.height) + ", not " + std::to_string(width) +
               " x " + std::to_string(height);
    if (r.microSecPerFrame != microSecPerFrame)
        why += "\n  " + std::to_string(r.microSecPerFrame) + " microseconds per frame, not " +
               std::to_string(microSecPerFrame);
    if (r.pictures.size() != pictures.size()) {
        why += "\n  " + std::to_string(r.pictures.size()) + " pictures, not " + std::to_string(pictures.size());
    } else {
        for (size_t i = 0; i < pictures.size(); ++i)
            if (r.pictures[i] != padded(pictures[i]))
                why += "\n  picture " + std::to_string(i) + " (" + std::to_string(r.pictures[i].size()) +
                       " bytes) is not the one sent (" + std::to_string(pictures[i].size()) + " bytes)";
    }
    if (why.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "a file of " << file.size() << " bytes:" << why;
}

::testing::AssertionResult isValidAvi(const Bytes& file) {
    const AviRecording r = readAvi(file);
    if (r.faults.empty()) return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure();
    for (const std::string& f : r.faults) failure << "\n  " << f;
    return failure;
}

}  // namespace ipcam::test

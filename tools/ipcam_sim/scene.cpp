#include "ipcam_sim/scene.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

namespace ipcam::sim {

namespace {

struct Canvas {
    std::vector<uint8_t>& px;
    int w;
    int h;

    void fill(int x0, int y0, int x1, int y1, uint8_t r, uint8_t g, uint8_t b) {
        if (x0 < 0) x0 = 0;
        if (y0 < 0) y0 = 0;
        if (x1 > w) x1 = w;
        if (y1 > h) y1 = h;
        for (int y = y0; y < y1; ++y) {
            uint8_t* row = px.data() + (static_cast<size_t>(y) * static_cast<size_t>(w) * 3);
            for (int x = x0; x < x1; ++x) {
                row[x * 3] = r;
                row[x * 3 + 1] = g;
                row[x * 3 + 2] = b;
            }
        }
    }
};

// Seven-segment digits: bits a b c d e f g (top, top right, bottom right,
// bottom, bottom left, top left, middle).
constexpr uint8_t kSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};

// One digit in a cell of `s` x 2s pixels (s = segment length).
void drawDigit(Canvas& c, int x, int y, int s, int digit) {
    const int t = s / 5 > 0 ? s / 5 : 1;  // stroke
    const uint8_t bits = kSegments[digit % 10];
    auto seg = [&](int bit, int x0, int y0, int x1, int y1) {
        if (bits & (1 << bit))
            c.fill(x0, y0, x1, y1, 255, 255, 80);
    };
    seg(0, x, y, x + s, y + t);
    seg(1, x + s - t, y, x + s, y + s);
    seg(2, x + s - t, y + s, x + s, y + 2 * s);
    seg(3, x, y + 2 * s - t, x + s, y + 2 * s);
    seg(4, x, y + s, x + t, y + 2 * s);
    seg(5, x, y, x + t, y + s);
    seg(6, x, y + s - t / 2, x + s, y + s + t - t / 2);
}

void drawClock(Canvas& c, SceneTime time) {
    const int s = c.w / 32 > 3 ? c.w / 32 : 3;
    const int gap = s / 2 > 1 ? s / 2 : 1;
    int x = gap * 2;
    const int y = gap * 2;
    c.fill(x - gap, y - gap, x + 8 * (s + gap) + gap, y + 2 * s + gap, 0, 0, 0);
    const int parts[3] = {time.hour, time.minute, time.second};
    for (int i = 0; i < 3; ++i) {
        drawDigit(c, x, y, s, parts[i] / 10);
        x += s + gap;
        drawDigit(c, x, y, s, parts[i] % 10);
        x += s + gap;
        if (i < 2) {  // colon
            c.fill(x + s / 3, y + s / 2, x + s / 3 + gap, y + s / 2 + gap, 255, 255, 80);
            c.fill(x + s / 3, y + 3 * s / 2, x + s / 3 + gap, y + 3 * s / 2 + gap, 255, 255, 80);
            x += s / 2 + gap;
        }
    }
}

// The stripes are the same on every row and only green changes down the
// picture: one row is drawn, then copied with its green set, so a 4K
// picture takes a few milliseconds.
void drawBackground(Canvas& c, uint64_t shift) {
    const size_t stride = static_cast<size_t>(c.w) * 3;
    std::vector<uint8_t> stripes(stride);
    for (int x = 0; x < c.w; ++x) {
        const int band = static_cast<int>((static_cast<uint64_t>(x) + shift) % 64);
        stripes[x * 3] = static_cast<uint8_t>(60 + band);
        stripes[x * 3 + 2] = static_cast<uint8_t>(120 - band / 2);
    }
    for (int y = 0; y < c.h; ++y) {
        uint8_t* row = c.px.data() + static_cast<size_t>(y) * stride;
        std::memcpy(row, stripes.data(), stride);
        const auto green = static_cast<uint8_t>(90 + y * 100 / c.h);
        for (size_t g = 1; g < stride; g += 3) row[g] = green;
    }
}

struct JpegErrorExit {
    jpeg_error_mgr mgr;
};

[[noreturn]] void onJpegError(j_common_ptr) {
    // The encoder only fails on programming errors (bad parameters).
    std::fputs("ipcam-sim: JPEG encoder error\n", stderr);
    std::abort();
}

}  // namespace

QSize sizeForV(int v) {
    switch (v) {
    case 0:
        return {160, 120};
    case 2:
        return {640, 480};
    default:
        return {320, 240};
    }
}

std::vector<uint8_t> renderScene(QSize size, SceneKind kind, uint64_t frameNumber, SceneTime time) {
    const int w = size.width();
    const int h = size.height();
    std::vector<uint8_t> px(static_cast<size_t>(w) * static_cast<size_t>(h) * 3);
    Canvas c{px, w, h};

    switch (kind) {
    case SceneKind::Burst: {
        const uint8_t v = (frameNumber % 2 == 0) ? 255 : 0;
        c.fill(0, 0, w, h, v, v, v);
        break;
    }
    case SceneKind::Still:
        drawBackground(c, 0);
        c.fill(w / 3, h / 3, w / 2, h / 2, 200, 60, 40);
        break;
    case SceneKind::Moving: {
        drawBackground(c, frameNumber * 2);
        // A block bouncing left and right along the lower half.
        const int bw = w / 6;
        const int span = w - bw;
        const int pos = static_cast<int>((frameNumber * static_cast<uint64_t>(w / 40 > 0 ? w / 40 : 1)) %
                                         static_cast<uint64_t>(2 * span));
        const int x = pos < span ? pos : 2 * span - pos;
        c.fill(x, h / 2, x + bw, h / 2 + h / 5, 220, 40, 40);
        drawClock(c, time);
        break;
    }
    }
    return px;
}

QByteArray encodeJpeg(const std::vector<uint8_t>& rgb, QSize size, int quality) {
    jpeg_compress_struct cinfo{};
    JpegErrorExit err{};
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = onJpegError;
    jpeg_create_compress(&cinfo);

    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&cinfo, &out, &outSize);
    cinfo.image_width = static_cast<JDIMENSION>(size.width());
    cinfo.image_height = static_cast<JDIMENSION>(size.height());
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    cinfo.write_JFIF_header = TRUE;
    jpeg_start_compress(&cinfo, TRUE);
    const size_t stride = static_cast<size_t>(size.width()) * 3;
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb.data() + cinfo.next_scanline * stride);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);

    QByteArray result(reinterpret_cast<const char*>(out), static_cast<qsizetype>(outSize));
    std::free(out);
    return result;
}

QByteArray withExifSegment(const QByteArray& jfif) {
    if (jfif.size() < 6 || !jfif.startsWith("\xFF\xD8\xFF\xE0"))
        return jfif;
    const qsizetype app0 = 2 + ((static_cast<uint8_t>(jfif[4]) << 8) | static_cast<uint8_t>(jfif[5]));
    if (2 + app0 > jfif.size())
        return jfif;

    // TIFF data, offsets from its first byte: header, IFD0 (6 entries), then
    // the values that do not fit in an entry.
    QByteArray tiff;
    auto u16 = [&tiff](unsigned v) {
        tiff += static_cast<char>(v & 0xFF);
        tiff += static_cast<char>((v >> 8) & 0xFF);
    };
    auto u32 = [&](uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    };
    enum : unsigned { kShort = 3, kAscii = 2, kRational = 5 };
    const QByteArray make("ipcam-sim", 10);  // with its terminating NUL
    constexpr uint32_t kEntries = 6;
    constexpr uint32_t kValues = 8 + 2 + kEntries * 12 + 4;
    const uint32_t makeAt = kValues, xResAt = makeAt + 10, yResAt = xResAt + 8;
    tiff += "II";
    u16(42);
    u32(8);
    u16(kEntries);
    auto entry = [&](unsigned tag, unsigned type, uint32_t count, uint32_t value) {
        u16(tag);
        u16(type);
        u32(count);
        u32(value);  // a SHORT sits in the low two bytes
    };
    entry(0x010F, kAscii, static_cast<uint32_t>(make.size()), makeAt);  // Make
    entry(0x0112, kShort, 1, 1);                                      // Orientation: top left
    entry(0x011A, kRational, 1, xResAt);                              // XResolution
    entry(0x011B, kRational, 1, yResAt);                              // YResolution
    entry(0x0128, kShort, 1, 2);                                      // ResolutionUnit: inch
    entry(0x0213, kShort, 1, 1);                                      // YCbCrPositioning: centred
    u32(0);                                                           // no next IFD
    tiff += make;
    u32(72);
    u32(1);
    u32(72);
    u32(1);

    const QByteArray payload = QByteArray("Exif\0\0", 6) + tiff;
    const qsizetype length = payload.size() + 2;
    QByteArray out = jfif.left(2);
    out += "\xFF\xE1";
    out += static_cast<char>((length >> 8) & 0xFF);
    out += static_cast<char>(length & 0xFF);
    out += payload;
    out += jfif.mid(2 + app0);
    return out;
}

}  // namespace ipcam::sim

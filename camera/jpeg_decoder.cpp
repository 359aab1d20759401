#include "camera/jpeg_decoder.h"

#include <QImage>
#include <QSize>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace ipcam {

namespace {

struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

extern "C" void onJpegError(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    std::longjmp(err->jump, 1);
}

extern "C" void onJpegMessage(j_common_ptr) {
    // Warnings about trailing bytes after the picture are expected: the
    // camera's boundary line stays with each picture.
}

// Rows handed to libjpeg per call. More than one lets its merged
// upsampler (two output rows per chroma row) write straight into the image
// instead of through a spare row.
constexpr int kBand = 16;

// Each side of a picture decoded at 1/denom, as libjpeg rounds it: up.
int scaledSide(int side, int denom) { return (side + denom - 1) / denom; }

// The smallest scale whose image is still at least `fitted` on both sides.
int fitScale(int width, int height, QSize fitted) {
    int denom = 1;
    while (denom < 8 && scaledSide(width, denom * 2) >= fitted.width() &&
           scaledSide(height, denom * 2) >= fitted.height()) {
        denom *= 2;
    }
    return denom;
}

// One output pixel or row from source position i + weight/256, as libjpeg's
// pixel centres line up: source = (out + 0.5) * src / dst - 0.5.
struct Tap {
    int index;
    int weight;  // 0..256, of index + 1
};

std::vector<Tap> taps(int src, int dst) {
    std::vector<Tap> out(static_cast<size_t>(dst));
    for (int o = 0; o < dst; ++o) {
        // In 1/256ths of a source pixel.
        const int64_t pos = ((2 * int64_t(o) + 1) * src - dst) * 256 / (2 * int64_t(dst));
        const int64_t clamped = std::clamp<int64_t>(pos, 0, int64_t(src - 1) * 256);
        out[static_cast<size_t>(o)] = {static_cast<int>(clamped / 256), static_cast<int>(clamped % 256)};
    }
    return out;
}

// t = a + (b - a) * w / 256 over `pixels` pixels of 4 bytes.
void blendRows(const uint32_t* a, const uint32_t* b, int w, uint32_t* t, int pixels) {
    int k = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i wa = _mm_set1_epi16(static_cast<short>(256 - w));
    const __m128i wb = _mm_set1_epi16(static_cast<short>(w));
    for (; k + 4 <= pixels; k += 4) {
        const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + k));
        const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + k));
        const __m128i lo = _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(va, zero), wa),
                                                        _mm_mullo_epi16(_mm_unpacklo_epi8(vb, zero), wb)),
                                          8);
        const __m128i hi = _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(va, zero), wa),
                                                        _mm_mullo_epi16(_mm_unpackhi_epi8(vb, zero), wb)),
                                          8);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(t + k), _mm_packus_epi16(lo, hi));
    }
#endif
    const uint32_t ua = static_cast<uint32_t>(256 - w), ub = static_cast<uint32_t>(w);
    for (; k < pixels; ++k) {
        const uint32_t rb = (((a[k] & 0x00ff00ffu) * ua + (b[k] & 0x00ff00ffu) * ub) >> 8) & 0x00ff00ffu;
        const uint32_t ag = (((a[k] >> 8) & 0x00ff00ffu) * ua + ((b[k] >> 8) & 0x00ff00ffu) * ub) & 0xff00ff00u;
        t[k] = rb | ag;
    }
}

}  // namespace

struct JpegDecoder::Impl {
    jpeg_decompress_struct cinfo{};
    ErrorManager err{};
    // A picture that fails half-way is decoded here first, so the preview
    // keeps its last good picture. Reused between pictures.
    QImage scratch;

    // For a scaled preview: the decoded rows of one band, each one pixel
    // longer than the row (its last pixel again), after the last row of the
    // band before; one row blended from two; the taps for the current sizes.
    std::vector<uint32_t> band;
    std::vector<uint32_t> blended;
    QSize tapsFrom, tapsTo;
    std::vector<Tap> across, down;
#if defined(__SSE2__)
    // Per output pixel: 256 - w four times, then w four times.
    struct Weights {
        alignas(16) int16_t lanes[8];
    };
    std::vector<Weights> acrossWeights;
#endif

    Impl() {
        cinfo.err = jpeg_std_error(&err.pub);
        err.pub.error_exit = onJpegError;
        err.pub.output_message = onJpegMessage;
        jpeg_create_decompress(&cinfo);
    }
    ~Impl() { jpeg_destroy_decompress(&cinfo); }

    void prepareTaps(QSize from, QSize to) {
        if (from == tapsFrom && to == tapsTo) {
            return;
        }
        tapsFrom = from;
        tapsTo = to;
        across = taps(from.width(), to.width());
        down = taps(from.height(), to.height());
#if defined(__SSE2__)
        acrossWeights.resize(across.size());
        for (size_t x = 0; x < across.size(); ++x) {
            const short w = static_cast<short>(across[x].weight);
            const short a = static_cast<short>(256 - w);
            acrossWeights[x] = Weights{{a, a, a, a, w, w, w, w}};
        }
#endif
    }

    // One output row from the (padded) source row `row`.
    void scaleAcross(const uint32_t* row, uint32_t* out) const {
        const int width = static_cast<int>(across.size());
        int x = 0;
#if defined(__SSE2__)
        const __m128i zero = _mm_setzero_si128();
        const auto pair = [&](int o) {
            const __m128i p = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + across[static_cast<size_t>(o)].index));
            const __m128i weights =
                _mm_load_si128(reinterpret_cast<const __m128i*>(acrossWeights[static_cast<size_t>(o)].lanes));
            return _mm_mullo_epi16(_mm_unpacklo_epi8(p, zero), weights);
        };
        for (; x + 4 <= width; x += 4) {
            const __m128i m0 = pair(x), m1 = pair(x + 1), m2 = pair(x + 2), m3 = pair(x + 3);
            const __m128i s01 = _mm_srli_epi16(_mm_add_epi16(_mm_unpacklo_epi64(m0, m1), _mm_unpackhi_epi64(m0, m1)), 8);
            const __m128i s23 = _mm_srli_epi16(_mm_add_epi16(_mm_unpacklo_epi64(m2, m3), _mm_unpackhi_epi64(m2, m3)), 8);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_packus_epi16(s01, s23));
        }
#endif
        for (; x < width; ++x) {
            const Tap t = across[static_cast<size_t>(x)];
            blendRows(row + t.index, row + t.index + 1, t.weight, out + x, 1);
        }
    }
};

JpegDecoder::JpegDecoder() : impl_(std::make_unique<Impl>()) {}
JpegDecoder::~JpegDecoder() = default;

QSize JpegDecoder::fittedSize(int width, int height, int areaWidth, int areaHeight) {
    if (width <= 0 || height <= 0) {
        return {};
    }
    areaWidth = std::max(areaWidth, 1);
    areaHeight = std::max(areaHeight, 1);
    if (width <= areaWidth && height <= areaHeight) {
        return {width, height};
    }
    // The side that meets the area first sets the scale; the other is rounded.
    const int64_t w = width, h = height;
    if (w * areaHeight >= h * areaWidth) {
        return {areaWidth, static_cast<int>(std::max<int64_t>(1, (h * areaWidth + w / 2) / w))};
    }
    return {static_cast<int>(std::max<int64_t>(1, (w * areaHeight + h / 2) / h)), areaHeight};
}

bool JpegDecoder::decode(const uint8_t* data, size_t size, QImage& target) {
    return decodeAt(data, size, target, 0, 0);
}

bool JpegDecoder::decode(const uint8_t* data, size_t size, QImage& target, int areaWidth, int areaHeight) {
    return decodeAt(data, size, target, areaWidth > 0 ? areaWidth : 1, areaHeight > 0 ? areaHeight : 1);
}

bool JpegDecoder::decodeAt(const uint8_t* data, size_t size, QImage& target, int areaWidth, int areaHeight) {
    if (data == nullptr || size < 4) {
        return false;
    }
    Impl& d = *impl_;
    jpeg_decompress_struct& cinfo = d.cinfo;
    QImage& out = d.scratch;
    if (setjmp(d.err.jump)) {
        jpeg_abort_decompress(&cinfo);
        return false;
    }
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
        jpeg_abort_decompress(&cinfo);
        return false;
    }
    // Bounded before anything is allocated for the picture.
    if (cinfo.image_width == 0 || cinfo.image_height == 0 || cinfo.image_width > kMaxSide ||
        cinfo.image_height > kMaxSide ||
        static_cast<uint64_t>(cinfo.image_width) * cinfo.image_height > kMaxPixels) {
        jpeg_abort_decompress(&cinfo);
        return false;
    }
    // QImage::Format_RGB32 is 0xffRRGGBB in native order: B, G, R, X bytes.
    cinfo.out_color_space = JCS_EXT_BGRX;
    cinfo.scale_num = 1;
    QSize fitted;
    if (areaWidth > 0) {
        const int iw = static_cast<int>(cinfo.image_width), ih = static_cast<int>(cinfo.image_height);
        fitted = fittedSize(iw, ih, areaWidth, areaHeight);
        // Scaled in the inverse DCT itself: no full-size image is ever made.
        cinfo.scale_denom = static_cast<unsigned>(fitScale(iw, ih, fitted));
        // The preview takes the faster paths: its pictures are small on screen
        // and gone a frame later. Chroma is then upsampled together with the
        // colour conversion.
        cinfo.dct_method = JDCT_IFAST;
        cinfo.do_fancy_upsampling = FALSE;
    } else {
        cinfo.scale_denom = 1;
    }
    jpeg_start_decompress(&cinfo);
    const int w = static_cast<int>(cinfo.output_width);
    const int h = static_cast<int>(cinfo.output_height);
    if (!fitted.isValid()) {
        fitted = QSize(w, h);
    }
    // Decode into whichever of the two images is not on show, so that a
    // picture that fails half-way never reaches the preview.
    if (out.size() != fitted || out.format() != QImage::Format_RGB32) {
        out = QImage(fitted, QImage::Format_RGB32);
        if (out.isNull()) {
            // Out of memory: nothing is written through a null image.
            jpeg_abort_decompress(&cinfo);
            return false;
        }
    }
    JSAMPROW rows[kBand];
    if (fitted == QSize(w, h)) {
        // The scale gives the size: decoded straight into the image.
        while (cinfo.output_scanline < cinfo.output_height) {
            const int first = static_cast<int>(cinfo.output_scanline);
            const int n = std::min(kBand, h - first);
            for (int k = 0; k < n; ++k) {
                rows[k] = out.scanLine(first + k);
            }
            jpeg_read_scanlines(&cinfo, rows, static_cast<JDIMENSION>(n));
        }
    } else {
        // Decoded a band of rows at a time and scaled down as the rows come:
        // slot 0 holds the last row of the band before, slots 1.. the band.
        d.prepareTaps(QSize(w, h), fitted);
        const size_t stride = static_cast<size_t>(w) + 1;
        d.band.resize(stride * (kBand + 1));
        d.blended.resize(stride);
        const auto slot = [&](int k) { return d.band.data() + stride * static_cast<size_t>(k); };
        int base = -1;  // the source row in slot 0
        int next = 0;   // the next output row
        while (cinfo.output_scanline < cinfo.output_height) {
            int got = 0;
            while (got < kBand && cinfo.output_scanline < cinfo.output_height) {
                for (int k = got; k < kBand; ++k) {
                    rows[k] = reinterpret_cast<JSAMPROW>(slot(1 + k));
                }
                got += static_cast<int>(jpeg_read_scanlines(&cinfo, rows + got, static_cast<JDIMENSION>(kBand - got)));
            }
            for (int k = 1; k <= got; ++k) {
                slot(k)[w] = slot(k)[w - 1];
            }
            const int last = base + got;
            for (; next < fitted.height(); ++next) {
                const Tap t = d.down[static_cast<size_t>(next)];
                const int below = std::min(t.index + 1, h - 1);
                if (below > last) {
                    break;
                }
                const uint32_t* row = slot(t.index - base);
                if (t.weight != 0) {
                    blendRows(row, slot(below - base), t.weight, d.blended.data(), w + 1);
                    row = d.blended.data();
                }
                d.scaleAcross(row, reinterpret_cast<uint32_t*>(out.scanLine(next)));
            }
            std::memcpy(slot(0), slot(got), stride * sizeof(uint32_t));
            base = last;
        }
    }
    jpeg_finish_decompress(&cinfo);
    // Swap rather than copy: the shown image's buffer becomes the next scratch.
    std::swap(out, target);
    if (out.size() != fitted) {
        out = QImage();
    }
    return true;
}

}  // namespace ipcam

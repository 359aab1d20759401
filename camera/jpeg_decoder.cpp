#include "camera/jpeg_decoder.h"

#include <QImage>
#include <QSize>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>
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

// Where one output pixel (or row) is taken from: source pixel `index`, or
// the mean of it and the next one. The position, as libjpeg's pixel centres
// line up (source = (out + 0.5) * src / dst - 0.5), is rounded to the
// nearest half pixel: a quarter of a source pixel at most, which at the
// usual step of 1.5 (1920 to 640 after a decode at 1/2) is exact for every
// second pixel. A mean of two is one byte-average instruction, where a
// weighted blend costs a multiply per channel.
struct Tap {
    int index;
    bool half;  // the mean of index and index + 1
};

std::vector<Tap> taps(int src, int dst) {
    std::vector<Tap> out(static_cast<size_t>(dst));
    for (int o = 0; o < dst; ++o) {
        // In half source pixels, rounded.
        const int64_t pos = ((2 * int64_t(o) + 1) * src - dst + dst / 2) / dst;
        const int64_t clamped = std::clamp<int64_t>(pos, 0, 2 * int64_t(src - 1));
        out[static_cast<size_t>(o)] = {static_cast<int>(clamped / 2), clamped % 2 != 0};
    }
    return out;
}

// The byte-wise mean of two pixels, rounded up (as the SSE2 average is).
inline uint32_t meanOf(uint32_t a, uint32_t b) { return (a | b) - (((a ^ b) & 0xfefefefeu) >> 1); }

// t = the mean of rows a and b, `pixels` pixels.
void meanRows(const uint32_t* a, const uint32_t* b, uint32_t* t, int pixels) {
    int k = 0;
#if defined(__SSE2__)
    for (; k + 4 <= pixels; k += 4) {
        const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + k));
        const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + k));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(t + k), _mm_avg_epu8(va, vb));
    }
#endif
    for (; k < pixels; ++k) {
        t[k] = meanOf(a[k], b[k]);
    }
}

// Whether the taps are those of three pixels to two (1920 to 640 after a
// decode at 1/2): the mean of pixels 3k and 3k+1, then pixel 3k+2.
bool isThreeToTwo(const std::vector<Tap>& t) {
    for (size_t o = 0; o < t.size(); ++o) {
        const int k = static_cast<int>(o / 2);
        const Tap want = o % 2 == 0 ? Tap{3 * k, true} : Tap{3 * k + 2, false};
        if (t[o].index != want.index || t[o].half != want.half) {
            return false;
        }
    }
    return !t.empty();
}

#if defined(__SSE2__)
// Four output pixels of three to two from six source pixels: (s0+s1)/2, s2,
// (s3+s4)/2, s5, from a = s0..s3 and b = s3..s6.
inline __m128i threeToTwo(__m128i a, __m128i b) {
    const __m128i ma = _mm_avg_epu8(a, _mm_srli_si128(a, 4));  // m01 . . .
    const __m128i mb = _mm_avg_epu8(b, _mm_srli_si128(b, 4));  // m34 . . .
    const __m128 x = _mm_castsi128_ps(_mm_unpacklo_epi64(ma, mb));  // m01 . m34 .
    const __m128 z = _mm_castsi128_ps(_mm_unpackhi_epi64(a, b));    // s2 . s5 .
    const __m128i xz = _mm_castps_si128(_mm_shuffle_ps(x, z, _MM_SHUFFLE(2, 0, 2, 0)));  // m01 m34 s2 s5
    return _mm_shuffle_epi32(xz, _MM_SHUFFLE(3, 1, 2, 0));
}

inline __m128i load4(const uint32_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
#endif

}  // namespace

struct JpegDecoder::Impl {
    jpeg_decompress_struct cinfo{};
    ErrorManager err{};
    // A picture that fails half-way is decoded here first, so the preview
    // keeps its last good picture. Reused between pictures.
    QImage scratch;
    ImageAllocator allocator;

    // For a scaled preview: the decoded rows of one band, each one pixel
    // longer than the row (its last pixel again), after the last row of the
    // band before; the mean of two rows; the taps for the current sizes.
    std::vector<uint32_t> band;
    std::vector<uint32_t> blended;
    QSize tapsFrom, tapsTo;
    std::vector<Tap> across, down;
    bool acrossThreeToTwo = false;
#if defined(__SSE2__)
    // Per four output pixels: all ones in the lanes that take a mean.
    struct Lanes {
        alignas(16) uint32_t mask[4];
    };
    std::vector<Lanes> acrossMeans;
#endif

    Impl() {
        cinfo.err = jpeg_std_error(&err.pub);
        err.pub.error_exit = onJpegError;
        err.pub.output_message = onJpegMessage;
        jpeg_create_decompress(&cinfo);
        // Beyond this libjpeg asks for a backing store, which it has none
        // of: the picture fails instead of taking the memory.
        cinfo.mem->max_memory_to_use = kMaxWorkingBytes;
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
        acrossThreeToTwo = isThreeToTwo(across);
#if defined(__SSE2__)
        acrossMeans.assign(across.size() / 4, Lanes{});
        for (size_t x = 0; x < acrossMeans.size() * 4; ++x) {
            acrossMeans[x / 4].mask[x % 4] = across[x].half ? 0xffffffffu : 0;
        }
#endif
    }

    // One output row from the (padded) source row `row`, or from the mean of
    // the rows `row` and `second` when that is given: the same pixels as
    // meanRows followed by scaleAcross, without the row in between.
    void scaleAcross(const uint32_t* row, uint32_t* out, const uint32_t* second = nullptr) const {
        const int width = static_cast<int>(across.size());
        int x = 0;
#if defined(__SSE2__)
        if (acrossThreeToTwo) {
            // Outputs 4k..4k+3 read source pixels 6k..6k+6: within the row
            // and its padding pixel (index sourceWidth).
            const int groups = std::min(width / 4, tapsFrom.width() >= 6 ? tapsFrom.width() / 6 : 0);
            __m128i* o = reinterpret_cast<__m128i*>(out);
            const uint32_t* a = row;
            if (second) {
                for (const uint32_t* b = second; o != reinterpret_cast<__m128i*>(out) + groups; ++o, a += 6, b += 6) {
                    _mm_storeu_si128(o, threeToTwo(_mm_avg_epu8(load4(a), load4(b)), _mm_avg_epu8(load4(a + 3), load4(b + 3))));
                }
            } else {
                for (; o != reinterpret_cast<__m128i*>(out) + groups; ++o, a += 6) {
                    _mm_storeu_si128(o, threeToTwo(load4(a), load4(a + 3)));
                }
            }
            x = groups * 4;
        }
        const auto pair = [&](int o) {
            return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + across[static_cast<size_t>(o)].index));
        };
        for (; !second && x + 4 <= width; x += 4) {
            // Four pairs (p, next) into the four p and the four next.
            const __m128i p01 = _mm_unpacklo_epi32(pair(x), pair(x + 1));      // p0 p1 n0 n1
            const __m128i p23 = _mm_unpacklo_epi32(pair(x + 2), pair(x + 3));  // p2 p3 n2 n3
            const __m128i p = _mm_unpacklo_epi64(p01, p23);
            const __m128i n = _mm_unpackhi_epi64(p01, p23);
            const __m128i mask = _mm_load_si128(reinterpret_cast<const __m128i*>(acrossMeans[static_cast<size_t>(x / 4)].mask));
            const __m128i mean = _mm_avg_epu8(p, n);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x),
                             _mm_or_si128(_mm_and_si128(mask, mean), _mm_andnot_si128(mask, p)));
        }
#endif
        const auto at = [&](int i) { return second ? meanOf(row[i], second[i]) : row[i]; };
        for (; x < width; ++x) {
            const Tap t = across[static_cast<size_t>(x)];
            out[x] = t.half ? meanOf(at(t.index), at(t.index + 1)) : at(t.index);
        }
    }
};

JpegDecoder::JpegDecoder() : impl_(std::make_unique<Impl>()) {}
JpegDecoder::~JpegDecoder() = default;

void JpegDecoder::setImageAllocator(ImageAllocator allocator) { impl_->allocator = std::move(allocator); }

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

bool JpegDecoder::decodeSamples(const uint8_t* data, size_t size, QImage& target, int areaWidth, int areaHeight,
                                QSize* shown) {
    QSize fitted;
    return decodeAt(data, size, target, areaWidth > 0 ? areaWidth : 1, areaHeight > 0 ? areaHeight : 1,
                    shown ? shown : &fitted);
}

bool JpegDecoder::refuse(std::string why) {
    refusal_ = std::move(why);
    return false;
}

bool JpegDecoder::decodeAt(const uint8_t* data, size_t size, QImage& target, int areaWidth, int areaHeight,
                          QSize* shown) {
    if (data == nullptr || size < 4) {
        return refuse("no picture");
    }
    Impl& d = *impl_;
    jpeg_decompress_struct& cinfo = d.cinfo;
    QImage& out = d.scratch;
    if (setjmp(d.err.jump)) {
        char message[JMSG_LENGTH_MAX] = {};
        d.err.pub.format_message(reinterpret_cast<j_common_ptr>(&cinfo), message);
        jpeg_abort_decompress(&cinfo);
        return refuse(message);
    }
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
        jpeg_abort_decompress(&cinfo);
        return refuse("no picture");
    }
    // Bounded before anything is allocated for the picture.
    if (cinfo.image_width == 0 || cinfo.image_height == 0 || cinfo.image_width > kMaxSide ||
        cinfo.image_height > kMaxSide ||
        static_cast<uint64_t>(cinfo.image_width) * cinfo.image_height > kMaxPixels) {
        const std::string claimed = std::to_string(cinfo.image_width) + " x " + std::to_string(cinfo.image_height);
        jpeg_abort_decompress(&cinfo);
        return refuse("its frame header names " + claimed + " pixels (at most 8192 x 8192 are decoded)");
    }
    if (areaWidth == 0 && static_cast<uint64_t>(cinfo.image_width) * cinfo.image_height > kMaxFullSizePixels) {
        const std::string claimed = std::to_string(cinfo.image_width) + " x " + std::to_string(cinfo.image_height);
        jpeg_abort_decompress(&cinfo);
        return refuse("its frame header names " + claimed + " pixels (at most 4096 x 4096 at full size)");
    }
    // QImage::Format_RGB32 is 0xffRRGGBB in native order: B, G, R, X bytes.
    cinfo.out_color_space = JCS_EXT_BGRX;
    cinfo.scale_num = 1;
    QSize fitted;
    if (areaWidth > 0) {
        const int iw = static_cast<int>(cinfo.image_width), ih = static_cast<int>(cinfo.image_height);
        fitted = fittedSize(iw, ih, areaWidth, areaHeight);
        // Scaled in the inverse DCT itself: no full-size image is ever made.
        cinfo.scale_denom = static_cast<unsigned>(shown ? kSampleScale : fitScale(iw, ih, fitted));
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
    // Sampling keeps the decoded size; the caller learns the preview's.
    const QSize shownSize = fitted;
    if (shown || !fitted.isValid()) {
        fitted = QSize(w, h);
    }
    // Decode into whichever of the two images is not on show, so that a
    // picture that fails half-way never reaches the preview.
    if (out.size() != fitted || out.format() != QImage::Format_RGB32) {
        // Pictures for sampling are never on show: ordinary images.
        out = d.allocator && !shown ? d.allocator(fitted) : QImage();
        if (out.size() != fitted || out.format() != QImage::Format_RGB32) {
            out = QImage(fitted, QImage::Format_RGB32);
        }
        if (out.isNull()) {
            // Out of memory: nothing is written through a null image.
            jpeg_abort_decompress(&cinfo);
            return refuse("no memory for its image");
        }
    }
    // The rows from one pointer: bits() makes the image our own once (should
    // anyone share it), where scanLine() checks that again on every row.
    uint8_t* const pixels = out.bits();
    const size_t pitch = static_cast<size_t>(out.bytesPerLine());
    const auto line = [&](int y) { return pixels + pitch * static_cast<size_t>(y); };
    JSAMPROW rows[kBand];
    if (fitted == QSize(w, h)) {
        // The scale gives the size: decoded straight into the image.
        while (cinfo.output_scanline < cinfo.output_height) {
            const int first = static_cast<int>(cinfo.output_scanline);
            const int n = std::min(kBand, h - first);
            for (int k = 0; k < n; ++k) {
                rows[k] = line(first + k);
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
                const int below = t.half ? t.index + 1 : t.index;
                if (below > last) {
                    break;
                }
                const uint32_t* row = slot(t.index - base);
                if (t.half && d.acrossThreeToTwo) {
                    d.scaleAcross(row, reinterpret_cast<uint32_t*>(line(next)), slot(below - base));
                    continue;
                }
                if (t.half) {
                    meanRows(row, slot(below - base), d.blended.data(), w + 1);
                    row = d.blended.data();
                }
                d.scaleAcross(row, reinterpret_cast<uint32_t*>(line(next)));
            }
            std::memcpy(slot(0), slot(got), stride * sizeof(uint32_t));
            base = last;
        }
    }
    jpeg_finish_decompress(&cinfo);
    refusal_.clear();
    if (shown) {
        *shown = shownSize;
    }
    // Swap rather than copy: the shown image's buffer becomes the next scratch.
    std::swap(out, target);
    if (out.size() != fitted) {
        out = QImage();
    }
    return true;
}

}  // namespace ipcam

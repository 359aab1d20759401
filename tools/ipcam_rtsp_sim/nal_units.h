#pragma once
// The coded pictures of an H.264 or H.265 stream in one form whatever
// carried them: Annex B (start codes, as a camera sends them) or length
// prefixed (as a Matroska or MP4 file stores them). Parameter sets, access
// unit delimiters and SEI are left out, so that a file that keeps its
// parameter sets in the header compares equal to the stream that sent them
// in band.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ipcam::sim {

inline bool isPictureNal(const uint8_t* nal, size_t n, bool hevc) {
    if (n == 0) return false;
    if (hevc) {
        const int type = (nal[0] >> 1) & 0x3F;
        return type < 32;  // VCL units; VPS 32, SPS 33, PPS 34, AUD 35, SEI 39/40 are not
    }
    const int type = nal[0] & 0x1F;
    return type >= 1 && type <= 5;  // slices; SEI 6, SPS 7, PPS 8, AUD 9 are not
}

// Each picture NAL unit as a 4-byte big-endian length and its bytes.
// `annexB`: start codes; else 4-byte lengths (the two cannot be told apart
// from the bytes alone: a length of 256 to 511 begins 00 00 01).
inline std::vector<uint8_t> canonicalNals(const uint8_t* data, size_t size, bool hevc, bool annexB) {
    std::vector<uint8_t> out;
    auto add = [&](const uint8_t* nal, size_t n) {
        while (n > 0 && nal[n - 1] == 0) --n;  // trailing zero bytes belong to no unit
        if (!isPictureNal(nal, n, hevc)) return;
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(n >> shift));
        out.insert(out.end(), nal, nal + n);
    };
    if (annexB) {
        size_t i = 0, start = SIZE_MAX;
        while (i + 2 < size) {
            if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
                if (start != SIZE_MAX) add(data + start, i - start);
                i += 3;
                start = i;
            } else {
                ++i;
            }
        }
        if (start != SIZE_MAX && start < size) add(data + start, size - start);
        return out;
    }
    size_t i = 0;
    while (i + 4 <= size) {
        const size_t n = (size_t{data[i]} << 24) | (size_t{data[i + 1]} << 16) | (size_t{data[i + 2]} << 8) | data[i + 3];
        i += 4;
        if (n > size - i) break;
        add(data + i, n);
        i += n;
    }
    return out;
}

}  // namespace ipcam::sim

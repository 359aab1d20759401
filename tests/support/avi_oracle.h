#pragma once
// Our Motion-JPEG AVI recordings read and built from the format's own rules,
// apart from the recorder's writer and the playback reader: what the tests
// hold recorded files against. The one table of the 512-byte header is shared
// by the reading and the building.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ipcam::test {

using Bytes = std::vector<uint8_t>;

struct AviRecording {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t microSecPerFrame = 0;
    uint32_t frames = 0;              // the header's frame count
    std::vector<Bytes> pictures;      // each chunk's bytes, the pad byte included
    std::vector<std::string> faults;  // every rule the bytes break: none for a sound file
};

// Reads a whole file: every byte of the header against its field, the
// picture chunks from offset 512, the idx1 index right after them pointing at
// each chunk, and nothing after the index.
AviRecording readAvi(const Bytes& file);

// Microseconds per frame for `frames` pictures in `seconds`, a zero counted
// as 1, truncated.
uint32_t perFrame(uint32_t seconds, size_t frames);

// The recording of `pictures`, byte for byte, as the format lays it out.
Bytes aviFile(const std::vector<Bytes>& pictures, uint32_t microSecPerFrame, uint32_t width = 320,
              uint32_t height = 240);

// Success when `file` is sound and holds exactly `pictures`, in order and
// byte for byte, at `microSecPerFrame` in a width x height header.
::testing::AssertionResult isAvi(const Bytes& file, const std::vector<Bytes>& pictures, uint32_t microSecPerFrame,
                                 uint32_t width = 320, uint32_t height = 240);

// Success when `file` breaks no rule of the format; the faults otherwise.
::testing::AssertionResult isValidAvi(const Bytes& file);

}  // namespace ipcam::test

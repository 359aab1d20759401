// The whole path of one picture against libjpeg decoding it alone.
//
// PicturePath: one camera write (picture + boundary line) handed to the
// controller as a socket read. The read that starts the next picture closes
// the previous one, which is then decoded into the preview image, checked for
// motion and appended to the running Manual recording on disk.
// DecodeAlone: the same pictures decoded by libjpeg into a BGRX buffer.
// 1920x1080 goes to the 320x240 panel: the path fits it at 320x180 (decoded
// at 1/4, then scaled down), the decode alone is at full size.
#include <benchmark/benchmark.h>

#include "bench_support.h"

namespace ipcam::bench {
namespace {

struct Size {
    const char* name;
    int width;
    int height;
    uint8_t resolution;
};
constexpr Size kSizes[] = {{"160x120", 160, 120, 2}, {"320x240", 320, 240, 1}, {"640x480", 640, 480, 0},
                          {"1920x1080", 1920, 1080, 1}};

void picturePath(benchmark::State& state, Size size) {
    const auto frames = makeFrames(size.width, size.height);
    std::vector<std::vector<uint8_t>> chunks;
    for (const auto& f : frames) chunks.push_back(asStreamChunk(f));
    RigOptions options;
    options.resolution = size.resolution;
    // The recording goes to memory-backed storage where there is one: this
    // figure is the program's own cost per picture; the disk's part is the
    // recording benchmark's.
    options.parentDirectory = memoryBackedDirectory();
    ControllerRig rig(options);
    rig.connect();
    rig.startManualRecording(chunks[0]);
    // A running status line, as after the first second of a recording.
    rig.controller().statusTick();
    size_t i = 0, bytes = 0;
    for (auto _ : state) {
        const auto& chunk = chunks[i++ % chunks.size()];
        rig.read(chunk);
        bytes += chunk.size();
    }
    if (rig.controller().recorder().session().RecordKind == kNotRecording) state.SkipWithError("the recording stopped");
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["picture_bytes"] = static_cast<double>(frames[0].size());
}

void decodeAlone(benchmark::State& state, Size size) {
    const auto frames = makeFrames(size.width, size.height);
    PlainDecoder decoder;
    size_t i = 0, bytes = 0;
    for (auto _ : state) {
        const auto& f = frames[i++ % frames.size()];
        if (!decoder.decode(f.data(), f.size())) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(decoder.pixels().data());
        bytes += f.size();
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

[[maybe_unused]] const bool registered = [] {
    for (const Size& s : kSizes) {
        benchmark::RegisterBenchmark((std::string("DecodeAlone/") + s.name).c_str(), decodeAlone, s)
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark((std::string("PicturePath/") + s.name).c_str(), picturePath, s)
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
    }
    return true;
}();

}  // namespace
}  // namespace ipcam::bench

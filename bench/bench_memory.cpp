// Peak resident memory over a 600-second Manual recording at 30 pictures
// per second of 640x480, run faster than real time: a fake clock moves one
// second per 30 pictures and the pictures are handed to the controller as
// socket reads. Runs alone in its own process so that the peak is ours.
//
// Usage: bench_memory [seconds]   (default 620: the 600-second cut and the
// start of the next file are included)
//        bench_memory preroll     a full 10-second pre-roll kept while idle
//                                 at 1920x1080, 25/s, then handed to a
//                                 Motion file: the whole program's peak
//        bench_memory 1080p [s]   a recording at 1920x1080, 25/s, no
//                                 pre-roll (default 120 s)
#include <QCoreApplication>
#include <QDir>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench_support.h"

using namespace ipcam;
using namespace ipcam::bench;

namespace {

double mib(uint64_t kib) { return static_cast<double>(kib) / 1024.0; }

// 1920 x 1080 pictures of about 250 KB, as such a camera sends them (the
// scene encodes smaller: the rest is filler after its end marker, which a
// decoder never reads).
std::vector<std::vector<uint8_t>> fullHdChunks() {
    std::vector<std::vector<uint8_t>> chunks;
    for (auto f : makeFrames(1920, 1080)) {
        if (f.size() < 250000) f.resize(250000, 0);
        chunks.push_back(asStreamChunk(f));
    }
    return chunks;
}

// Idle, watching for motion with the longest pre-roll, at 1920 x 1080 and
// 25 pictures a second: the recorder keeps every picture of the last 10 s
// (about 62 MB) for the next Motion recording. Pictures arrive 1/25 s apart
// by the recorder's arrival clock, however fast the loop hands them over.
// Then motion: the Motion file begins with the whole ring, handed to the
// recording's thread without a picture dropped.
int prerollMemory() {
    constexpr int kRate = 25;
    const auto chunks = fullHdChunks();
    const uint64_t atStart = procStatusKiB("VmHWM");

    RigOptions options;
    options.resolution = 0;
    options.prerollSeconds = kMaxPrerollSeconds;
    ControllerRig rig(options);
    rig.connect();
    Recorder& recorder = rig.controller().recorder();
    const auto start = std::chrono::steady_clock::now();
    int64_t arrived = 0;
    recorder.setArrivalClock([&] {
        return start + std::chrono::nanoseconds(arrived++ * 1000000000 / kRate);
    });
    size_t n = 0;
    auto feed = [&](int pictures) {
        for (int k = 0; k < pictures; ++k) rig.read(chunks[n++ % chunks.size()]);
    };
    // The preview and receive buffers are in use before the ring grows.
    feed(3);
    const uint64_t before = procStatusKiB("VmHWM");
    std::printf("Memory of the pre-roll kept while idle: %d s at %d pictures/s, 1920x1080 (%zu-byte pictures)\n",
                kMaxPrerollSeconds, kRate, chunks[0].size());
    std::printf("  %-35s VmHWM %7.1f MiB\n", "process start", mib(atStart));
    std::printf("  %-35s VmHWM %7.1f MiB  ring %4zu pictures %6.1f MiB\n", "idle, ring started", mib(before),
                recorder.prerollPictures(), static_cast<double>(recorder.prerollBytes()) / 1048576.0);
    uint64_t full = 0;
    for (int s = 1; s <= 3 * kMaxPrerollSeconds; ++s) {
        feed(kRate);
        if (s == kMaxPrerollSeconds) full = procStatusKiB("VmHWM");
        if (s % kMaxPrerollSeconds == 0) {
            std::printf("  after %3d s (%5zu pictures)         VmHWM %7.1f MiB  ring %4zu pictures %6.1f MiB\n", s, n,
                        mib(procStatusKiB("VmHWM")), recorder.prerollPictures(),
                        static_cast<double>(recorder.prerollBytes()) / 1048576.0);
        }
    }
    const bool idle = recorder.session().RecordKind == kNotRecording;
    const size_t ringPictures = recorder.prerollPictures();
    const int kept = recorder.prerollKeptSeconds();
    std::printf("  still idle: %s; ring holds %zu pictures (%s); grown since the ring was full: %+.1f MiB\n",
                idle ? "yes" : "no", ringPictures,
                kept ? ("cut to " + std::to_string(kept) + " s by its bound").c_str() : "the whole 10 s",
                mib(procStatusKiB("VmHWM")) - mib(full));

    // Motion: a white picture after the scene. The Motion file begins with
    // the ring; two more seconds follow, then the file is finished.
    std::vector<uint8_t> white(1920 * 1080 * 3, 0xFF);
    const auto moved = asStreamChunk(encodeJpeg(white, 1920, 1080, 80));
    rig.read(moved);
    const bool motion = (recorder.session().RecordKind & kMotion) != 0;
    const uint32_t framesAtStart = recorder.session().RecordFrames;
    feed(2 * kRate);
    recorder.settle();
    const uint64_t dropped = recorder.droppedPictures();
    recorder.endFromOutside();
    recorder.settle();
    const uint64_t peak = procStatusKiB("VmHWM");
    std::printf("  motion: %s; the Motion file began with %u pictures; dropped %llu; VmHWM %7.1f MiB\n",
                motion ? "yes" : "no", framesAtStart, static_cast<unsigned long long>(dropped), mib(peak));

    const bool ok = mib(peak) < 128.0 && dropped == 0 && motion && framesAtStart >= ringPictures;
    std::printf("\nRESULT | %-34s | %-12s | %-12s | %-7s | %-16s | %-4s |\n", "Peak memory, 10-s pre-roll 1080p",
                (std::to_string(static_cast<int>(mib(peak) + 0.5)) + " MiB").c_str(), "-", "-", "< 128 MiB",
                ok ? "yes" : "NO");
    return idle && ok ? 0 : 1;
}

}  // namespace

// Peak memory over a Manual recording of `seconds` at `rate` pictures a
// second of `chunks`, run faster than real time.
int recordingMemory(const std::vector<std::vector<uint8_t>>& chunks, const char* size, int rate, int seconds,
                    const char* label, double goalMiB) {
    const uint64_t atStart = procStatusKiB("VmHWM");
    RigOptions options;
    options.resolution = 0;
    ControllerRig rig(options);
    rig.connect();
    rig.startManualRecording(chunks[0]);
    const uint64_t ready = procStatusKiB("VmHWM");

    std::printf("Memory over a recording of %d s at %d pictures/s, %s (%zu-byte pictures)\n", seconds, rate, size,
                chunks[0].size());
    std::printf("  %-28s VmHWM %7.1f MiB\n", "process start", mib(atStart));
    std::printf("  %-28s VmHWM %7.1f MiB\n", "recording started", mib(ready));
    uint64_t at60 = 0;
    size_t n = 0;
    for (int s = 1; s <= seconds; ++s) {
        for (int k = 0; k < rate; ++k) rig.read(chunks[n++ % chunks.size()]);
        rig.clock().tick();
        rig.controller().statusTick();
        // A camera's second lasts a second: the recording's thread has long
        // written these pictures before the next ones come. Without this the
        // loop, many times faster than a camera, would measure the queue of
        // pictures waiting for the disk (bounded at 32 MiB) instead.
        rig.controller().recorder().settle();
        if (s == 60) at60 = procStatusKiB("VmHWM");
        if (s % 60 == 0 || s == seconds) {
            std::printf("  after %4d s (%6zu pictures) VmHWM %7.1f MiB  VmRSS %7.1f MiB\n", s, n,
                        mib(procStatusKiB("VmHWM")), mib(procStatusKiB("VmRSS")));
        }
    }
    rig.controller().recorder().settle();  // the first file's finish runs on the recording's thread
    const uint64_t peak = procStatusKiB("VmHWM");
    int finished = 0;
    const QDir dateFolder(QString::fromStdString(rig.directory() + "/20061012"));
    finished = static_cast<int>(dateFolder.entryList({"*.AVI"}, QDir::Files).size());
    std::printf("  finished recordings: %d; still recording: %s\n", finished,
                rig.controller().recorder().session().RecordKind != kNotRecording ? "yes" : "no");

    char goal[32];
    std::snprintf(goal, sizeof goal, "< %.0f MiB", goalMiB);
    std::printf("\nRESULT | %-34s | %-12s | %-12s | %-7s | %-16s | %-4s |\n", label,
                (std::to_string(static_cast<int>(mib(peak) + 0.5)) + " MiB").c_str(), "-", "-", goal,
                mib(peak) < goalMiB ? "yes" : "NO");
    if (seconds > 600) {
        const double growth = at60 ? mib(peak) - mib(at60) : 0.0;
        char growthText[32];
        std::snprintf(growthText, sizeof growthText, "%+.1f MiB", growth);
        std::printf("RESULT | %-34s | %-12s | %-12s | %-7s | %-16s | %-4s |\n", "Peak growth, minute 1 to the end",
                    growthText, "-", "-", "flat (< 1 MiB)", growth < 1.0 ? "yes" : "NO");
        return finished >= 1 ? 0 : 1;
    }
    return 0;
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "preroll") == 0) return prerollMemory();
    if (argc > 1 && std::strcmp(argv[1], "1080p") == 0) {
        const int seconds = argc > 2 ? std::atoi(argv[2]) : 120;
        return recordingMemory(fullHdChunks(), "1920x1080", 25, seconds, "Peak memory, 1080p recording", 96.0);
    }
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 620;
    std::vector<std::vector<uint8_t>> chunks;
    for (const auto& f : makeFrames(640, 480)) chunks.push_back(asStreamChunk(f));
    return recordingMemory(chunks, "640x480", 30, seconds, "Peak memory, 600 s recording", 64.0);
}

// Peak resident memory over a 600-second Manual recording at 30 pictures
// per second of 640x480, run faster than real time: a fake clock moves one
// second per 30 pictures and the pictures are handed to the controller as
// socket reads. Runs alone in its own process so that the peak is ours.
//
// Usage: bench_memory [seconds]   (default 620: the 600-second cut and the
// start of the next file are included)
//        bench_memory preroll     the growth of a full 10-second pre-roll
//                                 kept while idle at 640x480, 30/s
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

// Idle, watching for motion with the longest pre-roll: the recorder keeps
// every picture of the last 10 s for the next Motion recording. Pictures
// arrive 1/30 s apart by the recorder's arrival clock, however fast the loop
// hands them over.
int prerollMemory() {
    constexpr int kRate = 30;
    const auto frames = makeFrames(640, 480);
    std::vector<std::vector<uint8_t>> chunks;
    for (const auto& f : frames) chunks.push_back(asStreamChunk(f));

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
        for (int k = 0; k < pictures; ++k) rig.controller().onSocketRead(chunks[n++ % chunks.size()]);
    };
    // The preview and receive buffers are in use before the ring grows.
    feed(3);
    const uint64_t before = procStatusKiB("VmHWM");
    std::printf("Memory of the pre-roll kept while idle: %d s at %d pictures/s, 640x480 (%zu-byte pictures)\n",
                kMaxPrerollSeconds, kRate, frames[0].size());
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
    const uint64_t peak = procStatusKiB("VmHWM");
    const bool idle = recorder.session().RecordKind == kNotRecording;
    std::printf("  still idle: %s; grown since the ring was full: %+.1f MiB\n", idle ? "yes" : "no",
                mib(peak) - mib(full));

    const double growth = mib(peak) - mib(before);
    char growthText[32];
    std::snprintf(growthText, sizeof growthText, "+%.1f MiB", growth);
    // The ring's own bytes, and nothing more as it goes on.
    std::printf("\nRESULT | %-34s | %-12s | %-12s | %-7s | %-16s | %-4s |\n", "Peak growth, full 10-s pre-roll",
                growthText, "-", "-", "< 16 MiB", growth < 16.0 && peak - full < 1024 ? "yes" : "NO");
    return idle ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "preroll") == 0) return prerollMemory();
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 620;
    constexpr int kRate = 30;

    const uint64_t atStart = procStatusKiB("VmHWM");
    const auto frames = makeFrames(640, 480);
    std::vector<std::vector<uint8_t>> chunks;
    for (const auto& f : frames) chunks.push_back(asStreamChunk(f));

    RigOptions options;
    options.resolution = 0;
    ControllerRig rig(options);
    rig.connect();
    rig.startManualRecording(chunks[0]);
    const uint64_t ready = procStatusKiB("VmHWM");

    std::printf("Memory over a recording of %d s at %d pictures/s, 640x480 (%zu-byte pictures)\n", seconds, kRate,
                frames[0].size());
    std::printf("  %-28s VmHWM %7.1f MiB\n", "process start", mib(atStart));
    std::printf("  %-28s VmHWM %7.1f MiB\n", "recording started", mib(ready));
    uint64_t at60 = 0;
    size_t n = 0;
    for (int s = 1; s <= seconds; ++s) {
        for (int k = 0; k < kRate; ++k) rig.controller().onSocketRead(chunks[n++ % chunks.size()]);
        rig.clock().tick();
        rig.controller().timer1Timer();
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

    const double growth = at60 ? mib(peak) - mib(at60) : 0.0;
    std::printf("\nRESULT | %-34s | %-12s | %-12s | %-7s | %-16s | %-4s |\n", "Peak memory, 600 s recording",
                (std::to_string(static_cast<int>(mib(peak) + 0.5)) + " MiB").c_str(), "-", "-", "< 64 MiB",
                mib(peak) < 64.0 ? "yes" : "NO");
    char growthText[32];
    std::snprintf(growthText, sizeof growthText, "%+.1f MiB", growth);
    std::printf("RESULT | %-34s | %-12s | %-12s | %-7s | %-16s | %-4s |\n", "Peak growth, minute 1 to the end",
                growthText, "-", "-", "flat (< 1 MiB)", growth < 1.0 ? "yes" : "NO");
    return finished >= 1 ? 0 : 1;
}

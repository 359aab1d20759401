// Peak resident memory over a 600-second Manual recording at 30 pictures
// per second of 640x480, run faster than real time: a fake clock moves one
// second per 30 pictures and the pictures are handed to the controller as
// socket reads. Runs alone in its own process so that the peak is ours.
//
// Usage: bench_memory [seconds]   (default 620: the 600-second cut and the
// start of the next file are included)
#include <QCoreApplication>
#include <QDir>

#include <cstdio>
#include <cstdlib>

#include "bench_support.h"

using namespace ipcam;
using namespace ipcam::bench;

namespace {

double mib(uint64_t kib) { return static_cast<double>(kib) / 1024.0; }

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
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

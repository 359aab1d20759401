// Idle cost: CPU time of the program's own thread while it previews the
// simulated camera at 10 pictures per second of 320x240, watching for
// motion, with its one-second status and watchdog ticks. The simulator runs
// on a thread of its own on 127.0.0.1 and is not counted: only the thread
// that runs the controller and its socket (RUSAGE_THREAD).
//
// Usage: bench_idle [seconds]   (default 15, after a 2-second warm-up)
#include <sys/resource.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

#include "bench_support.h"
#include "camera/qt_camera_socket.h"
#include "ipcam_sim/simulator_thread.h"

using namespace ipcam;
using namespace ipcam::bench;

namespace {

double threadCpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_THREAD, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void runFor(int ms) {
    QTimer::singleShot(ms, QCoreApplication::instance(), &QCoreApplication::quit);
    QCoreApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;

    sim::SimulatorOptions options;  // binds 127.0.0.1 only
    options.fps = 10;
    options.still = true;  // an empty room: preview and motion watch, no recording
    sim::SimulatorThread simulator(options);
    QString error;
    if (!simulator.start(&error)) {
        std::fprintf(stderr, "simulator: %s\n", qPrintable(error));
        return 1;
    }

    QtCameraSocket socket;
    RigOptions rigOptions;
    rigOptions.resolution = 1;
    rigOptions.motionDetection = 1;
    rigOptions.port = simulator.streamPort();
    rigOptions.socket = &socket;
    ControllerRig rig(rigOptions);
    rig.connect();

    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&rig] {
        rig.controller().statusTick();
        rig.host().advance(1000);  // the link watchdog's second
    });
    tick.start(1000);

    runFor(2000);  // connect and settle
    const uint64_t picturesBefore = rig.host().repaints;
    QElapsedTimer wall;
    wall.start();
    const double cpuBefore = threadCpuSeconds();
    runFor(seconds * 1000);
    const double cpu = threadCpuSeconds() - cpuBefore;
    const double elapsed = static_cast<double>(wall.elapsed()) / 1000.0;
    const uint64_t pictures = rig.host().repaints - picturesBefore;

    const double perMinute = cpu * 60.0 / elapsed;
    const double share = 100.0 * cpu / elapsed;
    std::printf("Preview of %.1f s: %llu pictures (%.1f/s), %.1f ms CPU on the program's thread\n", elapsed,
                static_cast<unsigned long long>(pictures), static_cast<double>(pictures) / elapsed, cpu * 1000.0);
    std::printf("  %.0f ms CPU per minute = %.2f %% of one core, %.0f us per picture\n", perMinute * 1000.0, share,
                pictures ? cpu * 1e6 / static_cast<double>(pictures) : 0.0);
    char measured[32];
    std::snprintf(measured, sizeof measured, "%.2f %%", share);
    std::printf("\nRESULT | %-34s | %-12s | %-12s | %-7s | %-16s | %-4s |\n", "Idle cost, preview 10/s 320x240",
                measured, "-", "-", "< 3 % of a core", share < 3.0 ? "yes" : "NO");
    if (pictures < static_cast<uint64_t>(seconds) * 5) {
        std::fprintf(stderr, "too few pictures arrived: the stream did not run\n");
        return 1;
    }
    return 0;
}

// Entry of bench_ipcam: runs the benchmarks with the usual console output,
// then prints every figure beside its floor or limit as one table.
#include <unistd.h>

#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "bench_support.h"

namespace {

// Seconds per iteration (real time) of every benchmark that ran.
std::map<std::string, double> g_seconds;
std::map<std::string, bool> g_fromMedian;

class CollectingReporter : public benchmark::ConsoleReporter {
public:
    explicit CollectingReporter(OutputOptions options) : ConsoleReporter(options) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        // With repetitions the median stands for the benchmark; a single run
        // stands for itself.
        for (const Run& run : runs) {
            if (run.error_occurred || run.iterations == 0) continue;
            const double perIteration = run.real_accumulated_time / static_cast<double>(run.iterations);
            const std::string& name = run.run_name.function_name;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                g_seconds[name] = perIteration;
                g_fromMedian[name] = true;
            } else if (run.run_type == Run::RT_Iteration && !g_fromMedian[name]) {
                g_seconds[name] = perIteration;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

const double* find(const std::string& name) {
    const auto it = g_seconds.find(name);
    return it == g_seconds.end() ? nullptr : &it->second;
}

std::string timeText(double seconds) {
    char buf[32];
    if (seconds < 1e-3)
        std::snprintf(buf, sizeof buf, "%.1f us", seconds * 1e6);
    else if (seconds < 1.0)
        std::snprintf(buf, sizeof buf, "%.2f ms", seconds * 1e3);
    else
        std::snprintf(buf, sizeof buf, "%.2f s", seconds);
    return buf;
}

void row(const std::string& figure, const std::string& measured, const std::string& floor, const std::string& ratio,
         const std::string& goal, const char* met) {
    std::printf("| %-34s | %-12s | %-12s | %-7s | %-16s | %-4s |\n", figure.c_str(), measured.c_str(), floor.c_str(),
                ratio.c_str(), goal.c_str(), met);
}

// measured / floor, lower is better.
void ratioRow(const std::string& figure, const std::string& measuredName, const std::string& floorName,
              double limit) {
    const double* m = find(measuredName);
    const double* f = find(floorName);
    if (!m || !f) return;
    char ratio[16], goal[32];
    std::snprintf(ratio, sizeof ratio, "%.2fx", *m / *f);
    std::snprintf(goal, sizeof goal, "<= %.2fx", limit);
    row(figure, timeText(*m), timeText(*f), ratio, goal, *m / *f <= limit ? "yes" : "NO");
}

// Throughput of `measured` as a share of `floor` (same bytes per iteration).
void throughputRow(const std::string& figure, const std::string& measuredName, const std::string& floorName,
                   double minShare) {
    const double* m = find(measuredName);
    const double* f = find(floorName);
    if (!m || !f) return;
    char share[16], goal[32];
    std::snprintf(share, sizeof share, "%.0f%%", 100.0 * *f / *m);
    std::snprintf(goal, sizeof goal, ">= %.0f%%", minShare * 100.0);
    row(figure, timeText(*m), timeText(*f), share, goal, *f / *m >= minShare ? "yes" : "NO");
}

void limitRow(const std::string& figure, const std::string& name, double limitSeconds) {
    const double* m = find(name);
    if (!m) return;
    row(figure, timeText(*m), "-", "-", "< " + timeText(limitSeconds), *m < limitSeconds ? "yes" : "NO");
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    std::printf("Machine: %s\n\n", ipcam::bench::machineSummary().c_str());
    CollectingReporter reporter(::isatty(1) ? benchmark::ConsoleReporter::OO_ColorTabular
                                            : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\n");
    row("Figure", "Measured", "Floor", "Ratio", "Goal", "Met");
    std::printf("|%s|%s|%s|%s|%s|%s|\n", std::string(36, '-').c_str(), std::string(14, '-').c_str(),
                std::string(14, '-').c_str(), std::string(9, '-').c_str(), std::string(18, '-').c_str(),
                std::string(6, '-').c_str());
    for (const char* size : {"160x120", "320x240", "640x480"}) {
        ratioRow(std::string("Per picture, ") + size, std::string("PicturePath/") + size,
                 std::string("DecodeAlone/") + size, 1.15);
    }
    // Shown at 1/4 on the 320x240 panel: cheaper than decoding it whole.
    ratioRow("Per picture, 1920x1080 on 320x240", "PicturePath/1920x1080", "DecodeAlone/1920x1080", 1.0);
    throughputRow("Recording append vs plain write", "RecordAppend/640x480", "PlainWrite/640x480", 0.90);
    limitRow("Finish of a 600-second file", "FinishRecording/600s", 1.0);
    limitRow("UI stall, each disk sync 1.5 s", "UiStallSlowDisk/1.5s", 0.050);
    limitRow("Playback open, 600-second file", "PlaybackOpen/600s", 0.050);
    limitRow("Playback open, cold cache", "PlaybackOpenCold/600s", 0.050);
    ratioRow("Playback random picture", "PlaybackRandomPicture/640x480", "PlaybackDecodeAlone/640x480", 1.2);
    limitRow("Disk guard pass, 2 years", "DiskGuardPass/730x144", 0.050);
    return 0;
}

// The whole program as the service runs it: `ipcam-recorder --headless` as a
// process of its own, against the camera simulator's standard MJPEG stream
// on 127.0.0.1 (a thread of this process, not counted). Figures are Google
// Benchmark counters; each benchmark runs once (the time shown is its wall
// time).
//
//   HeadlessMotion1080p15/R: motion detection on, nothing recording, a still
//     1920x1080 scene at 15/s, resolution setting R. The CPU time of the
//     whole process (every thread, user + system) per picture the simulator
//     sent, with the preview not wanted (as the service runs) beside the
//     same program told to decode the preview as a window does
//     (IPCAM_DECODE_PREVIEW=1), and their ratio; also with motion detection
//     off, when nothing is decoded.
//   HeadlessRecording2160p15: a Daily recording (every hour of the week) of
//     a 3840x2160 scene at 15/s with motion detection on; the process's peak
//     resident memory (VmHWM) after the run, goal below 128 MiB.
//
// Usage: bench_headless [Google Benchmark flags]
//   BENCH_HEADLESS_PROGRAM  the program (default: ../ipcam-recorder beside bench/)
//   BENCH_HEADLESS_SECONDS  length of each CPU window (default 10; three windows, median)
//   BENCH_HEADLESS_RECORD   seconds the 2160p recording runs (default 60)
#include <time.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "ipcam_sim/simulator_thread.h"

using namespace ipcam;
using namespace std::chrono_literals;

namespace {

int envInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && std::atoi(v) > 0 ? std::atoi(v) : fallback;
}

std::string programPath() {
    if (const char* p = std::getenv("BENCH_HEADLESS_PROGRAM")) return p;
    return (QCoreApplication::applicationDirPath() + "/../ipcam-recorder").toStdString();
}

uint64_t statusKiB(qint64 pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, key.size(), key) == 0) return std::strtoull(line.c_str() + key.size(), nullptr, 10);
    return 0;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// The simulator's MJPEG stream of `size` at `fps` and the headless program
// recording it, its settings and recordings in a temporary folder.
class Run {
public:
    Run(QSize size, int fps, bool still, bool daily, bool motion, int resolution, bool decodePreview) {
        sim::SimulatorOptions options;
        options.fps = fps;
        options.still = still;
        options.mjpegPath = "/stream";
        options.pictureSize = size;
        options.startPage = false;
        simulator_ = std::make_unique<sim::SimulatorThread>(options);
        QString error;
        if (!simulator_->start(&error)) {
            error_ = "simulator: " + error.toStdString();
            return;
        }
        // Recordings on memory-backed storage where there is one: the figures
        // are the program's, not the disk's.
        const std::string shm = bench::memoryBackedDirectory();
        recordings_ = std::make_unique<QTemporaryDir>(QString::fromStdString((shm.empty() ? dir_.path().toStdString() : shm) +
                                                                             "/bench_headless-XXXXXX"));
        const std::string settings = dir_.path().toStdString() + "/ipcam-recorder.INI";
        {
            std::ofstream ini(settings);
            ini << "[IPCAM_1]\r\nHost_Addr=127.0.0.1\r\nHost_Port=" << simulator_->streamPort()
                << "\r\nIPCAM_Password=pxwqe\r\nDescriptor=\r\nAVI_Directory=" << recordings_->path().toStdString()
                << "\r\nMotion_Detection_Enabled=" << (motion ? 1 : 0) << "\r\nMotion_sensitivity=5\r\nResolution="
                << resolution << "\r\nFrequency=1\r\n"
                   "Quality=1\r\nBrightness=1\r\nOrientation=0\r\nAlarm_Email_Enabled=0\r\nCamera_URL=http://127.0.0.1:"
                << simulator_->streamPort() << "/stream\r\n";
            for (int d = 0; d < 7; ++d)
                for (int h = 0; h < 24; ++h) ini << "TimeBlock" << d << "_" << h << "=" << (daily ? 1 : 0) << "\r\n";
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("IPCAM_DECODE_PREVIEW", decodePreview ? "1" : "0");
        program_.setProcessEnvironment(env);
        program_.setWorkingDirectory(dir_.path());
        program_.setStandardOutputFile(QProcess::nullDevice());
        program_.setStandardErrorFile(QProcess::nullDevice());
        program_.start(QString::fromStdString(programPath()),
                       {"--headless", "--settings", QString::fromStdString(settings)});
        if (!program_.waitForStarted(5000)) {
            error_ = "cannot start " + programPath();
            return;
        }
        // Connected within the start sequence's first seconds.
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (sent() < 3 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(100ms);
        if (sent() < 3) error_ = "the program never received pictures";
    }
    ~Run() {
        if (program_.state() != QProcess::NotRunning) {
            program_.terminate();
            if (!program_.waitForFinished(15000)) program_.kill();
            program_.waitForFinished(5000);
        }
    }

    const std::string& error() const { return error_; }
    qint64 pid() const { return program_.processId(); }
    uint64_t sent() const {
        uint64_t n = 0;
        simulator_->invoke([&n](sim::CameraSimulator& s) { n = s.picturesSent(); });
        return n;
    }
    // Ends the program as systemctl stop does; whether it ended cleanly.
    bool stop() {
        program_.terminate();
        return program_.waitForFinished(15000) && program_.exitStatus() == QProcess::NormalExit &&
               program_.exitCode() == 0;
    }
    // Finished recordings (the date folders' AVI files) and their bytes.
    int finishedFiles(qint64* bytes = nullptr) const {
        int n = 0;
        const QDir rec(recordings_->path());
        for (const QString& day : rec.entryList({"????????"}, QDir::Dirs)) {
            for (const QFileInfo& f : QDir(rec.filePath(day)).entryInfoList({"*.AVI"}, QDir::Files)) {
                ++n;
                if (bytes) *bytes += f.size();
            }
        }
        return n;
    }

    // CPU seconds per picture sent over `windows` windows of `seconds`, the
    // median; also the pictures per second. Negative when the stream stopped.
    double cpuPerPicture(int seconds, int windows, double* rate) {
        std::vector<double> perPicture, rates;
        for (int w = 0; w < windows; ++w) {
            const uint64_t before = sent();
            const double cpuBefore = bench::processCpuSeconds(pid());
            const auto wallBefore = std::chrono::steady_clock::now();
            std::this_thread::sleep_for(std::chrono::seconds(seconds));
            const double cpu = bench::processCpuSeconds(pid()) - cpuBefore;
            const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
            const uint64_t pictures = sent() - before;
            if (pictures == 0 || cpu < 0) return -1;
            perPicture.push_back(cpu / static_cast<double>(pictures));
            rates.push_back(static_cast<double>(pictures) / wall);
        }
        if (rate) *rate = median(rates);
        return median(perPicture);
    }

private:
    QTemporaryDir dir_{QDir::tempPath() + "/bench_headless-XXXXXX"};
    std::unique_ptr<QTemporaryDir> recordings_;
    std::unique_ptr<sim::SimulatorThread> simulator_;
    QProcess program_;
    std::string error_;
};

// state.range(0): the resolution setting (1: the 320x240 panel, the first
// run's; 0: 640x480).
void HeadlessMotion1080p15(benchmark::State& state) {
    const int seconds = envInt("BENCH_HEADLESS_SECONDS", 10);
    const int resolution = static_cast<int>(state.range(0));
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        // The preview not wanted, then decoded as a window decodes it, both
        // with motion detection; then neither (motion detection off).
        double perPicture[3] = {0, 0, 0}, rate[3] = {0, 0, 0};
        for (int k = 0; k < 3; ++k) {
            Run run(QSize(1920, 1080), 15, /*still=*/true, /*daily=*/false, /*motion=*/k < 2, resolution, k == 1);
            if (!run.error().empty()) {
                state.SkipWithError(run.error().c_str());
                return;
            }
            std::this_thread::sleep_for(2s);  // settled: caches warm, the detector comparing
            perPicture[k] = run.cpuPerPicture(seconds, 3, &rate[k]);
            if (perPicture[k] < 0) {
                state.SkipWithError("the stream stopped during the measurement");
                return;
            }
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        state.counters["unwanted_ms"] = perPicture[0] * 1e3;
        state.counters["decoded_ms"] = perPicture[1] * 1e3;
        state.counters["ratio"] = perPicture[0] / perPicture[1];
        state.counters["no_motion_ms"] = perPicture[2] * 1e3;
        state.counters["pictures_s"] = rate[0];
        char figure[64], unwanted[32], decoded[32], ratio[16];
        std::snprintf(figure, sizeof figure, "Headless motion 1080p 15/s, res %d", resolution);
        std::snprintf(unwanted, sizeof unwanted, "%.2f ms", perPicture[0] * 1e3);
        std::snprintf(decoded, sizeof decoded, "%.2f ms", perPicture[1] * 1e3);
        std::snprintf(ratio, sizeof ratio, "%.2fx", perPicture[0] / perPicture[1]);
        std::printf("RESULT | %-34s | %-12s | %-12s | %-7s | %-16s | %-4s |\n", figure, unwanted, decoded, ratio,
                    "< 1.00x", perPicture[0] < perPicture[1] ? "yes" : "NO");
    }
}
BENCHMARK(HeadlessMotion1080p15)->Arg(1)->Arg(0)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

void HeadlessRecording2160p15(benchmark::State& state) {
    const int seconds = envInt("BENCH_HEADLESS_RECORD", 60);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        // A still scene: the simulator encodes it once, so that its own work
        // leaves the machine to the program.
        Run run(QSize(3840, 2160), 15, /*still=*/true, /*daily=*/true, /*motion=*/true, 1, false);
        if (!run.error().empty()) {
            state.SkipWithError(run.error().c_str());
            return;
        }
        const uint64_t before = run.sent();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double rate = static_cast<double>(run.sent() - before) / seconds;
        const double peak = static_cast<double>(statusKiB(run.pid(), "VmHWM:")) / 1024.0;
        const double resident = static_cast<double>(statusKiB(run.pid(), "VmRSS:")) / 1024.0;
        const bool ended = run.stop();
        qint64 bytes = 0;
        const int files = run.finishedFiles(&bytes);
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        state.counters["VmHWM_MiB"] = peak;
        state.counters["VmRSS_MiB"] = resident;
        state.counters["pictures_s"] = rate;
        state.counters["files"] = files;
        state.counters["recorded_MiB"] = static_cast<double>(bytes) / 1048576.0;
        if (!ended || files < 1) state.SkipWithError("the recording did not end in a file");
        std::printf("RESULT | %-34s | %-12s | %-12s | %-7s | %-16s | %-4s |\n", "Peak mem, headless 2160p 15/s",
                    (std::to_string(static_cast<int>(peak + 0.5)) + " MiB").c_str(),
                    ("VmHWM, " + std::to_string(seconds) + " s").c_str(), "-", "< 128 MiB", peak < 128 ? "yes" : "NO");
    }
}
BENCHMARK(HeadlessRecording2160p15)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

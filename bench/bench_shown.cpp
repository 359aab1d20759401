// What a shown picture costs the whole program: the real ipcam-recorder,
// its window mapped on an X server of its own (Xvfb), records a Daily
// recording of the camera simulator on loopback. The CPU time of the whole
// process (every thread, user + system, its CPU-time clock) over a window
// of N seconds is divided by the pictures the simulator sent in it, and put
// beside the decode alone of the simulator's own pictures of the same size,
// decoded here in-process with the program's JpegDecoder in the same run.
// Then, on the same stream, the floor of any whole program: bench_receive,
// a process that only receives the stream and decodes every picture, its CPU
// time per picture measured the same way. Also the idle cost: the window
// shown, previewing a still 320x240 scene at 10/s, nothing recorded.
//
// Standard MJPEG cameras (HTTP, multipart/x-mixed-replace) at 640x480,
// 1280x720 and 1920x1080, 30/s: the program shown and recording a Daily
// recording of the simulator's stream (Camera_URL), beside the pipeline a
// user would script instead, on the same stream and the same display:
//   gst-launch-1.0 souphttpsrc location=URL ! multipartdemux ! jpegparse !
//     capssetter caps=image/jpeg,framerate=30/1 ! tee name=t t. ! queue ! jpegdec ! videoconvert ! ximagesink
//     t. ! queue ! avimux ! filesink location=FILE.avi
// (avimux refuses pictures without a frame rate, which a multipart stream
// does not carry: capssetter gives them the camera's), each one's CPU time per picture measured the same way, over windows of
// the same length; also the program's peak resident memory (VmHWM) then.
//
// RTSP cameras (ipcam-rtsp-sim, H.264 1920x1080 at 25/s): the program shown
// and recording beside rtspsrc ! rtph264depay ! h264parse ! tee into
// decodebin ! ximagesink and matroskamux ! filesink (rtsp1920); and with a
// 640x360 preview stream of the same scene from a second camera
// (rtsp1920preview), beside a pipeline doing the same two-stream job: the
// main stream rtspsrc ! rtph264depay ! h264parse ! matroskamux ! filesink,
// the preview stream rtspsrc ! rtph264depay ! avdec_h264 ! videoconvert !
// ximagesink. CPU per picture of the main stream. Beside both, their floor:
// bench_rtsp_floor, the same libraries reading the same streams and decoding
// and converting the one shown, nothing shown or recorded.
//
// The simulator runs on a thread of this process (not counted) and serves
// its start page on port 80 of the loopback address, as the program asks
// the camera's start page there: this needs root (or CAP_NET_BIND_SERVICE).
// The settings file is written beside a copy of the program before it
// starts, pointing at the simulator, so nothing looks for a real camera.
//
// Usage: bench_shown <path of ipcam-recorder> [seconds per window, default 8]
//   BENCH_SHOWN_BIND    loopback address of the simulator (default 127.0.0.1)
//   BENCH_SHOWN_REPEATS windows per case, the median is shown (default 3)
//   BENCH_SHOWN_CASES   e.g. "640x30,160x10,idle" (default: every case)
//   BENCH_SHOWN_HOLD    seconds to keep the first case running before its
//                       windows, with the program's pid printed (for perf)
//   BENCH_SHOWN_MJPEG_HOLD seconds the program records each MJPEG stream
//                       before its windows (default 0), so that its VmHWM
//                       covers a longer recording
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTcpServer>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "camera/jpeg_decoder.h"
#include "ipcam_sim/scene.h"
#include "ipcam_sim/simulator_thread.h"

using namespace ipcam;
using namespace std::chrono_literals;

namespace {

struct Case {
    int width;       // 640, 320 or 160
    int fps;         // pictures per second sent by the simulator
    bool idle;       // still scene, nothing recorded
    const char* key; // for BENCH_SHOWN_CASES
};

int resolutionFor(int width) { return width == 640 ? 0 : width == 160 ? 2 : 1; }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    if (v.empty()) return 0;
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// CPU time of the whole process (every thread, also those that ended), in
// seconds: its CPU-time clock, to the nanosecond. /proc's utime + stime count
// in 10 ms ticks, which over a few seconds at 30 pictures a second would move
// a figure by 0.07 ms a picture; they are the fallback.
double processCpuSeconds(pid_t pid) {
    clockid_t clock{};
    timespec t{};
    if (::clock_getcpuclockid(pid, &clock) == 0 && ::clock_gettime(clock, &t) == 0)
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double threadCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& env, const std::string& dir,
            int keepFd = -1) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(127);
    for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
    const int devnull = ::open("/dev/null", O_RDWR);
    ::dup2(devnull, STDIN_FILENO);
    if (!std::getenv("BENCH_SHOWN_VERBOSE")) {
        ::dup2(devnull, STDOUT_FILENO);
        ::dup2(devnull, STDERR_FILENO);
    }
    for (int fd = 3; fd < 1024; ++fd)
        if (fd != keepFd) ::close(fd);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
}

bool waitExit(pid_t pid, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);  // the program closes its window and ends its recording
    if (!waitExit(pid, 10s)) {
        ::kill(pid, SIGKILL);
        waitExit(pid, 5s);
    }
}

// An X server of our own; its display number comes back through -displayfd.
struct XServer {
    pid_t pid = -1;
    std::string display;
    bool start() {
        int fds[2];
        if (::pipe(fds) != 0) return false;
        pid = spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-nolisten", "tcp", "-screen", "0",
                     "1920x1080x24"},
                    {}, "", fds[1]);
        ::close(fds[1]);
        std::string number;
        char c;
        while (::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        ::close(fds[0]);
        if (number.empty()) return false;
        display = ":" + number;
        return true;
    }
    ~XServer() { stop(pid); }
};

// The simulator's own pictures of one size (the moving scene, its quality).
std::vector<QByteArray> simulatorPictures(int width, int count) {
    const QSize size = sim::sizeForV(width == 640 ? 2 : width == 160 ? 0 : 1);
    std::vector<QByteArray> out;
    for (int n = 0; n < count; ++n)
        out.push_back(sim::encodeJpeg(sim::renderScene(size, sim::SceneKind::Moving, static_cast<uint64_t>(n),
                                                       {12, 0, n % 60}),
                                      size));
    return out;
}

// CPU time of the program's decoder alone per picture: median of five runs
// of at least 0.3 s each over the same pictures.
double decodeAloneSeconds(const std::vector<QByteArray>& pictures) {
    JpegDecoder decoder;
    QImage image;
    std::vector<double> runs;
    for (int r = 0; r < 5; ++r) {
        const double start = threadCpuSeconds();
        uint64_t n = 0;
        while (threadCpuSeconds() - start < 0.3) {
            const QByteArray& p = pictures[n % pictures.size()];
            if (!decoder.decode(reinterpret_cast<const uint8_t*>(p.constData()), static_cast<size_t>(p.size()), image))
                return -1;
            ++n;
        }
        runs.push_back((threadCpuSeconds() - start) / static_cast<double>(n));
    }
    return median(runs);
}

// The same decode paced as the camera paces it: one picture every 1/fps s
// for `seconds`, so that caches and branch predictors are as cold as they
// are in the program between two pictures. CPU time per picture.
double pacedDecodeSeconds(const std::vector<QByteArray>& pictures, int fps, int seconds) {
    JpegDecoder decoder;
    QImage image;
    const auto period = std::chrono::microseconds(1000000 / fps);
    auto next = std::chrono::steady_clock::now();
    double cpu = 0;
    const int count = fps * seconds;
    for (int n = 0; n < count; ++n) {
        std::this_thread::sleep_until(next);
        next += period;
        const QByteArray& p = pictures[static_cast<size_t>(n) % pictures.size()];
        const double start = threadCpuSeconds();
        if (!decoder.decode(reinterpret_cast<const uint8_t*>(p.constData()), static_cast<size_t>(p.size()), image))
            return -1;
        cpu += threadCpuSeconds() - start;
    }
    return cpu / count;
}

std::string formatTime(double seconds) {
    char b[32];
    if (seconds >= 1e-3) std::snprintf(b, sizeof b, "%.2f ms", seconds * 1e3);
    else std::snprintf(b, sizeof b, "%.1f us", seconds * 1e6);
    return b;
}

void writeSettings(const std::string& path, const std::string& host, quint16 port, const std::string& recordings,
                   int resolution, bool daily) {
    std::ofstream ini(path);
    ini << "[IPCAM_1]\r\nHost_Addr=" << host << "\r\nHost_Port=" << port
        << "\r\nIPCAM_Password=pxwqe\r\nDescriptor=\r\nAVI_Directory=" << recordings
        << "\r\nMotion_Detection_Enabled=0\r\nMotion_sensitivity=5\r\nResolution=" << resolution
        << "\r\nFrequency=1\r\nQuality=1\r\nBrightness=1\r\nOrientation=0\r\nAlarm_Email_Enabled=0\r\n";
    for (int d = 0; d < 7; ++d)
        for (int h = 0; h < 24; ++h) ini << "TimeBlock" << d << "_" << h << "=" << (daily ? 1 : 0) << "\r\n";
}

struct Measured {
    double peakKiB = 0;       // VmHWM of the program at the end of its run (MJPEG cases)
    double runSeconds = 0;    // how long the program ran until then
    double pipeline = 0;      // gst-launch-1.0 on the same stream, seconds of CPU per picture (0: not measured)
    double perPicture = 0;  // whole program, seconds of CPU per picture
    double share = 0;       // whole program, share of one core
    double picturesPerSecond = 0;
    double receiveFloor = 0;  // bench_receive on the same stream, seconds of CPU per picture (0: not measured)
    bool ok = false;
};

// CPU time of process `pid` per picture the simulator sent, over `repeats`
// windows of `seconds`. False when the stream stopped.
template <typename Sent>
bool measureWindows(pid_t pid, Sent& sent, int seconds, int repeats, std::vector<double>& perPicture,
                    std::vector<double>* share, std::vector<double>* rate) {
    for (int r = 0; r < repeats; ++r) {
        const uint64_t sentBefore = sent();
        const double cpuBefore = processCpuSeconds(pid);
        const auto wallBefore = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double cpu = processCpuSeconds(pid) - cpuBefore;
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
        const uint64_t pictures = sent() - sentBefore;
        if (pictures == 0 || cpu < 0) return false;
        perPicture.push_back(cpu / static_cast<double>(pictures));
        if (share) share->push_back(cpu / wall);
        if (rate) rate->push_back(static_cast<double>(pictures) / wall);
    }
    return true;
}

Measured runCase(const Case& c, const std::string& program, const std::string& receiver, const std::string& display,
                 const QHostAddress& bind, int seconds, int repeats, int hold) {
    Measured m;
    sim::SimulatorOptions options;
    options.bindAddress = bind;
    options.httpPort = 80;  // where the program asks for the camera's start page
    options.fps = c.fps;
    options.still = c.idle;
    sim::SimulatorThread simulator(options);
    QString error;
    if (!simulator.start(&error)) {
        std::fprintf(stderr, "simulator: %s (port 80 needs root; BENCH_SHOWN_BIND picks another loopback address)\n",
                     qPrintable(error));
        return m;
    }
    QTemporaryDir dir(QDir::tempPath() + "/bench_shown-XXXXXX");
    const std::string base = dir.path().toStdString();
    const std::string copy = base + "/ipcam-recorder";
    if (!QFile::copy(QString::fromStdString(program), QString::fromStdString(copy))) {
        std::fprintf(stderr, "cannot copy %s\n", program.c_str());
        return m;
    }
    ::chmod(copy.c_str(), 0755);
    // Recordings go to memory-backed storage where there is one: the figure
    // is about the program, not the disk.
    std::string recordings = bench::memoryBackedDirectory();
    QTemporaryDir recordingDir(QString::fromStdString((recordings.empty() ? base : recordings) + "/bench_shown-XXXXXX"));
    writeSettings(copy + ".INI", bind.toString().toStdString(), simulator.streamPort(),
                  recordingDir.path().toStdString(), resolutionFor(c.width), !c.idle);

    const pid_t pid = spawn({copy}, {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb"}, base);
    auto sent = [&simulator] {
        uint64_t n = 0;
        simulator.invoke([&n](sim::CameraSimulator& s) { n = s.picturesSent(); });
        return n;
    };
    // The first connection attempt follows the first activation by five seconds.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (sent() < 3 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(100ms);
    if (sent() < 3) {
        std::fprintf(stderr, "the program never received pictures\n");
        stop(pid);
        return m;
    }
    if (hold > 0) {
        std::printf("  program pid %d, holding %d s\n", static_cast<int>(pid), hold);
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(hold));
    }
    std::this_thread::sleep_for(2s);  // settle: the recording has started, caches are warm
    std::vector<double> perPicture, share, rate;
    const bool complete = measureWindows(pid, sent, seconds, repeats, perPicture, &share, &rate);
    stop(pid);
    if (!complete) {
        std::fprintf(stderr, "the stream stopped during the measurement\n");
        return m;
    }
    // The floor: a process that only receives and decodes the same stream.
    if (!c.idle && !receiver.empty()) {
        const uint64_t before = sent();
        const pid_t floorPid = spawn({receiver, bind.toString().toStdString(), std::to_string(simulator.streamPort()),
                                      std::to_string(resolutionFor(c.width))},
                                     {}, base);
        const auto until = std::chrono::steady_clock::now() + 10s;
        while (sent() < before + 3 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(50ms);
        std::this_thread::sleep_for(2s);
        std::vector<double> floor;
        if (measureWindows(floorPid, sent, seconds, repeats, floor, nullptr, nullptr)) m.receiveFloor = median(floor);
        stop(floorPid);
    }
    m.perPicture = median(perPicture);
    m.share = median(share);
    m.picturesPerSecond = median(rate);
    m.ok = true;
    return m;
}


uint64_t statusKiB(pid_t pid, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string k = key;
    while (std::getline(in, line))
        if (line.compare(0, k.size(), k) == 0) return std::strtoull(line.c_str() + k.size(), nullptr, 10);
    return 0;
}

// A standard MJPEG stream of `size` at `fps`: the program shown and
// recording, then the gst-launch-1.0 pipeline on the same stream and display.
Measured runMjpegCase(QSize size, int fps, const std::string& program, const std::string& display,
                      const QHostAddress& bind, int seconds, int repeats, int hold) {
    Measured m;
    sim::SimulatorOptions options;
    options.bindAddress = bind;
    options.fps = fps;
    options.mjpegPath = "/stream";
    options.pictureSize = size;
    options.startPage = false;
    sim::SimulatorThread simulator(options);
    QString error;
    if (!simulator.start(&error)) {
        std::fprintf(stderr, "simulator: %s\n", qPrintable(error));
        return m;
    }
    const std::string url =
        "http://" + bind.toString().toStdString() + ":" + std::to_string(simulator.streamPort()) + "/stream";
    QTemporaryDir dir(QDir::tempPath() + "/bench_shown-XXXXXX");
    const std::string base = dir.path().toStdString();
    const std::string copy = base + "/ipcam-recorder";
    if (!QFile::copy(QString::fromStdString(program), QString::fromStdString(copy))) {
        std::fprintf(stderr, "cannot copy %s\n", program.c_str());
        return m;
    }
    ::chmod(copy.c_str(), 0755);
    std::string recordings = bench::memoryBackedDirectory();
    QTemporaryDir recordingDir(QString::fromStdString((recordings.empty() ? base : recordings) + "/bench_shown-XXXXXX"));
    writeSettings(copy + ".INI", bind.toString().toStdString(), simulator.streamPort(),
                  recordingDir.path().toStdString(), 0, true);
    {
        std::ofstream ini(copy + ".INI", std::ios::app);
        ini << "Camera_URL=" << url << "\r\n";
    }
    auto sent = [&simulator] {
        uint64_t n = 0;
        simulator.invoke([&n](sim::CameraSimulator& s) { n = s.picturesSent(); });
        return n;
    };
    auto waitPictures = [&sent](uint64_t before) {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (sent() < before + 3 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(100ms);
        return sent() >= before + 3;
    };
    const auto started = std::chrono::steady_clock::now();
    const pid_t pid = spawn({copy}, {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb"}, base);
    if (!waitPictures(0)) {
        std::fprintf(stderr, "the program never received pictures\n");
        stop(pid);
        return m;
    }
    if (hold > 0) {
        std::printf("  program pid %d, recording %d s before its windows\n", static_cast<int>(pid), hold);
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(hold));
    }
    std::this_thread::sleep_for(2s);
    std::vector<double> perPicture, rate;
    const bool complete = measureWindows(pid, sent, seconds, repeats, perPicture, nullptr, &rate);
    m.peakKiB = static_cast<double>(statusKiB(pid, "VmHWM:"));
    m.runSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    stop(pid);
    if (!complete) {
        std::fprintf(stderr, "the stream stopped during the measurement\n");
        return m;
    }
    // The pipeline, on the same stream and display, recording into the same storage.
    const std::string avi = recordingDir.path().toStdString() + "/pipeline.avi";
    const uint64_t before = sent();
    const pid_t gst = spawn({"gst-launch-1.0", "-q", "souphttpsrc", "location=" + url, "!", "multipartdemux", "!",
                             "jpegparse", "!", "capssetter",
                             "caps=image/jpeg,framerate=" + std::to_string(fps) + "/1", "!", "tee", "name=t", "t.", "!", "queue", "!", "jpegdec", "!",
                             "videoconvert", "!", "ximagesink", "t.", "!", "queue", "!", "avimux", "!", "filesink",
                             "location=" + avi},
                            {"DISPLAY=" + display}, base);
    if (waitPictures(before)) {
        std::this_thread::sleep_for(2s);
        std::vector<double> pipeline;
        if (measureWindows(gst, sent, seconds, repeats, pipeline, nullptr, nullptr)) m.pipeline = median(pipeline);
    } else {
        std::fprintf(stderr, "gst-launch-1.0 never received pictures (Debian packages gstreamer1.0-tools, -plugins-good, -plugins-bad, -x)\n");
    }
    ::kill(gst, SIGINT);
    if (!waitExit(gst, 5s)) stop(gst);
    m.perPicture = median(perPicture);
    m.picturesPerSecond = median(rate);
    m.ok = true;
    return m;
}

// Lines in the RTSP test camera's --keep-sent file: access units sent.
uint64_t linesIn(const std::string& path) {
    std::ifstream in(path);
    return static_cast<uint64_t>(std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
}

// An RTSP camera sending H.264 of `size` at `fps`: the program shown and
// recording by stream copy, then a gst-launch-1.0 pipeline that shows and
// records the same stream on the same display. The camera gives each
// client a stream of its own from the same scene, one client at a time.
// With a `preview` size, a second camera sends the same scene at that size
// as the program's preview stream (Camera_Preview_URL): the program records
// the first and shows the second, and so does the pipeline (main stream into
// Matroska, preview stream decoded into a window). Either way the figure is
// CPU per picture of the main stream.
Measured runRtspCase(QSize size, int fps, QSize preview, const std::string& program, const std::string& camera,
                     const std::string& floorProgram, const std::string& display, int seconds, int repeats) {
    Measured m;
    QTemporaryDir dir(QDir::tempPath() + "/bench_shown-XXXXXX");
    const std::string base = dir.path().toStdString();
    const std::string sentFile = base + "/sent.txt";
    auto startCamera = [&](QSize s, const std::string& path, const std::vector<std::string>& extra, std::string* url) {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        const quint16 port = probe.serverPort();
        probe.close();
        std::vector<std::string> args{camera, "--port", std::to_string(port), "--path", path, "--size",
                                      std::to_string(s.width()) + "x" + std::to_string(s.height()), "--fps",
                                      std::to_string(fps), "--gop", std::to_string(2 * fps), "--scene", "ball"};
        args.insert(args.end(), extra.begin(), extra.end());
        *url = "rtsp://127.0.0.1:" + std::to_string(port) + path;
        return spawn(args, {}, base);
    };
    std::string url, previewUrl;
    const pid_t cam = startCamera(size, "/stream", {"--keep-sent", sentFile}, &url);
    const pid_t previewCam = preview.isValid() ? startCamera(preview, "/preview", {}, &previewUrl) : -1;
    std::this_thread::sleep_for(1s);
    auto stopCameras = [&] {
        stop(cam);
        stop(previewCam);
    };
    const std::string copy = base + "/ipcam-recorder";
    if (!QFile::copy(QString::fromStdString(program), QString::fromStdString(copy))) {
        stopCameras();
        return m;
    }
    ::chmod(copy.c_str(), 0755);
    std::string recordings = bench::memoryBackedDirectory();
    QTemporaryDir recordingDir(QString::fromStdString((recordings.empty() ? base : recordings) + "/bench_shown-XXXXXX"));
    writeSettings(copy + ".INI", "127.0.0.1", 554, recordingDir.path().toStdString(), 0, true);
    {
        std::ofstream ini(copy + ".INI", std::ios::app);
        ini << "Camera_URL=" << url << "\r\n";
        if (!previewUrl.empty()) ini << "Camera_Preview_URL=" << previewUrl << "\r\n";
    }
    auto sent = [&] { return linesIn(sentFile); };
    auto waitPictures = [&](uint64_t before) {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (sent() < before + 3 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(100ms);
        return sent() >= before + 3;
    };
    const auto started = std::chrono::steady_clock::now();
    const pid_t pid = spawn({copy}, {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb"}, base);
    if (!waitPictures(0)) {
        std::fprintf(stderr, "the program never received pictures\n");
        stop(pid);
        stopCameras();
        return m;
    }
    std::this_thread::sleep_for(3s);
    std::vector<double> perPicture, rate;
    const bool complete = measureWindows(pid, sent, seconds, repeats, perPicture, nullptr, &rate);
    m.peakKiB = static_cast<double>(statusKiB(pid, "VmHWM:"));
    m.runSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    stop(pid);
    std::this_thread::sleep_for(1s);
    if (complete && !floorProgram.empty()) {
        // The floor: the same libraries reading the same streams, decoding
        // and converting the one shown; nothing shown, nothing recorded.
        const uint64_t before = sent();
        std::vector<std::string> args{floorProgram, url};
        if (!previewUrl.empty()) args.push_back(previewUrl);
        const pid_t floorPid = spawn(args, {}, base);
        if (waitPictures(before)) {
            std::this_thread::sleep_for(2s);
            std::vector<double> floor;
            if (measureWindows(floorPid, sent, seconds, repeats, floor, nullptr, nullptr)) m.receiveFloor = median(floor);
        }
        stop(floorPid);
        std::this_thread::sleep_for(1s);
    }
    if (complete) {
        const std::string mkv = recordingDir.path().toStdString() + "/pipeline.mkv";
        const uint64_t before = sent();
        std::vector<std::string> pipeline{"gst-launch-1.0", "-q", "rtspsrc", "location=" + url, "protocols=tcp",
                                          "latency=0", "!", "rtph264depay", "!", "h264parse"};
        if (previewUrl.empty()) {
            for (const char* e : {"!", "tee", "name=t", "t.", "!", "queue", "!", "decodebin", "!", "videoconvert", "!",
                                  "ximagesink", "t.", "!", "queue"})
                pipeline.emplace_back(e);
        }
        for (const std::string& e : {std::string("!"), std::string("matroskamux"), std::string("!"),
                                     std::string("filesink"), "location=" + mkv})
            pipeline.push_back(e);
        if (!previewUrl.empty()) {
            for (const std::string& e :
                 {std::string("rtspsrc"), "location=" + previewUrl, std::string("protocols=tcp"),
                  std::string("latency=0"), std::string("!"), std::string("rtph264depay"), std::string("!"),
                  std::string("avdec_h264"), std::string("!"), std::string("videoconvert"), std::string("!"),
                  std::string("ximagesink")})
                pipeline.push_back(e);
        }
        const pid_t gst = spawn(pipeline, {"DISPLAY=" + display}, base);
        if (waitPictures(before)) {
            std::this_thread::sleep_for(3s);
            std::vector<double> figures;
            if (measureWindows(gst, sent, seconds, repeats, figures, nullptr, nullptr)) m.pipeline = median(figures);
        } else {
            std::fprintf(stderr, "gst-launch-1.0 never received pictures (Debian packages gstreamer1.0-plugins-good, -libav, -x)\n");
        }
        ::kill(gst, SIGINT);
        if (!waitExit(gst, 5s)) stop(gst);
    } else {
        std::fprintf(stderr, "the stream stopped during the measurement\n");
    }
    stopCameras();
    m.perPicture = median(perPicture);
    m.picturesPerSecond = median(rate);
    m.ok = complete;
    return m;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_shown <path of ipcam-recorder> [seconds per window]\n");
        return 2;
    }
    const std::string program = argv[1];
    // The receive-and-decode floor, built beside this benchmark.
    std::string receiver = QCoreApplication::applicationDirPath().toStdString() + "/bench_receive";
    if (::access(receiver.c_str(), X_OK) != 0) receiver.clear();
    const int seconds = argc > 2 ? std::max(2, std::atoi(argv[2])) : 8;
    const char* bindText = std::getenv("BENCH_SHOWN_BIND");
    const QHostAddress bind(QString::fromLatin1(bindText ? bindText : "127.0.0.1"));
    if (bind.isNull() || !bind.isLoopback()) {
        std::fprintf(stderr, "BENCH_SHOWN_BIND must be a loopback address\n");
        return 2;
    }
    const int repeats = std::getenv("BENCH_SHOWN_REPEATS") ? std::max(1, std::atoi(std::getenv("BENCH_SHOWN_REPEATS"))) : 3;
    const std::string only = std::getenv("BENCH_SHOWN_CASES") ? std::getenv("BENCH_SHOWN_CASES") : "";
    int hold = std::getenv("BENCH_SHOWN_HOLD") ? std::atoi(std::getenv("BENCH_SHOWN_HOLD")) : 0;

    XServer x;
    if (!x.start()) {
        std::fprintf(stderr, "cannot start Xvfb (Debian package xvfb)\n");
        return 1;
    }
    std::printf("Xvfb on %s; %d windows of %d s per case, medians\n", x.display.c_str(), repeats, seconds);

    const Case cases[] = {{640, 30, false, "640x30"}, {640, 10, false, "640x10"}, {320, 30, false, "320x30"},
                          {320, 10, false, "320x10"}, {160, 30, false, "160x30"}, {160, 10, false, "160x10"},
                          {320, 10, true, "idle"}};
    std::vector<std::string> results;
    bool failed = false;
    for (const Case& c : cases) {
        if (!only.empty() && ("," + only + ",").find("," + std::string(c.key) + ",") == std::string::npos) continue;
        const Measured m = runCase(c, program, receiver, x.display, bind, seconds, repeats, hold);
        hold = 0;
        if (!m.ok) {
            failed = true;
            continue;
        }
        const int height = c.width * 3 / 4;
        char figure[64], measured[32], goal[32], ratio[16];
        if (c.idle) {
            std::printf("Idle, shown, still %dx%d at %d/s: %.1f pictures/s, %.2f %% of a core (whole program), %s per picture\n",
                        c.width, height, c.fps, m.picturesPerSecond, m.share * 100, formatTime(m.perPicture).c_str());
            std::snprintf(measured, sizeof measured, "%.2f %%", m.share * 100);
            const bool met = m.share < 0.03;
            std::snprintf(figure, sizeof figure, "Idle, shown, %dx%d 10/s (whole)", c.width, height);
            char line[256];
            std::snprintf(line, sizeof line, "RESULT | %-34s | %-12s | %-12s | %-7s | %-16s | %-4s |", figure,
                          measured, "-", "-", "< 3 % of a core", met ? "yes" : "NO");
            results.push_back(line);
            continue;
        }
        const std::vector<QByteArray> pictures = simulatorPictures(c.width, 30);
        const double decode = decodeAloneSeconds(pictures);
        const double paced = pacedDecodeSeconds(pictures, c.fps, 3);
        const double r = m.perPicture / decode;
        std::printf("Shown %dx%d at %d/s: %.1f pictures/s, %s CPU per picture (whole program), "
                    "decode alone %s back to back, %s paced at %d/s (in-process): %.2fx, %.2fx paced\n",
                    c.width, height, c.fps, m.picturesPerSecond, formatTime(m.perPicture).c_str(),
                    formatTime(decode).c_str(), formatTime(paced).c_str(), c.fps, r, m.perPicture / paced);
        std::fflush(stdout);
        std::snprintf(figure, sizeof figure, "Shown %dx%d %d/s (whole)", c.width, height, c.fps);
        std::snprintf(ratio, sizeof ratio, "%.2fx", r);
        const bool goalApplies = c.fps == 30;
        std::snprintf(goal, sizeof goal, "%s", goalApplies ? "<= 1.30x" : "-");
        char line[256];
        std::snprintf(line, sizeof line, "RESULT | %-34s | %-12s | %-12s | %-7s | %-16s | %-4s |", figure,
                      formatTime(m.perPicture).c_str(), formatTime(decode).c_str(), ratio, goal,
                      goalApplies ? (r <= 1.3 ? "yes" : "NO") : "-");
        results.push_back(line);
        if (m.receiveFloor > 0) {
            std::printf("  Received and decoded only (bench_receive, whole process, same stream): %s per picture: "
                        "%.2fx decode alone; shown program %.2fx of it\n",
                        formatTime(m.receiveFloor).c_str(), m.receiveFloor / decode, m.perPicture / m.receiveFloor);
            std::fflush(stdout);
            std::snprintf(figure, sizeof figure, "Recv+decode %dx%d %d/s (whole)", c.width, height, c.fps);
            std::snprintf(ratio, sizeof ratio, "%.2fx", m.receiveFloor / decode);
            std::snprintf(line, sizeof line, "RESULT | %-34s | %-12s | %-12s | %-7s | %-16s | %-4s |", figure,
                          formatTime(m.receiveFloor).c_str(), formatTime(decode).c_str(), ratio, "-", "-");
            results.push_back(line);
        }
    }
    // Standard MJPEG cameras, the program beside the pipeline a user would script.
    struct MjpegCase {
        QSize size;
        const char* key;
        double goal;  // program / pipeline at most
    };
    const MjpegCase mjpegCases[] = {{QSize(640, 480), "mjpeg640", 0.7},
                                    {QSize(1280, 720), "mjpeg1280", 0.5},
                                    {QSize(1920, 1080), "mjpeg1920", 0.5}};
    const int mjpegHold = std::getenv("BENCH_SHOWN_MJPEG_HOLD") ? std::atoi(std::getenv("BENCH_SHOWN_MJPEG_HOLD")) : 0;
    for (const MjpegCase& c : mjpegCases) {
        if (!only.empty() && ("," + only + ",").find("," + std::string(c.key) + ",") == std::string::npos) continue;
        const Measured m = runMjpegCase(c.size, 30, program, x.display, bind, seconds, repeats, mjpegHold);
        if (!m.ok) {
            failed = true;
            continue;
        }
        const int w = c.size.width(), h = c.size.height();
        std::printf("MJPEG %dx%d at 30/s, shown and recording: %.1f pictures/s, program %s CPU per picture "
                    "(whole), peak resident %.1f MiB after %.0f s; gst-launch-1.0 pipeline %s per picture; "
                    "program %.2fx the pipeline\n",
                    w, h, m.picturesPerSecond, formatTime(m.perPicture).c_str(), m.peakKiB / 1024, m.runSeconds,
                    m.pipeline > 0 ? formatTime(m.pipeline).c_str() : "not measured",
                    m.pipeline > 0 ? m.perPicture / m.pipeline : 0.0);
        std::fflush(stdout);
        char figure[64], ratio[16], goal[32], line[256];
        std::snprintf(figure, sizeof figure, "MJPEG %dx%d 30/s, gst (whole)", w, h);
        std::snprintf(ratio, sizeof ratio, "%.2fx", m.pipeline > 0 ? m.perPicture / m.pipeline : 0.0);
        std::snprintf(goal, sizeof goal, "<= %.2fx", c.goal);
        std::snprintf(line, sizeof line, "RESULT | %-34s | %-12s | %-12s | %-7s | %-16s | %-4s |", figure,
                      formatTime(m.perPicture).c_str(), m.pipeline > 0 ? formatTime(m.pipeline).c_str() : "-",
                      m.pipeline > 0 ? ratio : "-", goal,
                      m.pipeline > 0 ? (m.perPicture / m.pipeline <= c.goal ? "yes" : "NO") : "-");
        results.push_back(line);
        if (w == 1920) {
            char measured[32], note[64];
            std::snprintf(measured, sizeof measured, "%.1f MiB", m.peakKiB / 1024);
            std::snprintf(note, sizeof note, "VmHWM, %.0f s", m.runSeconds);
            std::snprintf(line, sizeof line, "RESULT | %-34s | %-12s | %-12s | %-7s | %-16s | %-4s |",
                          "Peak mem, MJPEG 1920x1080 (whole)", measured, note, "-", "< 96 MiB",
                          m.peakKiB / 1024 < 96 ? "yes" : "NO");
            results.push_back(line);
        }
    }
    // An RTSP camera, H.264 1920x1080 at 25/s, beside the pipeline a user would script; the same with a
    // 640x360 preview stream beside it.
    struct RtspCase {
        QSize preview;  // invalid: no preview stream
        const char* key;
        const char* figure;
        double goal;  // program / pipeline at most
    };
    const RtspCase rtspCases[] = {{QSize(), "rtsp1920", "RTSP H.264 1920x1080 25/s, gst", 0.8},
                                  {QSize(640, 360), "rtsp1920preview", "RTSP 1080p + 640x360 preview, gst", 0.5}};
    const std::string rtspCamera = QCoreApplication::applicationDirPath().toStdString() + "/../tools/ipcam-rtsp-sim";
    std::string rtspFloor = QCoreApplication::applicationDirPath().toStdString() + "/bench_rtsp_floor";
    if (::access(rtspFloor.c_str(), X_OK) != 0) rtspFloor.clear();
    for (const RtspCase& c : rtspCases) {
        if ((!only.empty() && ("," + only + ",").find("," + std::string(c.key) + ",") == std::string::npos) ||
            ::access(rtspCamera.c_str(), X_OK) != 0)
            continue;
        const Measured m =
            runRtspCase(QSize(1920, 1080), 25, c.preview, program, rtspCamera, rtspFloor, x.display, seconds, repeats);
        if (!m.ok) {
            failed = true;
            continue;
        }
        const double r = m.pipeline > 0 ? m.perPicture / m.pipeline : 0.0;
        std::printf("RTSP H.264 1920x1080 at 25/s%s, shown and recording: %.1f pictures/s, program %s CPU per "
                    "picture (whole), peak resident %.1f MiB after %.0f s; gst-launch-1.0 pipeline %s per "
                    "picture; program %.2fx the pipeline\n",
                    c.preview.isValid() ? " with a 640x360 preview stream" : "", m.picturesPerSecond,
                    formatTime(m.perPicture).c_str(), m.peakKiB / 1024, m.runSeconds,
                    m.pipeline > 0 ? formatTime(m.pipeline).c_str() : "not measured", r);
        std::fflush(stdout);
        char ratio[16], goal[32], line[256], measured[32], note[64];
        std::snprintf(ratio, sizeof ratio, "%.2fx", r);
        std::snprintf(goal, sizeof goal, "<= %.2fx", c.goal);
        std::snprintf(line, sizeof line, "RESULT | %-34s | %-12s | %-12s | %-7s | %-16s | %-4s |", c.figure,
                      formatTime(m.perPicture).c_str(), m.pipeline > 0 ? formatTime(m.pipeline).c_str() : "-",
                      m.pipeline > 0 ? ratio : "-", goal, m.pipeline > 0 ? (r <= c.goal ? "yes" : "NO") : "-");
        results.push_back(line);
        if (m.receiveFloor > 0 && m.pipeline > 0) {
            // What any program built on the same libraries costs at least,
            // against the pipeline: the goal cannot be below it.
            std::printf("  floor (libavformat reading, libavcodec decoding and libswscale converting what is shown; "
                        "nothing shown or recorded): %s per picture, %.2fx the pipeline; the program is %.2fx the floor\n",
                        formatTime(m.receiveFloor).c_str(), m.receiveFloor / m.pipeline, m.perPicture / m.receiveFloor);
            std::fflush(stdout);
            std::snprintf(ratio, sizeof ratio, "%.2fx", m.receiveFloor / m.pipeline);
            std::snprintf(line, sizeof line, "RESULT | %-34s | %-12s | %-12s | %-7s | %-16s | %-4s |",
                          c.preview.isValid() ? "  its floor (libraries alone), gst" : "  its floor (libraries alone)",
                          formatTime(m.receiveFloor).c_str(), formatTime(m.pipeline).c_str(), ratio, "-", "-");
            results.push_back(line);
        }
        if (!c.preview.isValid()) {
            std::snprintf(measured, sizeof measured, "%.1f MiB", m.peakKiB / 1024);
            std::snprintf(note, sizeof note, "VmHWM, %.0f s", m.runSeconds);
            std::snprintf(line, sizeof line, "RESULT | %-34s | %-12s | %-12s | %-7s | %-16s | %-4s |",
                          "Peak mem, RTSP 1920x1080 (whole)", measured, note, "-", "< 160 MiB",
                          m.peakKiB / 1024 < 160 ? "yes" : "NO");
            results.push_back(line);
        }
    }
    std::printf("\n");
    for (const auto& l : results) std::printf("%s\n", l.c_str());
    return failed ? 1 : 0;
}

// The web page's share of the engine's thread and its sign-in cost.
//
// WebPublish: one camera picture (40 KB, shared as the engine hands it out)
// given to the web page on the engine's thread: kept as the newest and queued
// for each live viewer; the viewers here never read, so every queue is full
// and drops its oldest. WebPasswordCheck: one sign-in's slow hash (PBKDF2-HMAC-
// SHA256, 600000 iterations).
//
// WebThreeViewers640x480: the whole program as the service runs it
// (`ipcam-recorder --headless`, a process of its own, the web page on),
// making a Daily recording of the simulator's 640x480 MJPEG stream at 30/s on
// 127.0.0.1. The CPU time of the whole process per picture the simulator
// sent, with no viewer and then, in the same run, with three viewers reading
// /api/live.mjpeg as fast as it comes; their ratio, goal at most 1.15. Beside
// it, the floor of the sends alone: one thread sending pictures of the same
// size to three loopback readers at the same rate.
//   BENCH_WEB_SECONDS  length of each CPU window (default 10; three windows, median)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "frontends/web/web_password.h"
#include "frontends/web/web_state.h"
#include "ipcam_sim/simulator_thread.h"

namespace ipcam::bench {
namespace {

void webPublish(benchmark::State& state) {
    WebState web;
    std::vector<std::shared_ptr<PictureQueue>> viewers;
    for (int64_t i = 0; i < state.range(0); ++i)
        viewers.push_back(web.addViewer());
    const auto picture = std::make_shared<const std::vector<uint8_t>>(40 * 1024, 0x5A);
    for (auto _ : state)
        web.publish(picture);
    state.counters["viewers"] = static_cast<double>(state.range(0));
}
BENCHMARK(webPublish)->Arg(0)->Arg(1)->Arg(8)->Arg(32);

void webPasswordCheck(benchmark::State& state) {
    const std::string stored = hashWebPassword("a sign-in password");
    for (auto _ : state)
        benchmark::DoNotOptimize(verifyWebPassword("a sign-in password", stored));
}
BENCHMARK(webPasswordCheck)->Unit(benchmark::kMillisecond)->Iterations(3);

// A port on 127.0.0.1 that was free a moment ago.
uint16_t freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

// A browser's live view: reads /api/live.mjpeg as fast as it comes until told to stop.
class LiveViewer {
public:
    LiveViewer(uint16_t port, const std::string& authorization) {
        thread_ = std::thread([this, port, authorization] {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            timeval timeout{0, 200000};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
                const std::string request = "GET /api/live.mjpeg HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                            "\r\nAuthorization: Basic " + authorization + "\r\n\r\n";
                if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
                    std::vector<char> buffer(64 * 1024);
                    while (!stop_) {
                        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
                        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) break;
                        if (n > 0) bytes_ += static_cast<uint64_t>(n);
                    }
                }
            }
            ::close(fd);
        });
    }
    ~LiveViewer() {
        stop_ = true;
        thread_.join();
    }
    uint64_t bytes() const { return bytes_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> bytes_{0};
    std::thread thread_;
};

// The floor of any server that sends each picture to three viewers over
// loopback TCP: one thread sending `bytes` to three readers, `fps` times a
// second for `seconds`; its own CPU time per picture (the readers' side of
// loopback, done in the sender's system calls, included).
double sendFloorPerPicture(size_t bytes, int fps, int seconds) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener, 3) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        ::close(listener);
        return -1;
    }
    std::vector<int> senders, readers;
    for (int i = 0; i < 3; ++i) {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
        senders.push_back(s);
        readers.push_back(::accept(listener, nullptr, nullptr));
    }
    ::close(listener);
    std::vector<std::thread> reading;
    for (int fd : readers)
        reading.emplace_back([fd] {
            std::vector<char> buffer(64 * 1024);
            while (::recv(fd, buffer.data(), buffer.size(), 0) > 0) {
            }
        });
    const std::vector<char> picture(bytes, 'j');
    timespec t0{}, t1{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
    const int pictures = fps * seconds;
    auto next = std::chrono::steady_clock::now();
    for (int n = 0; n < pictures; ++n) {
        for (int fd : senders) ::send(fd, picture.data(), picture.size(), MSG_NOSIGNAL);
        next += std::chrono::microseconds(1000000 / fps);
        std::this_thread::sleep_until(next);
    }
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t1);
    for (int fd : senders) ::close(fd);
    for (auto& r : reading) r.join();
    for (int fd : readers) ::close(fd);
    const double cpu = static_cast<double>(t1.tv_sec - t0.tv_sec) + static_cast<double>(t1.tv_nsec - t0.tv_nsec) / 1e9;
    return cpu / pictures;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

void WebThreeViewers640x480(benchmark::State& state) {
    const char* secondsText = std::getenv("BENCH_WEB_SECONDS");
    const int seconds = secondsText && std::atoi(secondsText) > 0 ? std::atoi(secondsText) : 10;
    const std::string program = (QCoreApplication::applicationDirPath() + "/../ipcam-recorder").toStdString();
    for (auto _ : state) {
        sim::SimulatorOptions options;
        options.fps = 30;
        options.mjpegPath = "/stream";
        options.pictureSize = QSize(640, 480);
        options.startPage = false;
        sim::SimulatorThread simulator(options);
        QString error;
        if (!simulator.start(&error)) {
            state.SkipWithError(("simulator: " + error.toStdString()).c_str());
            return;
        }
        auto sent = [&simulator] {
            uint64_t n = 0;
            simulator.invoke([&n](sim::CameraSimulator& s) { n = s.picturesSent(); });
            return n;
        };
        QTemporaryDir dir(QDir::tempPath() + "/bench_web-XXXXXX");
        const std::string shm = memoryBackedDirectory();
        QTemporaryDir recordings(QString::fromStdString((shm.empty() ? dir.path().toStdString() : shm) + "/bench_web-XXXXXX"));
        const uint16_t webPort = freeLoopbackPort();
        const std::string settings = dir.path().toStdString() + "/ipcam-recorder.INI";
        {
            std::ofstream ini(settings);
            ini << "[IPCAM_1]\r\nHost_Addr=127.0.0.1\r\nHost_Port=" << simulator.streamPort()
                << "\r\nIPCAM_Password=pxwqe\r\nAVI_Directory=" << recordings.path().toStdString()
                << "\r\nMotion_Detection_Enabled=0\r\nResolution=0\r\nFrequency=1\r\nQuality=1\r\nBrightness=1\r\n"
                   "Camera_URL=http://127.0.0.1:"
                << simulator.streamPort() << "/stream\r\nWeb_Address=127.0.0.1:" << webPort
                << "\r\nWeb_Password_Hash=" << hashWebPassword("bench viewer", 1000) << "\r\n";
            for (int d = 0; d < 7; ++d)
                for (int h = 0; h < 24; ++h) ini << "TimeBlock" << d << "_" << h << "=1\r\n";
        }
        QProcess recorder;
        recorder.setWorkingDirectory(dir.path());
        recorder.setStandardOutputFile(QProcess::nullDevice());
        recorder.setStandardErrorFile(QProcess::nullDevice());
        recorder.start(QString::fromStdString(program), {"--headless", "--settings", QString::fromStdString(settings)});
        if (!recorder.waitForStarted(5000)) {
            state.SkipWithError(("cannot start " + program).c_str());
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (sent() < 30 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        // CPU per picture sent: the median of three windows.
        auto cpuPerPicture = [&] {
            std::vector<double> perPicture;
            for (int w = 0; w < 3; ++w) {
                const uint64_t before = sent();
                const double cpuBefore = processCpuSeconds(recorder.processId());
                std::this_thread::sleep_for(std::chrono::seconds(seconds));
                const double cpu = processCpuSeconds(recorder.processId()) - cpuBefore;
                const uint64_t pictures = sent() - before;
                if (pictures == 0 || cpu < 0) return -1.0;
                perPicture.push_back(cpu / static_cast<double>(pictures));
            }
            return median(perPicture);
        };
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const double alone = cpuPerPicture();
        uint64_t viewed = 0, sentWhileViewed = 0;
        double viewers = -1;
        {
            const uint64_t sentBefore = sent();
            const std::string authorization = QByteArray("admin:bench viewer").toBase64().toStdString();
            std::vector<std::unique_ptr<LiveViewer>> three;
            for (int i = 0; i < 3; ++i) three.push_back(std::make_unique<LiveViewer>(webPort, authorization));
            std::this_thread::sleep_for(std::chrono::seconds(2));
            viewers = cpuPerPicture();
            for (const auto& v : three) viewed += v->bytes();
            sentWhileViewed = sent() - sentBefore;
        }
        recorder.terminate();
        if (!recorder.waitForFinished(15000)) recorder.kill();
        if (alone <= 0 || viewers <= 0 || viewed == 0) {
            state.SkipWithError("the stream stopped, or the viewers got nothing");
            return;
        }
        // The same bytes sent to three readers by one thread, nothing else.
        const size_t pictureBytes = static_cast<size_t>(viewed / 3 / std::max<uint64_t>(1, sentWhileViewed));
        const double floor = sendFloorPerPicture(pictureBytes, 30, seconds);
        state.counters["cpu_ms_alone"] = alone * 1e3;
        state.counters["send_floor_ms"] = floor * 1e3;
        state.counters["cpu_ms_3viewers"] = viewers * 1e3;
        state.counters["ratio"] = viewers / alone;
        state.counters["viewer_MB"] = static_cast<double>(viewed) / 1e6;
        std::printf("Three live viewers, 640x480 at 30/s recorded: %.3f ms CPU a picture alone, %.3f ms with three "
                    "viewers: %.2fx (goal <= 1.15x); sending the %zu bytes to three loopback readers alone costs "
                    "%.3f ms a picture (%.2fx)\n",
                    alone * 1e3, viewers * 1e3, viewers / alone, pictureBytes, floor * 1e3, (alone + floor) / alone);
    }
}
BENCHMARK(WebThreeViewers640x480)->Unit(benchmark::kSecond)->Iterations(1)->Repetitions(1);

}  // namespace
}  // namespace ipcam::bench

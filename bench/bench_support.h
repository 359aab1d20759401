#pragma once
// What the benchmarks share: test pictures made here with libjpeg, a plain
// libjpeg decoder (the floor every picture is measured against), fakes
// around MainController and small /proc readers. Nothing touches the network.

#include <QTemporaryDir>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "camera/stream_protocol.h"
#include "engine/main_controller.h"

namespace ipcam::bench {

// ---------------------------------------------------------------- pictures

// A camera-like scene as 8-bit RGB: a lit wall gradient, a doorway, a shelf
// of small objects with sharp edges, a time stamp band and sensor noise that
// changes with `seed` (consecutive frames of a still scene differ only there).
std::vector<uint8_t> renderScene(int width, int height, uint32_t seed);

// Baseline JFIF (starts FF D8 FF E0), 4:2:0, the given quality.
std::vector<uint8_t> encodeJpeg(const std::vector<uint8_t>& rgb, int width, int height, int quality);

// `count` consecutive frames of the scene at one size, quality 80.
std::vector<std::vector<uint8_t>> makeFrames(int width, int height, int count = 4);

// The camera's boundary line, written right after each picture.
inline constexpr char kBoundaryLine[] = "\r\nEOB\r\n";

// A frame as the camera sends it in one write: picture + boundary line.
std::vector<uint8_t> asStreamChunk(const std::vector<uint8_t>& jpeg);

// libjpeg alone: decodes into a caller-owned 32-bit BGRX buffer (the byte
// order of QImage::Format_RGB32), nothing else.
class PlainDecoder {
public:
    PlainDecoder();
    ~PlainDecoder();
    PlainDecoder(const PlainDecoder&) = delete;
    PlainDecoder& operator=(const PlainDecoder&) = delete;
    bool decode(const uint8_t* data, size_t size);
    const std::vector<uint8_t>& pixels() const { return pixels_; }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::vector<uint8_t> pixels_;
};

// ---------------------------------------------------------------- controller rig

class FakeClock final : public Clock {
public:
    LocalDateTime current = makeDateTime(2006, 10, 12, 15, 30, 12);
    LocalDateTime now() const override { return current; }
    // Moves the time of day on by one second (and the date at midnight).
    void tick();
};

class FakeFreeSpace final : public FreeSpaceQuery {
public:
    uint32_t mb = 100000;
    uint32_t freeSpaceMB(const std::string&) override { return mb; }
};

// The engine around the controller, doing nothing but count repaints; the
// link's time passes only when advance() says so.
class NullHost final : public MainHost {
public:
    uint64_t repaints = 0;
    MainController* controller = nullptr;
    int64_t now = 0;
    int64_t wakeAt = -1;
    void startTimer(TimerId, int) override {}
    void stopTimer(TimerId) override {}
    void setTimerInterval(TimerId, int) override {}
    void post(std::function<void()>) override {}
    void publishState() override {}
    void publishEvent(const EngineEvent&) override {}
    void previewChanged() override { ++repaints; }
    int64_t linkNow() const override { return now; }
    void wakeLinkAt(int64_t at) override { wakeAt = at; }
    void advance(int64_t ms);
};

// The camera's side is driven by the rig: the source listens here.
class NullSocket final : public CameraSocket {
public:
    bool openNow = false;
    CameraSocketEvents* events = nullptr;
    void setEvents(CameraSocketEvents* e) override { events = e; }
    void open(const std::string&, uint16_t) override { openNow = true; }
    void close() override { openNow = false; }
    bool isOpen() const override { return openNow; }
    void send(const std::string&) override {}
};

class NullPing final : public PingControl {
public:
    void restart() override {}
    void suspend() override {}
};

class FixedStartPage final : public StartPageFetcher {
public:
    std::optional<std::string> fetch(const std::string&) override {
        return std::string("<html><head><title>Bench Camera</title></head></html>");
    }
};

struct RigOptions {
    uint8_t resolution = 1;        // 0 640x480, 1 320x240, 2 160x120
    uint8_t motionDetection = 1;   // watching for motion, as a guard does
    uint8_t sensitivity = 5;
    uint8_t prerollSeconds = 0;    // Motion_Preroll_Seconds
    uint16_t port = 8080;          // loopback only
    CameraSocket* socket = nullptr;  // nullptr: a socket that does nothing
    // Folder for the settings file and the recordings; empty: the system's
    // temporary folder.
    std::string parentDirectory;
};

// "/dev/shm" where it exists (memory-backed), else "": for figures that are
// about the program's own cost per picture, not the disk's speed.
std::string memoryBackedDirectory();

// A MainController on fakes, its settings file and recordings in a
// temporary folder, the camera at 127.0.0.1.
class ControllerRig {
public:
    explicit ControllerRig(RigOptions options = {});
    ~ControllerRig();

    // Activation and the connection timer; with the null socket, also the
    // connect event and the camera's reply header.
    void connect();
    // Presses Record and feeds one picture, so that the recording is running.
    void startManualRecording(const std::vector<uint8_t>& chunk);
    // Bytes from the camera, as one read of the null socket.
    void read(const std::vector<uint8_t>& bytes);

    MainController& controller() { return *controller_; }
    FakeClock& clock() { return clock_; }
    NullHost& host() { return host_; }
    WorkerShared& shared() { return shared_; }
    std::string directory() const { return dir_.path().toStdString(); }

private:
    QTemporaryDir dir_;
    NullHost host_;
    NullSocket nullSocket_;
    NullPing ping_;
    FixedStartPage startPage_;
    FakeClock clock_;
    FakeFreeSpace freeSpace_;
    WorkerShared shared_;
    std::unique_ptr<SettingsStore> store_;
    std::unique_ptr<MainController> controller_;
    bool nullSocketUsed_ = true;
};

// ---------------------------------------------------------------- recordings

// Writes a finished recording of `pictures` pictures (cycling through
// `frames`) lasting `seconds` into `directory`/<date>/ with the recorder's
// own file writer. Returns the final path; throws on failure.
std::string writeRecording(const std::string& directory, const std::vector<std::vector<uint8_t>>& frames,
                           uint32_t pictures, uint32_t seconds, uint8_t resolution);

// Makes everything written on the file system holding `path` durable.
void syncFileSystem(const std::string& path);

// ---------------------------------------------------------------- process figures

// A "VmHWM:"/"VmRSS:" style line of /proc/self/status, in KiB (0 if absent).
uint64_t procStatusKiB(const char* key);

// CPU time of process `pid`, every thread, user + system, in seconds; -1
// when it cannot be read.
double processCpuSeconds(long long pid);

// Size and model of this machine, for the report.
std::string machineSummary();

}  // namespace ipcam::bench

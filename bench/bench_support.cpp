#include "bench_support.h"

#include "ipcam_sim/scene.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <QDate>
#include <QDir>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <jpeglib.h>

#include "recording/avi_writer.h"

namespace ipcam::bench {

namespace {

struct JpegError {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

extern "C" void jumpOnError(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1);
}
extern "C" void quietMessage(j_common_ptr) {}

uint8_t clampByte(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

}  // namespace

// ---------------------------------------------------------------- pictures

std::vector<uint8_t> renderScene(int w, int h, uint32_t seed) {
    std::vector<uint8_t> px(static_cast<size_t>(w) * static_cast<size_t>(h) * 3);
    uint32_t noise = 0x9E3779B9u ^ (seed * 0x85EBCA6Bu);
    auto next = [&noise]() {
        noise ^= noise << 13;
        noise ^= noise >> 17;
        noise ^= noise << 5;
        return noise;
    };
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            // Wall lit from the upper left, a darker floor below 70 %.
            int r = 150 - (x * 50) / w - (y * 40) / h;
            int g = 140 - (x * 40) / w - (y * 30) / h;
            int b = 120 - (x * 20) / w - (y * 20) / h;
            if (y > h * 7 / 10) {
                // Floor tiles.
                const bool tile = ((x / (w / 16 + 1)) + (y / (h / 12 + 1))) % 2 == 0;
                r = tile ? 90 : 70;
                g = tile ? 80 : 62;
                b = tile ? 70 : 55;
            }
            // A doorway with a frame.
            if (x > w * 6 / 10 && x < w * 8 / 10 && y > h / 5 && y <= h * 7 / 10) {
                const bool frame = x < w * 6 / 10 + 4 || x > w * 8 / 10 - 4 || y < h / 5 + 4;
                r = frame ? 200 : 40;
                g = frame ? 190 : 45;
                b = frame ? 170 : 60;
            }
            // A shelf of small objects with sharp edges.
            if (y > h * 3 / 10 && y < h * 5 / 10 && x > w / 10 && x < w * 5 / 10) {
                const int slot = (x * 24) / w;
                const int top = h * 3 / 10 + ((slot * 37) % 7) * h / 80;
                if (y > top) {
                    r = 60 + (slot * 53) % 180;
                    g = 50 + (slot * 97) % 170;
                    b = 40 + (slot * 31) % 190;
                }
            }
            // The camera's time stamp band with digit-like strokes.
            if (y < h / 12 && x < w / 2) {
                const bool stroke = ((x / 3) % 4 == 0) || ((y / 2) % 5 == 0 && (x / 6) % 3 != 2);
                r = g = b = stroke ? 250 : 10;
            }
            // Sensor noise, different in every frame.
            const int n = static_cast<int>(next() % 13) - 6;
            uint8_t* p = px.data() + (static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)) * 3;
            p[0] = clampByte(r + n);
            p[1] = clampByte(g + n);
            p[2] = clampByte(b + n);
        }
    }
    return px;
}

std::vector<uint8_t> encodeJpeg(const std::vector<uint8_t>& rgb, int width, int height, int quality) {
    // The simulator's encoder: JFIF, as a camera sends it.
    const QByteArray jpeg = sim::encodeJpeg(rgb, QSize(width, height), quality);
    return {jpeg.begin(), jpeg.end()};
}

std::vector<std::vector<uint8_t>> makeFrames(int width, int height, int count) {
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < count; ++i)
        frames.push_back(encodeJpeg(renderScene(width, height, static_cast<uint32_t>(i + 1)), width, height, 80));
    return frames;
}

std::vector<uint8_t> asStreamChunk(const std::vector<uint8_t>& jpeg) {
    std::vector<uint8_t> chunk = jpeg;
    chunk.insert(chunk.end(), kBoundaryLine, kBoundaryLine + sizeof(kBoundaryLine) - 1);
    return chunk;
}

struct PlainDecoder::Impl {
    jpeg_decompress_struct cinfo{};
    JpegError err{};
    Impl() {
        cinfo.err = jpeg_std_error(&err.pub);
        err.pub.error_exit = jumpOnError;
        err.pub.output_message = quietMessage;
        jpeg_create_decompress(&cinfo);
    }
    ~Impl() { jpeg_destroy_decompress(&cinfo); }
};

PlainDecoder::PlainDecoder() : impl_(std::make_unique<Impl>()) {}
PlainDecoder::~PlainDecoder() = default;

bool PlainDecoder::decode(const uint8_t* data, size_t size) {
    jpeg_decompress_struct& cinfo = impl_->cinfo;
    if (setjmp(impl_->err.jump)) {
        jpeg_abort_decompress(&cinfo);
        return false;
    }
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_EXT_BGRX;
    jpeg_start_decompress(&cinfo);
    const size_t stride = static_cast<size_t>(cinfo.output_width) * 4;
    pixels_.resize(stride * cinfo.output_height);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = pixels_.data() + stride * cinfo.output_scanline;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    return true;
}

// ---------------------------------------------------------------- controller rig

void FakeClock::tick() {
    LocalDateTime& t = current;
    if (++t.second < 60) return;
    t.second = 0;
    if (++t.minute < 60) return;
    t.minute = 0;
    if (++t.hour < 24) return;
    t.hour = 0;
    const QDate next = QDate(t.year, t.month, t.day).addDays(1);
    current = makeDateTime(next.year(), next.month(), next.day());
}

std::string memoryBackedDirectory() {
    struct stat st {};
    return ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "";
}

namespace {

QString temporaryTemplate(const std::string& parent) {
    const QString base = parent.empty() ? QDir::tempPath() : QString::fromStdString(parent);
    return base + "/ipcam-bench-XXXXXX";
}

}  // namespace

ControllerRig::ControllerRig(RigOptions options) : dir_(temporaryTemplate(options.parentDirectory)) {
    if (!dir_.isValid()) throw std::runtime_error("no temporary folder");
    store_ = std::make_unique<SettingsStore>(dir_.filePath("ipcam-recorder.INI").toStdString());
    CameraSettings s;
    applyFirstRunDefaults(s, directory());
    s.hostAddress = "127.0.0.1";
    s.hostPort = options.port;
    s.resolution = options.resolution;
    s.motionDetectionEnabled = options.motionDetection;
    s.motionSensitivity = options.sensitivity;
    s.motionPrerollSeconds = options.prerollSeconds;
    store_->save(s);
    CameraSocket* socket = options.socket ? options.socket : &nullSocket_;
    nullSocketUsed_ = options.socket == nullptr;
    controller_ = std::make_unique<MainController>(ControllerDeps{
        host_, *socket, ping_, startPage_, *store_, clock_, freeSpace_, shared_,
        [](const std::vector<uint8_t>&) {}, directory()});
    host_.controller = controller_.get();
}

void NullHost::advance(int64_t ms) {
    const int64_t until = now + ms;
    while (wakeAt >= 0 && wakeAt <= until) {
        now = std::max(now, wakeAt);
        controller->linkWake();
    }
    now = until;
}

void ControllerRig::read(const std::vector<uint8_t>& bytes) {
    if (!nullSocket_.events) throw std::runtime_error("no camera source listens");
    nullSocket_.events->onSocketRead(bytes);
}

ControllerRig::~ControllerRig() {
    controller_->close();
    controller_.reset();
}

void ControllerRig::connect() {
    controller_->start();
    shared_.cameraReachable = true;
    const int64_t in = controller_->linkMachine().pendingIn();
    if (in < 0) throw std::runtime_error("no connection attempt is pending");
    host_.advance(in);
    if (nullSocketUsed_) {
        if (!nullSocket_.events) throw std::runtime_error("no camera source listens");
        nullSocket_.events->onSocketConnected();
        const std::string_view header = kExpectedReplyHeader;
        read(std::vector<uint8_t>(header.begin(), header.end()));
    }
}

void ControllerRig::startManualRecording(const std::vector<uint8_t>& chunk) {
    controller_->record();
    // A chunk that ends with its boundary line is a whole picture: it starts
    // the recording as its first picture; the second is recorded too.
    read(chunk);
    read(chunk);
    if (controller_->recorder().session().RecordKind == kNotRecording)
        throw std::runtime_error("the recording did not start");
}

// ---------------------------------------------------------------- recordings

std::string writeRecording(const std::string& directory, const std::vector<std::vector<uint8_t>>& frames,
                           uint32_t pictures, uint32_t seconds, uint8_t resolution) {
    const LocalDateTime start = makeDateTime(2006, 10, 12, 15, 30, 12);
    const std::string folder = directory + "/" + recordingDateText(start);
    ::mkdir(folder.c_str(), 0755);
    PartialAviWriter writer;
    std::string error, finalPath;
    if (!writer.open(directory, start, resolution, false, &error)) throw std::runtime_error(error);
    for (uint32_t i = 0; i < pictures; ++i) {
        const auto& f = frames[i % frames.size()];
        if (!writer.append(f.data(), f.size(), &error)) throw std::runtime_error(error);
    }
    if (!writer.finish(folder, recordingTimeText(start), false, seconds, pictures, &finalPath, &error))
        throw std::runtime_error(error);
    return finalPath;
}

void syncFileSystem(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ::syncfs(fd);
    ::close(fd);
}

// ---------------------------------------------------------------- process figures

uint64_t procStatusKiB(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(in, line)) {
        if (line.rfind(prefix, 0) == 0) return std::strtoull(line.c_str() + prefix.size(), nullptr, 10);
    }
    return 0;
}

double processCpuSeconds(long long pid) {
    clockid_t clock{};
    timespec t{};
    if (::clock_getcpuclockid(static_cast<pid_t>(pid), &clock) != 0 || ::clock_gettime(clock, &t) != 0) return -1;
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::string machineSummary() {
    std::string model = "unknown CPU";
    std::ifstream cpu("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpu, line)) {
        if (line.rfind("model name", 0) == 0) {
            const auto colon = line.find(':');
            if (colon != std::string::npos) model = line.substr(colon + 2);
            break;
        }
    }
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGE_SIZE);
    const double gib = static_cast<double>(pages) * static_cast<double>(pageSize) / (1024.0 * 1024.0 * 1024.0);
    std::ostringstream out;
    out << model << ", " << std::thread::hardware_concurrency() << " CPUs, ";
    out.precision(1);
    out << std::fixed << gib << " GiB memory";
    return out.str();
}

}  // namespace ipcam::bench

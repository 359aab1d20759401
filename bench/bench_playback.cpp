// Playback: opening a 600-second recording (warm and with the file dropped
// from the page cache), and fetching + decoding a picture at a random
// position against decoding the same picture alone.
#include <fcntl.h>
#include <unistd.h>

#include <QImage>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <random>

#include "bench_support.h"
#include "camera/jpeg_decoder.h"
#include "playback/recorded_file.h"

namespace ipcam::bench {
namespace {

constexpr uint32_t kPictures = 600 * 30;

const std::vector<std::vector<uint8_t>>& frames() {
    static const auto f = makeFrames(640, 480);
    return f;
}

// One 600-second recording at 30 pictures per second of 640x480, made once.
const QString& recordingPath() {
    static QTemporaryDir dir;
    static const QString path = QString::fromStdString(
        writeRecording(dir.path().toStdString(), frames(), kPictures, 600, 0));
    return path;
}

void dropFromCache(const QString& path) {
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

void playbackOpen(benchmark::State& state, bool cold) {
    const QString& path = recordingPath();
    syncFileSystem(path.toStdString());
    RecordedFile file;
    for (auto _ : state) {
        if (cold) {
            state.PauseTiming();
            dropFromCache(path);
            state.ResumeTiming();
        }
        if (file.openRecordedFile(path) != RecordedFile::OpenStatus::Opened || file.frameCount() != int(kPictures)) {
            state.SkipWithError("the recording did not open whole");
            break;
        }
        file.close();
    }
    QFileInfo info(path);
    state.counters["file_MiB"] = static_cast<double>(info.size()) / (1024.0 * 1024.0);
}

void playbackRandomPicture(benchmark::State& state) {
    RecordedFile file;
    if (file.openRecordedFile(recordingPath()) != RecordedFile::OpenStatus::Opened) {
        state.SkipWithError("the recording did not open");
        return;
    }
    JpegDecoder decoder;
    QImage image;
    QByteArray bytes;
    std::mt19937 random(12);
    std::uniform_int_distribution<int> pick(0, file.frameCount() - 1);
    for (auto _ : state) {
        const int n = pick(random);
        if (!file.readPicture(n, bytes) ||
            !decoder.decode(reinterpret_cast<const uint8_t*>(bytes.constData()), static_cast<size_t>(bytes.size()),
                            image)) {
            state.SkipWithError("picture not served");
            break;
        }
        benchmark::DoNotOptimize(image.constBits());
    }
}

void playbackDecodeAlone(benchmark::State& state) {
    PlainDecoder decoder;
    const auto& f = frames();
    std::mt19937 random(12);
    std::uniform_int_distribution<int> pick(0, int(kPictures) - 1);
    for (auto _ : state) {
        const auto& picture = f[static_cast<size_t>(pick(random)) % f.size()];
        if (!decoder.decode(picture.data(), picture.size())) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(decoder.pixels().data());
    }
}

[[maybe_unused]] const bool registered = [] {
    benchmark::RegisterBenchmark("PlaybackOpen/600s", playbackOpen, false)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("PlaybackOpenCold/600s", playbackOpen, true)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(50)
        ->Repetitions(1);
    benchmark::RegisterBenchmark("PlaybackDecodeAlone/640x480", playbackDecodeAlone)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark("PlaybackRandomPicture/640x480", playbackRandomPicture)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
    return true;
}();

}  // namespace
}  // namespace ipcam::bench

// Recording: appending pictures with the recorder's file writer against
// plain sequential writes of the same bytes, the finish of a 600-second
// file (index, header, durable rename), and the longest time the recorder
// holds the user-interface thread while every sync of the disk takes 1.5 s.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "bench_support.h"
#include "recording/avi_format.h"
#include "recording/avi_writer.h"
#include "recording/recorder.h"

namespace ipcam::bench {
namespace {

const LocalDateTime kStart = makeDateTime(2006, 10, 12, 15, 30, 12);

void recordAppend(benchmark::State& state) {
    QTemporaryDir dir;
    const auto frames = makeFrames(640, 480);
    PartialAviWriter writer;
    std::string error;
    if (!writer.open(dir.path().toStdString(), kStart, 0, false, &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    size_t i = 0, bytes = 0;
    for (auto _ : state) {
        if (writer.full()) {
            state.PauseTiming();
            const std::string old = writer.partialPath();
            writer.abandon();
            ::unlink(old.c_str());
            if (!writer.open(dir.path().toStdString(), kStart, 0, false, &error)) state.SkipWithError(error.c_str());
            state.ResumeTiming();
        }
        const auto& f = frames[i++ % frames.size()];
        if (!writer.append(f.data(), f.size(), &error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        bytes += avi::kChunkHeaderSize + avi::paddedLength(f.size());
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void plainWrite(benchmark::State& state) {
    QTemporaryDir dir;
    const auto frames = makeFrames(640, 480);
    // The same chunk bytes the writer produces, each in one write().
    std::vector<std::vector<uint8_t>> chunks;
    for (const auto& f : frames) {
        std::vector<uint8_t> c;
        avi::appendChunk(c, f.data(), f.size());
        chunks.push_back(std::move(c));
    }
    const std::string path = dir.filePath("plain.bin").toStdString();
    const auto header = avi::headerTemplate(0);
    auto openFile = [&] {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0 && ::write(fd, header.data(), header.size()) != static_cast<ssize_t>(header.size())) {
            ::close(fd);
            return -1;
        }
        return fd;
    };
    int fd = openFile();
    if (fd < 0) {
        state.SkipWithError("cannot create the file");
        return;
    }
    size_t i = 0, bytes = 0, inFile = 0;
    for (auto _ : state) {
        if (inFile == avi::kMaxFrames) {
            state.PauseTiming();
            ::close(fd);
            fd = openFile();
            inFile = 0;
            state.ResumeTiming();
        }
        const auto& c = chunks[i++ % chunks.size()];
        if (::write(fd, c.data(), c.size()) != static_cast<ssize_t>(c.size())) {
            state.SkipWithError("write failed");
            break;
        }
        ++inFile;
        bytes += c.size();
    }
    ::close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

// 600 seconds at 30 pictures per second of 640x480. The pictures are
// written and made durable outside the timing, as a camera's pictures are
// long on disk when the cut comes (the writer syncs once a second).
void finishRecording(benchmark::State& state) {
    constexpr uint32_t kPictures = 600 * 30;
    QTemporaryDir dir;
    const std::string directory = dir.path().toStdString();
    const std::string folder = directory + "/" + recordingDateText(kStart);
    const auto frames = makeFrames(640, 480);
    uint64_t fileBytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        PartialAviWriter writer;
        std::string error, finalPath;
        ::mkdir(folder.c_str(), 0755);
        if (!writer.open(directory, kStart, 0, false, &error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        for (uint32_t n = 0; n < kPictures; ++n) {
            const auto& f = frames[n % frames.size()];
            if (!writer.append(f.data(), f.size(), &error)) break;
        }
        fileBytes = writer.length();
        syncFileSystem(directory);
        state.ResumeTiming();
        const bool ok = writer.finish(folder, recordingTimeText(kStart), false, 600, kPictures, &finalPath, &error);
        state.PauseTiming();
        if (!ok) state.SkipWithError(error.c_str());
        ::unlink(finalPath.c_str());
        state.ResumeTiming();
    }
    state.counters["file_MiB"] = static_cast<double>(fileBytes) / (1024.0 * 1024.0);
}

class QuietHost final : public RecorderHost {
public:
    int warnings = 0;
    void recordingStateChanged(uint8_t) override {}
    void resetPreviewCounters() override {}
    void setFreeSpace(uint32_t) override {}
    void showWarning(RecorderWarning, const std::string&) override { ++warnings; }
    void startStatusTimer() override {}
    void raiseAlarm(const std::vector<uint8_t>&) override {}
};

// A Manual recording of 640x480 pictures at 10 a second for 6 seconds on a
// disk whose every fdatasync/fsync takes 1.5 s, then the finish (as a link
// loss or Stop would do it). The figure is the longest single call into the
// recorder on the user-interface thread.
void uiStallSlowDisk(benchmark::State& state) {
    using namespace std::chrono;
    QTemporaryDir dir;
    const auto frames = makeFrames(640, 480);
    for (auto _ : state) {
        CameraSettings settings;
        settings.aviDirectory = dir.path().toStdString();
        settings.resolution = 0;
        FakeClock clock;
        QuietHost host;
        FakeFreeSpace freeSpace;
        Recorder recorder(settings, clock, host, freeSpace);
        DiskHooks slow;
        slow.sync = [](int fd, bool dataOnly) {
            std::this_thread::sleep_for(milliseconds(1500));
            return (dataOnly ? ::fdatasync(fd) : ::fsync(fd)) == 0 ? 0 : errno;
        };
        recorder.setDiskHooks(slow);
        auto longest = nanoseconds::zero();
        auto timed = [&](auto&& call) {
            const auto t0 = steady_clock::now();
            call();
            longest = std::max(longest, steady_clock::now() - t0);
        };
        recorder.requestManual();
        auto next = steady_clock::now();
        for (int i = 0; i <= 60; ++i) {
            timed([&] { recorder.step(frames[i % frames.size()], PixelView{}); });
            if (i % 10 == 0) {
                clock.tick();
                timed([&] { recorder.pollDiskEvents(); });  // the one-second status tick
                recorder.countSecond();
            }
            next += milliseconds(100);
            std::this_thread::sleep_until(next);
        }
        timed([&] { recorder.endFromOutside(); });
        state.SetIterationTime(duration<double>(longest).count());
        recorder.settle();  // outside the figure: the program's end waits for the file
        if (host.warnings != 0 || recorder.droppedPictures() != 0) state.SkipWithError("pictures were lost");
    }
}

[[maybe_unused]] const bool registered = [] {
    benchmark::RegisterBenchmark("PlainWrite/640x480", plainWrite)->Unit(benchmark::kMicrosecond)->UseRealTime();
    benchmark::RegisterBenchmark("RecordAppend/640x480", recordAppend)->Unit(benchmark::kMicrosecond)->UseRealTime();
    benchmark::RegisterBenchmark("FinishRecording/600s", finishRecording)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(3)
        ->Repetitions(1);
    benchmark::RegisterBenchmark("UiStallSlowDisk/1.5s", uiStallSlowDisk)
        ->Unit(benchmark::kMillisecond)
        ->UseManualTime()
        ->Iterations(1)
        ->Repetitions(1);
    return true;
}();

}  // namespace
}  // namespace ipcam::bench

// Disk guard: one deletion pass (find the oldest date folder, delete its
// oldest recording or remove it when empty) over two years of recordings:
// 730 date folders of 144 ten-minute files each, all empty files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDate>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>

#include "bench_support.h"
#include "recording/disk_guard.h"

namespace ipcam::bench {
namespace {

void makeTwoYears(const std::string& root) {
    const QDate first(2004, 10, 12);
    for (int d = 0; d < 730; ++d) {
        const std::string dir = root + "/" + first.addDays(d).toString("yyyyMMdd").toStdString();
        ::mkdir(dir.c_str(), 0755);
        for (int slot = 0; slot < 144; ++slot) {
            char name[32];
            std::snprintf(name, sizeof name, "/%02d%02d00%c.AVI", slot / 6, (slot % 6) * 10, slot % 7 == 0 ? 'A' : 'T');
            const int fd = ::open((dir + name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (fd >= 0) ::close(fd);
        }
    }
}

void diskGuardPass(benchmark::State& state) {
    QTemporaryDir dir;
    const std::string root = dir.path().toStdString();
    makeTwoYears(root);
    for (auto _ : state) {
        const DeleteOutcome r = deleteOldestRecording(root);
        if (r != DeleteOutcome::DeletedFile && r != DeleteOutcome::RemovedFolder) {
            state.SkipWithError("nothing deleted");
            break;
        }
    }
}

[[maybe_unused]] const bool registered = [] {
    benchmark::RegisterBenchmark("DiskGuardPass/730x144", diskGuardPass)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime()
        ->Iterations(2000)
        ->Repetitions(1);
    return true;
}();

}  // namespace
}  // namespace ipcam::bench

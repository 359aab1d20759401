#include "recording/disk_guard.h"
#include "base/activity_log.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <vector>

#include "recording/avi_writer.h"
#include "recording/recording_catalog.h"

namespace ipcam {

namespace fs = std::filesystem;

namespace {

uint64_t fileSize(const fs::path& file) {
    struct stat st {};
    return ::lstat(file.c_str(), &st) == 0 && st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace

uint32_t PosixFreeSpaceQuery::freeSpaceMB(const std::string& directory) {
    if (directory.empty()) return 0;
    struct statvfs st {};
    if (::statvfs(directory.c_str(), &st) != 0) return 0;
    const uint64_t blocks = st.f_bavail;
    const uint64_t blockSize = st.f_frsize;
    if (blockSize != 0 && blocks > UINT64_MAX / blockSize) return UINT32_MAX;
    const uint64_t mb = (blocks * blockSize) >> 20;
    return mb > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(mb);
}

std::string freeSpaceText(uint32_t mb) { return "Free Space :" + std::to_string(mb) + "M Bytes."; }

std::optional<std::string> findOldestDateFolder(const std::string& aviDirectory) {
    for (const std::string& d : listDateFolders(aviDirectory)) {
        const DayListing c = listDay(aviDirectory, d);
        if (c.readable && (!c.recordings.empty() || c.empty)) return d;
    }
    return std::nullopt;
}

void DeletionSummary::addFile(const std::string& day, uint64_t size) {
    ++files;
    bytes += size;
    if (oldestDay.empty() || day < oldestDay) oldestDay = day;
    if (newestDay.empty() || day > newestDay) newestDay = day;
}

void DeletionSummary::addFailure(const std::string& path, int error) {
    if (failed++ == 0) firstError = path + ": " + std::strerror(error);
}

std::string DeletionSummary::text() const {
    char mb[32];
    std::snprintf(mb, sizeof mb, "%.1f", static_cast<double>(bytes) / (1 << 20));
    std::string t = files == 0 ? std::string("no recording")
                               : std::to_string(files) + (files == 1 ? " recording (" : " recordings (") + mb +
                                     " MB) dated " + oldestDay + " to " + newestDay;
    if (folders > 0)
        t += ", " + std::to_string(folders) + (folders == 1 ? " empty date folder" : " empty date folders") + " removed";
    if (failed > 0) t += ", " + std::to_string(failed) + " could not be deleted (first: " + firstError + ")";
    return t;
}

DeleteOutcome deleteOldestRecording(const std::string& aviDirectory, DeletionSummary* summary) {
    const auto folder = findOldestDateFolder(aviDirectory);
    if (!folder) return DeleteOutcome::NothingLeft;
    const fs::path dir = fs::path(aviDirectory) / *folder;
    const DayListing c = listDay(aviDirectory, *folder);
    if (c.recordings.empty()) {
        if (::rmdir(dir.c_str()) == 0) {
            if (summary) ++summary->folders;
            return DeleteOutcome::RemovedFolder;
        }
        if (summary) summary->addFailure(dir.string(), errno);
        return DeleteOutcome::Failed;
    }
    const fs::path victim = dir / c.recordings.front().fileName();
    const uint64_t size = fileSize(victim);
    if (::unlink(victim.c_str()) != 0) {
        if (summary) summary->addFailure(victim.string(), errno);
        return DeleteOutcome::Failed;
    }
    qCDebug(lcGuard).noquote() << "Disk space guard deletes the oldest recording" << QString::fromStdString(victim.string());
    if (summary) summary->addFile(*folder, size);
    return DeleteOutcome::DeletedFile;
}

namespace {

std::optional<std::chrono::sys_days> dayOfFolder(std::string_view name) {
    using namespace std::chrono;
    const auto number = [&](size_t at, size_t n) {
        int v = 0;
        for (size_t i = at; i < at + n; ++i) v = v * 10 + (name[i] - '0');
        return v;
    };
    const year_month_day ymd{year{number(0, 4)}, month{static_cast<unsigned>(number(4, 2))},
                             day{static_cast<unsigned>(number(6, 2))}};
    if (!ymd.ok()) return std::nullopt;
    return sys_days{ymd};
}

}  // namespace

RetentionOutcome deleteExpiredRecordings(const std::string& aviDirectory, const LocalDateTime& today, int keepDays) {
    using namespace std::chrono;
    RetentionOutcome out;
    if (keepDays <= 0) return out;
    const sys_days todayDay{year{today.year} / month{static_cast<unsigned>(today.month)} /
                            day{static_cast<unsigned>(today.day)}};

    struct Folder {
        std::string name;
        sys_days day;
        bool ours = false;  // holds a recording of ours
        long age = 0;
    };
    std::vector<Folder> folders;
    for (const std::string& d : listDateFolders(aviDirectory)) {
        const auto day = dayOfFolder(d);
        if (!day || *day > todayDay) continue;  // no calendar date, or dated after today: never expired
        const DayListing c = listDay(aviDirectory, d);
        folders.push_back({d, *day, c.readable && !c.recordings.empty()});
    }

    // Ages, newest first, along our recordings: a stretch of more than
    // kLongestQuietDays days with none counts as nothing (see the header).
    // A folder without recordings of ours is aged from the next one with
    // them; only an empty one is ever removed.
    long age = 0;
    sys_days later = todayDay;
    std::string laterName;  // empty while `later` is today
    std::string jumpFrom, jumpTo;
    long jumpDays = 0;
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
        const long gap = (later - it->day).count();
        const bool ours = it->ours;
        if (ours && gap > kLongestQuietDays && jumpFrom.empty()) {
            jumpFrom = it->name;
            jumpTo = laterName;
            jumpDays = gap;
        }
        it->age = age + (gap > kLongestQuietDays ? 0 : gap);
        if (ours) {
            age = it->age;
            later = it->day;
            laterName = it->name;
        }
    }

    int heldBack = 0;  // folders of ours the clock alone would have expired
    for (const Folder& f : folders) {
        if (f.ours && f.age <= keepDays && (todayDay - f.day).count() > keepDays) ++heldBack;
    }
    if (heldBack > 0) {
        const std::string todayText = recordingDateText(today);
        out.clockNote = "Retention keeps " + std::to_string(heldBack) +
                        (heldBack == 1 ? " date folder" : " date folders") + " older than " +
                        std::to_string(keepDays) + " days by today's date (" + todayText + "): ";
        out.clockNote += jumpTo.empty()
                             ? "the newest recording is from " + jumpFrom + ", " + std::to_string(jumpDays) +
                                   " days before; the clock looks wrong, or nothing was recorded since"
                             : "the recordings jump from " + jumpFrom + " to " + jumpTo + " (" +
                                   std::to_string(jumpDays) +
                                   " days); the clock looks wrong, or nothing was recorded in between";
    }

    DeletionSummary& s = out.deleted;
    for (const Folder& f : folders) {  // oldest first
        if (f.age <= keepDays) continue;
        const fs::path dir = fs::path(aviDirectory) / f.name;
        const DayListing c = listDay(aviDirectory, f.name);
        if (!c.readable) continue;
        for (const RecordingName& name : c.recordings) {
            const fs::path victim = dir / name.fileName();
            const uint64_t size = fileSize(victim);
            if (::unlink(victim.c_str()) == 0) {
                qCDebug(lcGuard).noquote() << "Retention deletes" << QString::fromStdString(victim.string());
                s.addFile(f.name, size);
            } else {
                s.addFailure(victim.string(), errno);
            }
        }
        // rmdir removes nothing but an empty folder: one holding anything
        // of someone else's stays.
        if (::rmdir(dir.c_str()) == 0) {
            qCDebug(lcGuard).noquote() << "Retention removes the empty date folder" << QString::fromStdString(dir.string());
            ++s.folders;
        }
    }
    if (s.failed > 0) {
        qCWarning(lcGuard).noquote() << QString::fromStdString("Retention (" + std::to_string(keepDays) +
                                                               " days) deleted " + s.text());
    } else if (!s.empty()) {
        qCInfo(lcGuard).noquote() << QString::fromStdString("Retention (" + std::to_string(keepDays) +
                                                            " days) deleted " + s.text());
    }
    return out;
}

}  // namespace ipcam

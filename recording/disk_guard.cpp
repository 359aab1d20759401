#include "recording/disk_guard.h"
#include "base/activity_log.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <vector>

#include "recording/avi_writer.h"
#include "recording/recording_name.h"

namespace ipcam {

namespace fs = std::filesystem;

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

struct FolderContents {
    std::vector<std::string> recordings;
    bool empty = true;
    bool readable = false;
};

FolderContents listFolder(const fs::path& folder) {
    FolderContents out;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) return out;
    out.readable = true;
    for (fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
        out.empty = false;
        std::error_code sec;
        const auto type = it->symlink_status(sec).type();
        const std::string name = it->path().filename().string();
        if (!sec && type == fs::file_type::regular && isRecordingFileName(name)) out.recordings.push_back(name);
    }
    if (ec) out.readable = false;
    return out;
}

// The date folders directly in `aviDirectory` (real folders, not links),
// oldest first.
std::vector<std::string> listDateFolders(const std::string& aviDirectory) {
    std::vector<std::string> dates;
    if (aviDirectory.empty()) return dates;
    std::error_code ec;
    for (fs::directory_iterator it(aviDirectory, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code sec;
        const std::string name = it->path().filename().string();
        if (isDateFolderName(name) && it->symlink_status(sec).type() == fs::file_type::directory && !sec)
            dates.push_back(name);
    }
    std::sort(dates.begin(), dates.end());  // 8 digits each: name order is date order
    return dates;
}

// Smallest start time first; in one second the name without "-N" before
// the later "-N" ones, and the "A" file before the "T" file.
void sortOldestFirst(std::vector<std::string>& recordings) {
    std::sort(recordings.begin(), recordings.end(),
              [](const std::string& a, const std::string& b) { return recordingNameLess(a, b); });
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

bool isDateFolderName(std::string_view name) {
    return name.size() == 8 && std::all_of(name.begin(), name.end(), isDigit);
}

bool isRecordingFileName(std::string_view name) {
    if (name.size() < 11) return false;
    if (!std::all_of(name.begin(), name.begin() + 6, isDigit)) return false;
    const std::string_view tail = name.substr(name.size() - 5);
    // Motion-JPEG AVI or Matroska (a coded-video camera's stream copy).
    if (tail != "A.AVI" && tail != "T.AVI" && tail != "A.MKV" && tail != "T.MKV") return false;
    const std::string_view middle = name.substr(6, name.size() - 11);
    if (middle.empty()) return true;
    return middle.size() >= 2 && middle[0] == '-' && std::all_of(middle.begin() + 1, middle.end(), isDigit);
}

std::optional<std::string> findOldestDateFolder(const std::string& aviDirectory) {
    for (const std::string& d : listDateFolders(aviDirectory)) {
        const FolderContents c = listFolder(fs::path(aviDirectory) / d);
        if (c.readable && (!c.recordings.empty() || c.empty)) return d;
    }
    return std::nullopt;
}

DeleteOutcome deleteOldestRecording(const std::string& aviDirectory) {
    const auto folder = findOldestDateFolder(aviDirectory);
    if (!folder) return DeleteOutcome::NothingLeft;
    const fs::path dir = fs::path(aviDirectory) / *folder;
    FolderContents c = listFolder(dir);
    if (c.recordings.empty()) {
        return ::rmdir(dir.c_str()) == 0 ? DeleteOutcome::RemovedFolder : DeleteOutcome::Failed;
    }
    sortOldestFirst(c.recordings);
    const fs::path victim = dir / c.recordings.front();
    qCInfo(lcGuard).noquote() << "Disk space guard deletes the oldest recording" << QString::fromStdString(victim.string());
    return ::unlink(victim.c_str()) == 0 ? DeleteOutcome::DeletedFile : DeleteOutcome::Failed;
}

std::string oldestKeptDateFolder(const LocalDateTime& today, int keepDays) {
    using namespace std::chrono;
    const sys_days t{year{today.year} / month{static_cast<unsigned>(today.month)} /
                     day{static_cast<unsigned>(today.day)}};
    const year_month_day kept{t - days{keepDays}};
    return recordingDateText(makeDateTime(static_cast<int>(kept.year()), static_cast<int>(unsigned{kept.month()}),
                                          static_cast<int>(unsigned{kept.day()})));
}

RetentionOutcome deleteExpiredRecordings(const std::string& aviDirectory, const LocalDateTime& today, int keepDays) {
    RetentionOutcome out;
    if (keepDays <= 0) return out;
    const std::string oldestKept = oldestKeptDateFolder(today, keepDays);
    for (const std::string& d : listDateFolders(aviDirectory)) {
        if (d >= oldestKept) break;  // oldest first: the rest are kept too
        const fs::path dir = fs::path(aviDirectory) / d;
        FolderContents c = listFolder(dir);
        if (!c.readable) continue;
        sortOldestFirst(c.recordings);
        for (const std::string& name : c.recordings) {
            const fs::path victim = dir / name;
            if (::unlink(victim.c_str()) == 0) {
                qCInfo(lcGuard).noquote() << "Retention deletes a recording older than" << keepDays << "days:"
                                          << QString::fromStdString(victim.string());
                ++out.deletedFiles;
            } else {
                qCWarning(lcGuard).noquote() << "Retention could not delete" << QString::fromStdString(victim.string())
                                             << QString::fromUtf8(std::strerror(errno));
                ++out.failed;
            }
        }
        // rmdir removes nothing but an empty folder: one holding anything
        // of someone else's stays.
        if (::rmdir(dir.c_str()) == 0) {
            qCInfo(lcGuard).noquote() << "Retention removes the empty date folder" << QString::fromStdString(dir.string());
            ++out.removedFolders;
        }
    }
    return out;
}

}  // namespace ipcam

#include "recording/avi_writer.h"
#include "base/activity_log.h"
#include "recording/file_io.h"
#include "recording/mkv_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace ipcam {

namespace {

constexpr char kPartialPrefix[] = ".recording-";
constexpr char kPartialSuffix[] = ".partial";
constexpr char kMkvPartialSuffix[] = ".mkv.partial";
constexpr int kMaxUnique = 9999;
// Small pictures are gathered up to this size before they are written.
constexpr size_t kGatherBytes = 64 * 1024;

std::string twoDigits(int v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d", v);
    return buf;
}

std::string errnoText(int err) { return std::strerror(err); }

bool pwriteAll(int fd, const uint8_t* data, size_t n, uint64_t offset, int* err,
               const DiskHooks* hooks = nullptr) {
    if (const int e = injected(hooks, n)) {
        *err = e;
        return false;
    }
    while (n > 0) {
        const ssize_t w = ::pwrite(fd, data, n, static_cast<off_t>(offset));
        if (w < 0) {
            if (errno == EINTR) continue;
            *err = errno;
            return false;
        }
        if (w == 0) {
            *err = ENOSPC;
            return false;
        }
        data += w;
        n -= static_cast<size_t>(w);
        offset += static_cast<uint64_t>(w);
    }
    return true;
}

// pwriteAll over several buffers written back to back; `parts` is used up.
bool pwritevAll(int fd, iovec* parts, int count, uint64_t offset, int* err, const DiskHooks* hooks = nullptr) {
    size_t total = 0;
    for (int i = 0; i < count; ++i) total += parts[i].iov_len;
    if (const int e = injected(hooks, total)) {
        *err = e;
        return false;
    }
    while (count > 0) {
        if (parts->iov_len == 0) {
            ++parts;
            --count;
            continue;
        }
        const ssize_t w = ::pwritev(fd, parts, count, static_cast<off_t>(offset));
        if (w < 0) {
            if (errno == EINTR) continue;
            *err = errno;
            return false;
        }
        if (w == 0) {
            *err = ENOSPC;
            return false;
        }
        offset += static_cast<uint64_t>(w);
        size_t done = static_cast<size_t>(w);
        while (count > 0 && done >= parts->iov_len) {
            done -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<uint8_t*>(parts->iov_base) + done;
            parts->iov_len -= done;
        }
    }
    return true;
}

bool preadAll(int fd, uint8_t* data, size_t n, uint64_t offset) {
    while (n > 0) {
        const ssize_t r = ::pread(fd, data, n, static_cast<off_t>(offset));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        data += r;
        n -= static_cast<size_t>(r);
        offset += static_cast<uint64_t>(r);
    }
    return true;
}

bool allDigits(const std::string& s, size_t pos, size_t n) {
    if (pos + n > s.size()) return false;
    for (size_t i = pos; i < pos + n; ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

int number(const std::string& s, size_t pos, size_t n) { return std::stoi(s.substr(pos, n)); }

constexpr size_t kOffTotals = 400;  // in the header's zero filler
constexpr char kTotalsMark[] = "IPRT";
constexpr size_t kTotalsSize = 12;

// A file's age at recovery, used only when it holds no running totals.
constexpr int64_t kMaxFallbackSeconds = 700;

}  // namespace

std::optional<RunningTotals> readRunningTotals(const uint8_t* header) {
    if (std::memcmp(header + kOffTotals, kTotalsMark, 4) != 0) return std::nullopt;
    RunningTotals t{avi::getU32(header + kOffTotals + 4), avi::getU32(header + kOffTotals + 8)};
    if (t.frames == 0) return std::nullopt;
    return t;
}

std::string recordingDateText(const LocalDateTime& t) {
    return twoDigits(t.year) + twoDigits(t.month) + twoDigits(t.day);
}

std::string recordingTimeText(const LocalDateTime& t) {
    return twoDigits(t.hour) + twoDigits(t.minute) + twoDigits(t.second);
}

std::string partialFileName(const LocalDateTime& start, char letter, int unique, RecordingFormat format) {
    std::string name = kPartialPrefix + recordingDateText(start) + "-" + recordingTimeText(start) + "-" + letter;
    if (unique > 0) {
        name += '-';
        name += std::to_string(unique);
    }
    return name + (format == RecordingFormat::Mkv ? kMkvPartialSuffix : kPartialSuffix);
}

std::optional<PartialName> parsePartialFileName(const std::string& name) {
    const size_t p = sizeof(kPartialPrefix) - 1;
    const size_t mkvLen = sizeof(kMkvPartialSuffix) - 1;
    const bool mkv = name.size() >= mkvLen && name.compare(name.size() - mkvLen, mkvLen, kMkvPartialSuffix) == 0;
    const size_t suffixLen = mkv ? mkvLen : sizeof(kPartialSuffix) - 1;
    if (name.size() < p + 8 + 1 + 6 + 2 + suffixLen) return std::nullopt;
    if (name.compare(0, p, kPartialPrefix) != 0) return std::nullopt;
    if (!mkv && name.compare(name.size() - suffixLen, suffixLen, kPartialSuffix) != 0) return std::nullopt;
    if (!allDigits(name, p, 8) || name[p + 8] != '-' || !allDigits(name, p + 9, 6) || name[p + 15] != '-')
        return std::nullopt;
    const char letter = name[p + 16];
    if (letter != 'A' && letter != 'T') return std::nullopt;
    const size_t restStart = p + 17;
    const size_t restEnd = name.size() - suffixLen;
    if (restEnd > restStart) {
        if (name[restStart] != '-' || restEnd - restStart < 2 || !allDigits(name, restStart + 1, restEnd - restStart - 1))
            return std::nullopt;
    }
    PartialName out;
    out.letter = letter;
    out.format = mkv ? RecordingFormat::Mkv : RecordingFormat::Avi;
    const int year = number(name, p, 4), month = number(name, p + 4, 2), day = number(name, p + 6, 2);
    const int hour = number(name, p + 9, 2), minute = number(name, p + 11, 2), second = number(name, p + 13, 2);
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    out.start = makeDateTime(year, month, day, hour, minute, second);
    return out;
}

PartialAviWriter::~PartialAviWriter() { abandon(); }

bool PartialAviWriter::open(const std::string& directory, const LocalDateTime& start, uint8_t resolution, bool alarm,
                            std::string* error) {
    abandon();
    if (directory.empty()) {
        *error = "no recording directory is set";
        return false;
    }
    directory_ = directory;
    start_ = start;
    letter_ = alarm ? 'A' : 'T';
    for (int k = 0; k <= kMaxUnique; ++k) {
        const std::string path = directory + "/" + partialFileName(start, letter_, k);
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            path_ = path;
            *error = errnoText(errno);
            return false;
        }
        const auto header = avi::headerTemplate(resolution);
        int err = 0;
        if (!pwriteAll(fd, header.data(), header.size(), 0, &err)) {
            ::close(fd);
            ::unlink(path.c_str());
            path_ = path;
            *error = errnoText(err);
            return false;
        }
        fd_ = fd;
        path_ = path;
        unique_ = k;
        position_ = avi::kHeaderSize;
        index_.clear();
        index_.reserve(avi::kMaxFrames);
        lastSync_ = std::chrono::steady_clock::now();
        lastErrno_ = 0;
        elapsedMs_ = 0;
        return true;
    }
    path_ = directory + "/" + partialFileName(start, letter_, 0);
    *error = "too many unfinished recordings of the same second";
    return false;
}

bool PartialAviWriter::setPictureSize(uint32_t width, uint32_t height, std::string* error) {
    if (fd_ < 0) {
        *error = "the recording file is not open";
        return false;
    }
    std::array<uint8_t, avi::kHeaderSize> header{};
    if (!preadAll(fd_, header.data(), header.size(), 0)) {
        *error = "the recording's header cannot be read back";
        return false;
    }
    avi::setPictureSize(header.data(), width, height);
    int err = 0;
    if (!pwriteAll(fd_, header.data(), header.size(), 0, &err, hooks_)) {
        lastErrno_ = err;
        *error = errnoText(err);
        return false;
    }
    return true;
}

bool PartialAviWriter::setAlarm(bool alarm, std::string* error) {
    const char letter = alarm ? 'A' : 'T';
    if (fd_ < 0 || letter == letter_) return true;
    for (int k = 0; k <= kMaxUnique; ++k) {
        const std::string path = directory_ + "/" + partialFileName(start_, letter, k);
        const int err = renameNoReplace(path_, path);
        if (err == EEXIST) continue;
        if (err != 0) {
            *error = errnoText(err);
            return false;
        }
        path_ = path;
        letter_ = letter;
        unique_ = k;
        return true;
    }
    *error = "too many unfinished recordings of the same second";
    return false;
}

bool PartialAviWriter::append(const uint8_t* data, size_t n, std::string* error, uint32_t elapsedMs) {
    if (fd_ < 0) {
        *error = "the recording file is not open";
        return false;
    }
    if (full()) {
        *error = "the recording file's index is full";
        return false;
    }
    const uint32_t padded = avi::paddedLength(n);
    if (position_ + avi::kChunkHeaderSize + padded + 8 + avi::kIndexEntrySize * (index_.size() + 1) > UINT32_MAX) {
        *error = "the recording file would exceed 4 GiB";
        return false;
    }
    auto head = avi::chunkHeader(padded);
    const size_t chunkBytes = avi::kChunkHeaderSize + padded;
    if (pending_.empty() && chunkBytes >= kGatherBytes) {
        // A large picture goes out at once: chunk header, picture and pad
        // byte in one system call.
        uint8_t pad = 0;
        int err = 0;
        iovec parts[3] = {{head.data(), head.size()}, {const_cast<uint8_t*>(data), n}, {&pad, n & 1u}};
        if (!pwritevAll(fd_, parts, 3, position_, &err, hooks_)) {
            // Leave only whole chunks behind.
            [[maybe_unused]] const int cut = ::ftruncate(fd_, static_cast<off_t>(position_));
            lastErrno_ = err;
            *error = errnoText(err);
            return false;
        }
    } else {
        if (pending_.empty()) {
            pendingStart_ = position_;
        }
        pending_.insert(pending_.end(), head.begin(), head.end());
        pending_.insert(pending_.end(), data, data + n);
        if (n & 1u) {
            pending_.push_back(0);
        }
    }
    index_.push_back({static_cast<uint32_t>(position_ - avi::kMoviBase), padded});
    position_ += chunkBytes;
    elapsedMs_ = elapsedMs;

    const auto now = std::chrono::steady_clock::now();
    const bool secondPassed = now - lastSync_ >= std::chrono::seconds(1);
    if (pending_.size() >= kGatherBytes || (secondPassed && !pending_.empty())) {
        if (!flush(error)) {
            return false;
        }
    }
    if (secondPassed) {
        // Everything written so far is on disk: so is the rate it was
        // recorded at.
        uint8_t totals[kTotalsSize];
        std::memcpy(totals, kTotalsMark, 4);
        avi::putU32(totals + 4, frames());
        avi::putU32(totals + 8, lengthMs());
        int err = 0;
        if (!pwriteAll(fd_, totals, sizeof totals, kOffTotals, &err, hooks_) ||
            (err = syncFile(fd_, true, hooks_)) != 0) {
            // What the failed sync held is not known to be on disk.
            lastErrno_ = err;
            *error = errnoText(err);
            return false;
        }
        // Counted from the end of the sync: a slow disk is not asked again
        // at once.
        lastSync_ = std::chrono::steady_clock::now();
    }
    return true;
}

uint32_t PartialAviWriter::lengthMs() const {
    const uint64_t n = index_.size();
    if (n < 2 || elapsedMs_ == 0) return 0;
    return static_cast<uint32_t>(std::min<uint64_t>(UINT32_MAX, (uint64_t{elapsedMs_} * n + (n - 1) / 2) / (n - 1)));
}

uint32_t PartialAviWriter::microSecPerFrame() const {
    const uint64_t n = index_.size();
    if (n < 2 || elapsedMs_ == 0) return 0;
    return static_cast<uint32_t>(std::min<uint64_t>(UINT32_MAX, uint64_t{elapsedMs_} * 1000 / (n - 1)));
}

bool PartialAviWriter::flush(std::string* error) {
    if (pending_.empty() || fd_ < 0) {
        pending_.clear();
        return true;
    }
    int err = 0;
    iovec part{pending_.data(), pending_.size()};
    if (!pwritevAll(fd_, &part, 1, pendingStart_, &err, hooks_)) {
        // Leave only whole chunks behind; the gathered ones are lost.
        [[maybe_unused]] const int cut = ::ftruncate(fd_, static_cast<off_t>(pendingStart_));
        while (!index_.empty() && index_.back().offset + avi::kMoviBase >= pendingStart_) {
            index_.pop_back();
        }
        position_ = pendingStart_;
        pending_.clear();
        lastErrno_ = err;
        *error = errnoText(err);
        return false;
    }
    pending_.clear();
    return true;
}

bool PartialAviWriter::finish(const std::string& dateFolder, const std::string& timeText, bool alarm,
                              uint32_t recordSeconds, uint32_t recordFrames, std::string* finalPath,
                              std::string* error) {
    if (fd_ < 0) {
        *error = "the recording file is not open";
        return false;
    }
    if (!flush(error)) {
        ::close(fd_);
        fd_ = -1;
        index_.clear();
        *finalPath = path_;
        return false;
    }
    const bool completed =
        completeAviFile(fd_, position_, index_, recordSeconds, recordFrames, error, hooks_, microSecPerFrame());
    ::close(fd_);
    fd_ = -1;
    index_.clear();
    if (!completed) {
        *finalPath = path_;
        return false;
    }
    if (!moveToFinalName(path_, dateFolder, timeText, alarm ? 'A' : 'T', finalPath, error)) {
        if (finalPath->empty()) *finalPath = path_;
        return false;
    }
    syncDirectory(directory_);
    return true;
}

void PartialAviWriter::abandon() {
    if (fd_ >= 0) {
        // Keep what was gathered: the partial file is completed at the next start.
        std::string ignored;
        flush(&ignored);
        ::close(fd_);
    }
    pending_.clear();
    fd_ = -1;
    index_.clear();
    position_ = 0;
}

bool completeAviFile(int fd, uint64_t indexOffset, const std::vector<avi::IndexEntry>& index, uint32_t recordSeconds,
                     uint32_t recordFrames, std::string* error, const DiskHooks* hooks, uint32_t microSecPerFrame) {
    int err = 0;
    if (::ftruncate(fd, static_cast<off_t>(indexOffset)) != 0) {
        *error = errnoText(errno);
        return false;
    }
    const auto idx = avi::buildIndex(index);
    if (!pwriteAll(fd, idx.data(), idx.size(), indexOffset, &err, hooks)) {
        *error = errnoText(err);
        return false;
    }
    std::array<uint8_t, avi::kHeaderSize> header{};
    if (!preadAll(fd, header.data(), header.size(), 0)) {
        *error = "the recording's header cannot be read back";
        return false;
    }
    auto values = avi::finishValues(indexOffset, index.size(), recordSeconds, recordFrames);
    if (microSecPerFrame != 0) values.microSecPerFrame = microSecPerFrame;
    avi::patchHeader(header.data(), values);
    std::memset(header.data() + kOffTotals, 0, kTotalsSize);
    if (!pwriteAll(fd, header.data(), header.size(), 0, &err, hooks)) {
        *error = errnoText(err);
        return false;
    }
    if ((err = syncFile(fd, false, hooks)) != 0) {
        *error = errnoText(err);
        return false;
    }
    return true;
}

bool moveToFinalName(const std::string& from, const std::string& folder, const std::string& timeText, char letter,
                     std::string* finalPath, std::string* error, RecordingFormat format) {
    RecordingName name;
    name.time = timeText;
    name.mark = markOfLetter(letter);
    name.format = format;
    for (int k = 0; k <= kMaxUnique; ++k) {
        name.suffix = k > 0 ? std::to_string(k) : std::string();
        const std::string path = folder + "/" + name.fileName();
        const int err = renameNoReplace(from, path);
        if (err == EEXIST) continue;
        *finalPath = path;
        if (err != 0) {
            *error = errnoText(err);
            return false;
        }
        syncDirectory(folder);
        return true;
    }
    name.suffix.clear();
    *finalPath = folder + "/" + name.fileName();
    *error = "too many recordings of the same second";
    return false;
}

int recoverPartialRecordings(const std::string& directory) {
    namespace fs = std::filesystem;
    if (directory.empty()) return 0;
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code sec;
        if (it->symlink_status(sec).type() != fs::file_type::regular || sec) continue;
        names.push_back(it->path().filename().string());
    }
    int completed = 0;
    for (const std::string& name : names) {
        const auto parsed = parsePartialFileName(name);
        if (!parsed) continue;
        if (parsed->format == RecordingFormat::Mkv) {
            if (recoverPartialMkv(directory, name)) {
                ++completed;
                qCInfo(lcRecording).noquote() << "Interrupted recording" << QString::fromStdString(name)
                                              << "completed into"
                                              << QString::fromStdString(directory + "/" + recordingDateText(parsed->start));
            }
            continue;
        }
        const std::string path = directory + "/" + name;
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) continue;
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            ::close(fd);
            continue;
        }
        const uint64_t size = static_cast<uint64_t>(st.st_size);
        if (size < avi::kHeaderSize) {
            // Cut off before its header was complete: it holds no picture.
            ::close(fd);
            ::unlink(path.c_str());
            continue;
        }
        std::array<uint8_t, avi::kHeaderSize> header{};
        if (!preadAll(fd, header.data(), header.size(), 0) || !avi::isOurHeader(header.data(), header.size())) {
            ::close(fd);
            continue;
        }
        // Rebuild the index from the whole chunks; stop at the first one
        // that is incomplete or not a picture (an index written before the
        // crash included).
        std::vector<avi::IndexEntry> index;
        index.reserve(1024);
        uint64_t pos = avi::kHeaderSize;
        while (index.size() < avi::kMaxFrames && pos + avi::kChunkHeaderSize <= size) {
            uint8_t head[avi::kChunkHeaderSize];
            if (!preadAll(fd, head, sizeof head, pos) || std::memcmp(head, "00dc", 4) != 0) break;
            const uint32_t len = avi::getU32(head + 4);
            if ((len & 1u) || pos + avi::kChunkHeaderSize + len > size) break;
            index.push_back({static_cast<uint32_t>(pos - avi::kMoviBase), len});
            pos += avi::kChunkHeaderSize + len;
        }
        // Its rate: from the totals the recorder kept while recording. A
        // file that died before its first sync (or whose pictures' times do
        // not tell) has only its age by the wall clock, which a clock
        // correction can make absurd: bounded then.
        uint32_t seconds = 1, microSecPerFrame = 0;
        const auto totals = readRunningTotals(header.data());
        if (totals && totals->frames > 0 && totals->elapsedMs > 0) {
            microSecPerFrame = static_cast<uint32_t>(std::max<uint64_t>(
                1, uint64_t{totals->elapsedMs} * 1000 / totals->frames));
        } else {
            std::tm tm{};
            tm.tm_year = parsed->start.year - 1900;
            tm.tm_mon = parsed->start.month - 1;
            tm.tm_mday = parsed->start.day;
            tm.tm_hour = parsed->start.hour;
            tm.tm_min = parsed->start.minute;
            tm.tm_sec = parsed->start.second;
            tm.tm_isdst = -1;
            const std::time_t started = std::mktime(&tm);
            const int64_t age = started == static_cast<std::time_t>(-1) ? 0 : int64_t{st.st_mtime} - started;
            if (age > 0 && age <= kMaxFallbackSeconds) seconds = static_cast<uint32_t>(age);
        }

        std::string error;
        const bool ok = completeAviFile(fd, pos, index, seconds, static_cast<uint32_t>(index.size()), &error,
                                        nullptr, microSecPerFrame);
        ::close(fd);
        auto failed = [&](const std::string& why) {
            qCWarning(lcRecording).noquote() << "Interrupted recording" << QString::fromStdString(path)
                                             << "could not be completed:" << QString::fromStdString(why);
        };
        if (!ok) {
            failed(error);
            continue;
        }
        const std::string folder = directory + "/" + recordingDateText(parsed->start);
        if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
            failed(std::strerror(errno));
            continue;
        }
        std::string finalPath;
        if (moveToFinalName(path, folder, recordingTimeText(parsed->start), parsed->letter, &finalPath, &error)) {
            syncDirectory(directory);
            ++completed;
            qCInfo(lcRecording).noquote() << "Interrupted recording completed:" << QString::fromStdString(finalPath)
                                          << index.size() << "pictures";
        } else {
            failed(error);
        }
    }
    return completed;
}

}  // namespace ipcam

#include "recording/disk_writer.h"

#include "base/activity_log.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "recording/disk_guard.h"
#include "recording/mkv_file.h"

namespace ipcam {

using SteadyClock = std::chrono::steady_clock;

uint32_t SharedFreeSpace::freeSpaceMB(const std::string& directory) {
    std::lock_guard lock(mutex_);
    return query_.freeSpaceMB(directory);
}

struct DiskWriter::Job {
    enum class Type { Open, Append, SetAlarm, Finish, Recover, Expire };
    Type type = Type::Append;
    uint64_t file = 0;
    OpenRequest open;
    std::vector<uint8_t> picture;
    MediaPacket packet;  // coded video: what an Append job carries instead
    SteadyClock::time_point at{};
    bool held = false;  // a picture appendHeld handed over
    uint32_t recordSeconds = 0;
    bool alarm = false;
    bool guard = false;
    int keepDays = 0;
};

// The file the thread is writing: an AVI of JPEG pictures, or a Matroska
// file of a coded-video camera's packets. Both writers follow the same
// rules; this is the one place that tells them apart.
struct DiskWriter::Current {
    PartialAviWriter avi;
    std::unique_ptr<PartialMkvWriter> mkv;
    uint64_t file = 0;
    OpenRequest request;
    SteadyClock::time_point firstAt{};  // arrival of the file's first picture
    bool begun = false;                 // a picture was appended
    bool sized = false;  // the header names the pictures' real size

    bool isOpen() const { return mkv ? mkv->isOpen() : avi.isOpen(); }
    void abandon() { mkv ? mkv->abandon() : avi.abandon(); }
    std::string partialPath() const { return mkv ? mkv->partialPath() : avi.partialPath(); }
    uint32_t frames() const { return mkv ? mkv->frames() : avi.frames(); }
    int lastErrno() const { return mkv ? mkv->lastErrno() : avi.lastErrno(); }
    // The length of the pictures written (0 with fewer than two).
    uint32_t lengthMs() const { return mkv ? mkv->elapsedMs() : avi.lengthMs(); }
    // For the log: the seconds the file lasts, or the recorder's count when
    // its pictures do not tell.
    uint32_t seconds(uint32_t counted) const {
        const uint32_t ms = lengthMs();
        return ms == 0 ? counted : (ms + 500) / 1000;
    }
    bool alarm() const { return mkv ? mkv->alarm() : avi.alarm(); }
    bool setAlarm(bool alarm, std::string* error) { return mkv ? mkv->setAlarm(alarm, error) : avi.setAlarm(alarm, error); }
    bool finish(const std::string& dateFolder, const std::string& timeText, bool alarm, uint32_t seconds,
                uint32_t frames, std::string* finalPath, std::string* error) {
        if (mkv) return mkv->finish(dateFolder, timeText, alarm, finalPath, error);
        return avi.finish(dateFolder, timeText, alarm, seconds, frames, finalPath, error);
    }
};

namespace {

DiskEvent eventFor(DiskEvent::Type type, uint64_t file, uint8_t recordKind, std::string path = {},
                   std::string error = {}) {
    DiskEvent e;
    e.type = type;
    e.file = file;
    e.recordKind = recordKind;
    e.path = std::move(path);
    e.error = std::move(error);
    return e;
}

bool makeFolder(const std::string& folder) { return ::mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST; }

uint32_t millisecondsBetween(SteadyClock::time_point from, SteadyClock::time_point to) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
    return ms <= 0 ? 0 : ms >= INT32_MAX ? INT32_MAX : static_cast<uint32_t>(ms);
}

}  // namespace

DiskWriter::DiskWriter(SharedFreeSpace& freeSpace) : freeSpace_(freeSpace), thread_([this] { run(); }) {}

DiskWriter::~DiskWriter() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    if (cur_ && cur_->isOpen()) cur_->abandon();
}

uint64_t DiskWriter::open(const OpenRequest& request) {
    Job job;
    job.type = Job::Type::Open;
    job.open = request;
    job.at = SteadyClock::now();
    uint64_t id;
    {
        std::lock_guard lock(mutex_);
        id = job.file = ++nextFile_;
        jobs_.push_back(std::move(job));
        prompt_ = true;
    }
    wake_.notify_one();
    return id;
}

bool DiskWriter::append(const std::vector<uint8_t>& picture, SteadyClock::time_point at) {
    Job job;
    job.type = Job::Type::Append;
    job.at = at;
    {
        std::lock_guard lock(mutex_);
        if (queuedBytes_ - heldBytes_ + picture.size() > queueCap_) {
            ++dropped_;
            return false;
        }
        queuedBytes_ += picture.size();
    }
    // The copy is made outside the lock, so the thread is never held up by it.
    job.picture = picture;
    return queue(std::move(job));
}

void DiskWriter::appendHeld(std::vector<uint8_t>&& picture, SteadyClock::time_point at) {
    Job job;
    job.type = Job::Type::Append;
    job.at = at;
    job.held = true;
    job.picture = std::move(picture);
    {
        std::lock_guard lock(mutex_);
        queuedBytes_ += job.picture.size();
        heldBytes_ += job.picture.size();
    }
    queue(std::move(job));
}

bool DiskWriter::append(const MediaPacket& packet) {
    Job job;
    job.type = Job::Type::Append;
    job.at = SteadyClock::now();
    {
        std::lock_guard lock(mutex_);
        if (queuedBytes_ + packet.data.size() > queueCap_) {
            ++dropped_;
            return false;
        }
        queuedBytes_ += packet.data.size();
    }
    job.packet = packet;
    return queue(std::move(job));
}

bool DiskWriter::queue(Job&& job) {
    bool wake;
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
        wake = asleep_ || queuedBytes_ >= kPromptBytes;
    }
    if (wake) wake_.notify_one();
    return true;
}

void DiskWriter::setAlarm(bool alarm) {
    Job job;
    job.type = Job::Type::SetAlarm;
    job.alarm = alarm;
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
        prompt_ = true;
    }
    wake_.notify_one();
}

void DiskWriter::finish(uint32_t recordSeconds, bool alarm, bool guard) {
    Job job;
    job.type = Job::Type::Finish;
    job.recordSeconds = recordSeconds;
    job.alarm = alarm;
    job.guard = guard;
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
        prompt_ = true;
    }
    wake_.notify_one();
}

void DiskWriter::recover(const std::string& aviDirectory) {
    Job job;
    job.type = Job::Type::Recover;
    job.open.aviDirectory = aviDirectory;
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
        prompt_ = true;
    }
    wake_.notify_one();
}

void DiskWriter::expire(const std::string& aviDirectory, int keepDays, const LocalDateTime& today) {
    Job job;
    job.type = Job::Type::Expire;
    job.open.aviDirectory = aviDirectory;
    job.open.start = today;
    job.keepDays = keepDays;
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
        prompt_ = true;
    }
    wake_.notify_one();
}

bool DiskWriter::takeEvent(DiskEvent* event) {
    std::lock_guard lock(mutex_);
    if (events_.empty()) return false;
    *event = std::move(events_.front());
    events_.pop_front();
    return true;
}

void DiskWriter::waitIdle() {
    std::unique_lock lock(mutex_);
    prompt_ = true;
    wake_.notify_one();
    idle_.wait(lock, [this] { return jobs_.empty() && !busy_; });
}

void DiskWriter::setHooks(const DiskHooks& hooks) {
    std::unique_lock lock(mutex_);
    prompt_ = true;
    wake_.notify_one();
    idle_.wait(lock, [this] { return jobs_.empty() && !busy_; });
    hooks_ = hooks;
}

void DiskWriter::setQueueCap(size_t bytes) {
    std::lock_guard lock(mutex_);
    queueCap_ = bytes;
}

uint64_t DiskWriter::droppedPictures() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

size_t DiskWriter::queuedBytes() const {
    std::lock_guard lock(mutex_);
    return queuedBytes_;
}

void DiskWriter::setEventNotifier(std::function<void()> notify) {
    std::lock_guard lock(mutex_);
    notify_ = std::move(notify);
}

void DiskWriter::post(DiskEvent e) {
    std::lock_guard lock(mutex_);
    const bool first = events_.empty();
    events_.push_back(std::move(e));
    // Held under the lock: the notifier cannot be cleared while it runs.
    if (first && notify_) notify_();
}

void DiskWriter::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        asleep_ = true;
        wake_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
        asleep_ = false;
        // Pictures are gathered for a while before the thread takes them, so
        // that it wakes a few times a second rather than once a picture. Any
        // other job, a full queue, a wait for idle or the exit end the wait.
        wake_.wait_for(lock, kGatherWait, [this] { return stop_ || prompt_ || queuedBytes_ >= kPromptBytes; });
        while (!jobs_.empty()) {
            Job job = std::move(jobs_.front());
            jobs_.pop_front();
            busy_ = true;
            lock.unlock();
            execute(job);
            lock.lock();
            if (job.type == Job::Type::Append) {
                queuedBytes_ -= job.picture.size() + job.packet.data.size();
                if (job.held) heldBytes_ -= job.picture.size();
            }
            busy_ = false;
        }
        prompt_ = false;
        idle_.notify_all();
        if (stop_) return;
    }
}

// Deletes the oldest of our recordings until there is room; one line in
// the activity log says what went (the names at the debug level).
bool DiskWriter::ensureFreeSpace(const std::string& aviDirectory) {
    bool ok = true;
    DeletionSummary summary;
    uint32_t freeMB = 0;
    while (ok && freeSpace_.freeSpaceMB(aviDirectory) < kMinFreeMB) {
        const DeleteOutcome r = deleteOldestRecording(aviDirectory, &summary);
        ok = r == DeleteOutcome::DeletedFile || r == DeleteOutcome::RemovedFolder;
        DiskEvent e;
        e.freeMB = freeMB = freeSpace_.freeSpaceMB(aviDirectory);
        post(std::move(e));
    }
    if (!summary.empty()) {
        const QString line = QString::fromStdString("Disk space guard deleted " + summary.text() + "; " +
                                                    freeSpaceText(freeMB));
        if (summary.failed > 0)
            qCWarning(lcGuard).noquote() << line;
        else
            qCInfo(lcGuard).noquote() << line;
    }
    return ok;
}

void DiskWriter::execute(Job& job) {
    switch (job.type) {
    case Job::Type::Recover: {
        DiskEvent e;
        e.type = DiskEvent::Type::Recovered;
        e.recovered = static_cast<uint32_t>(recoverPartialRecordings(job.open.aviDirectory));
        post(std::move(e));
        return;
    }
    case Job::Type::Expire: {
        // Safe against the recording in progress: its pictures go into a
        // partial file under a hidden name in the recording folder itself,
        // never of our name rule, until the finish job renames it into its
        // date folder; jobs run one at a time, so this one sees the file
        // either still partial or complete under its final name, never in
        // between. A file just finished started today or yesterday, which
        // Keep_Days 1 or more keeps, and a date folder an open file will be
        // finished into is made again by the finish when it is missing.
        // A note on the clock goes to the log when it changes (it names
        // today's date: about once a day), not at every hourly pass.
        const RetentionOutcome r = deleteExpiredRecordings(job.open.aviDirectory, job.open.start, job.keepDays);
        if (!r.clockNote.empty() && r.clockNote != clockNote_)
            qCWarning(lcGuard).noquote() << QString::fromStdString(r.clockNote);
        clockNote_ = r.clockNote;
        if (r.deleted.files > 0) {
            DiskEvent e;
            e.freeMB = freeSpace_.freeSpaceMB(job.open.aviDirectory);
            post(std::move(e));
        }
        return;
    }
    case Job::Type::Open: {
        if (cur_ && cur_->isOpen()) cur_->abandon();  // never left so by the recorder
        cur_ = std::make_unique<Current>();
        cur_->file = job.file;
        cur_->request = job.open;
        cur_->avi.setHooks(&hooks_);
        if (job.open.tracks) {
            cur_->mkv = std::make_unique<PartialMkvWriter>();
            cur_->mkv->setHooks(&hooks_);
        }
        std::string error;
        if (!makeFolder(job.open.dateFolder)) {
            error = std::strerror(errno);
            post(eventFor(DiskEvent::Type::OpenFailed, job.file, job.open.recordKind, job.open.dateFolder, error));
            return;
        }
        const bool opened =
            cur_->mkv ? cur_->mkv->open(job.open.aviDirectory, job.open.start, job.open.alarm, *job.open.tracks, &error)
                      : cur_->avi.open(job.open.aviDirectory, job.open.start, job.open.resolution, job.open.alarm, &error);
        if (!opened)
            post(eventFor(DiskEvent::Type::OpenFailed, job.file, job.open.recordKind, cur_->partialPath(), error));
        return;
    }
    case Job::Type::SetAlarm: {
        if (!cur_ || !cur_->isOpen()) return;
        std::string error;
        if (!cur_->setAlarm(job.alarm, &error)) afterFailure(error);
        return;
    }
    case Job::Type::Append: {
        if (!cur_ || !cur_->isOpen()) return;  // the file failed: its pictures are dropped
        std::string error;
        if (cur_->mkv) {
            // A packet the muxer refuses alone (no write failed) is left out;
            // the file goes on.
            if (!cur_->mkv->append(job.packet, &error)) {
                if (cur_->mkv->lastErrno() != 0) {
                    afterFailure(error);
                } else {
                    qCWarning(lcRecording).noquote() << "A packet was left out of the recording:"
                                                     << QString::fromStdString(error);
                }
            }
            return;
        }
        if (cur_->request.sizeFromPictures && !cur_->sized) {
            cur_->sized = true;
            const auto size = avi::jpegFrameSize(job.picture.data(), job.picture.size());
            if (size && !cur_->avi.setPictureSize(size->width, size->height, &error)) {
                afterFailure(error);
                return;
            }
        }
        if (!cur_->begun) {
            cur_->begun = true;
            cur_->firstAt = job.at;
        }
        if (!cur_->avi.append(job.picture.data(), job.picture.size(), &error,
                              millisecondsBetween(cur_->firstAt, job.at)))
            afterFailure(error);
        return;
    }
    case Job::Type::Finish: {
        if (!cur_ || !cur_->isOpen()) return;  // already reported
        const OpenRequest& r = cur_->request;
        DiskEvent e = eventFor(DiskEvent::Type::Finished, cur_->file, r.recordKind);
        e.room = !job.guard || ensureFreeSpace(r.aviDirectory);
        if (!makeFolder(r.dateFolder)) {
            e.error = r.dateFolder + ": " + std::strerror(errno);
            e.path = cur_->partialPath();
            cur_->abandon();  // the partial file stays, completed at the next start
        } else {
            e.frames = cur_->frames();
            const uint32_t seconds = cur_->seconds(job.recordSeconds);
            e.saved = cur_->finish(r.dateFolder, r.timeText, job.alarm, job.recordSeconds, e.frames, &e.path,
                                          &e.error);
            if (e.saved)
                qCInfo(lcRecording).noquote() << "Recording finished:" << QString::fromStdString(e.path) << e.frames
                                              << "pictures," << seconds << "seconds,"
                                              << recordingKindName(r.recordKind, job.alarm);
        }
        post(e);
        DiskEvent space;
        space.freeMB = freeSpace_.freeSpaceMB(r.aviDirectory);
        post(std::move(space));
        return;
    }
    }
}

// A write, sync or rename of the open file failed. The pictures already on
// disk are kept as a complete file at the rate measured while recording; a
// full disk makes room first.
void DiskWriter::afterFailure(const std::string& error) {
    const int err = cur_->lastErrno();
    const bool diskFull = err == ENOSPC || err == EDQUOT;
    const OpenRequest& r = cur_->request;
    DiskEvent e = eventFor(DiskEvent::Type::WriteFailed, cur_->file, r.recordKind);
    e.error = error;
    if (diskFull) {
        e.room = ensureFreeSpace(r.aviDirectory);
        e.type = e.room ? DiskEvent::Type::DiskFullRolled : DiskEvent::Type::DiskFullGaveUp;
    }
    e.frames = cur_->frames();
    const uint32_t seconds = std::max<uint32_t>(1, cur_->seconds(1));
    std::string ignored;
    if (makeFolder(r.dateFolder)) {
        e.saved = cur_->finish(r.dateFolder, r.timeText, cur_->alarm(), seconds, e.frames, &e.path,
                                      &ignored);
        if (e.saved)
            qCInfo(lcRecording).noquote() << "Recording finished:" << QString::fromStdString(e.path) << e.frames
                                          << "pictures," << seconds << "seconds,"
                                          << recordingKindName(r.recordKind, cur_->alarm())
                                          << "(cut short: " + QString::fromStdString(error) + ")";
    } else {
        e.path = cur_->partialPath();
        cur_->abandon();
    }
    if (!e.saved && e.type == DiskEvent::Type::DiskFullRolled) {
        // Not even the index fits: nothing can go on.
        e.type = DiskEvent::Type::DiskFullGaveUp;
    }
    post(e);
    DiskEvent space;
    space.freeMB = freeSpace_.freeSpaceMB(r.aviDirectory);
    post(std::move(space));
}

}  // namespace ipcam

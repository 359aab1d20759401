#include "recording/recorder.h"
#include "recording/recording_catalog.h"

#include <algorithm>
#include <map>
#include <optional>


#include "base/activity_log.h"
#include "detect/motion_detector.h"
#include "detect/week_schedule.h"
#include "recording/avi_writer.h"
#include "recording/disk_guard.h"
#include "recording/disk_writer.h"
#include "recording/folder_lock.h"
#include "recording/preroll_ring.h"

namespace ipcam {

namespace {

constexpr uint32_t kFileSeconds = 600;

const char kDailyStops[] = "HDD Free Space is not enough, so Daily Record stops.";
const char kMotionOff[] = "HDD Free Space is not enough, so Motion Detection is turned off.";
const char kManualStops[] = "HDD Free Space is not enough, so Manual Record stops.";
const char kBothOff[] = "HDD Free Space is not enough, so Motion Detection and Daily Record are turned off.";
const char kMakeRoom[] = "Please make sure HDD free space is more than 512MB.";

// Seconds from `start` to `now` by time of day. Within the same hour only
// minutes and seconds count; across midnight a day is added. A clock set
// back gives a negative value, which as unsigned exceeds any limit.
uint32_t elapsedSeconds(const TimeOfDay& start, const TimeOfDay& now) {
    int elapsed;
    if (now.hour == start.hour)
        elapsed = (now.minute * 60 + now.second) - (start.minute * 60 + start.second);
    else if (start.hour == 23 || now.hour == 0)
        elapsed = now.secondsOfDay() + 86400 - start.secondsOfDay();
    else
        elapsed = now.secondsOfDay() - start.secondsOfDay();
    return static_cast<uint32_t>(elapsed);
}

std::string folderBusyText(const std::string& folder) {
    return "Another IPCam Recorder is recording into " + folder + "; this one will not record there.";
}

// What stays switched off after a recording of `kind` was given up.
std::string staysOffText(uint8_t kind) {
    if (kind & kDaily) return " Daily Record stays off for the rest of this hour.";
    if (kind & kMotion) return " Motion Detection stays off until the settings are loaded again.";
    return " Manual Record stays off until Record is pressed again.";
}

std::string keptText(const DiskEvent& e) {
    if (e.saved) return " The pictures recorded up to then were kept in " + e.path + ".";
    return " The pictures recorded up to then stay in " + e.path + " and are completed at the next start.";
}

}  // namespace

struct Recorder::Impl {
    RecordingSession s;
    CameraSettings& cfg;
    const Clock& clock;
    RecorderHost& host;
    SharedFreeSpace freeSpace;
    FolderLock folderLock;
    DiskWriter disk;
    PrerollRing preroll;
    PacketRing packets;  // coded video: the idle recorder's newest group of pictures, or its pre-roll
    Recorder::ArrivalClock arrivalClock = [] { return std::chrono::steady_clock::now(); };
    using TimePoint = std::chrono::steady_clock::time_point;

    uint64_t file_ = 0;         // the file being written (DiskWriter's number), 0 when none
    std::map<uint64_t, TimeOfDay> ended_;  // files closed and not yet reported finished: when each ended
    bool fileAlarm_ = false;    // the suffix letter the writer was last told
    bool rollPending_ = false;  // the disk filled up and room was made: go on in a new file
    int recovered_ = 0;         // recordings a crash left unfinished, completed so far
    int prerollKept_ = 0;       // seconds the pre-roll holds when its bound cuts it short, 0 when it does not
    int loggedKept_ = 0;        // the figure last logged
    uint64_t fileBytes_ = 0;    // what the open file holds once finished
    // The largest picture a camera can send (its chunk and index entry)
    // still fits below 1 GiB.
    uint64_t cutBytes_ = (uint64_t{1} << 30) - (uint64_t{16} << 20) - 64;
    // Coded video: the tracks the open file was made for; motion found
    // during a Manual or Daily recording, applied at the next key frame; a
    // file that waits for a key frame to begin (a recording that started
    // before the stream's first key frame, or the next file after the disk
    // filled up and room was made).
    std::shared_ptr<const MediaTracks> fileTracks_;
    bool switchToMotion_ = false;
    bool motionSuspended_ = false;  // off for lack of space
    std::string fileName_;          // of the file being recorded, as it will be named
    enum class Await { Nothing, Start, Continue };
    Await await_ = Await::Nothing;

    Impl(CameraSettings& settings, const Clock& c, RecorderHost& h, FreeSpaceQuery& f)
        : cfg(settings), clock(c), host(h), freeSpace(f), disk(freeSpace) {}

    uint32_t freeMB() { return freeSpace.freeSpaceMB(cfg.aviDirectory); }
    void showFreeSpace() { host.setFreeSpace(freeMB()); }

    void zeroCounters() {
        s.RecordFrames = s.RecordSeconds = 0;
        host.resetPreviewCounters();
    }

    // Motion detection may be off for lack of space: run-time state, until
    // the settings are applied again; the settings keep what the user chose.
    bool motionEnabledWhileIdle() const { return cfg.motionDetectionEnabled != 0 && !motionSuspended_; }
    bool motionEnabledWhileRecording() const { return cfg.motionDetectionEnabled == 1 && !motionSuspended_; }
    void suspendMotion() {
        if (!motionSuspended_) {
            motionSuspended_ = true;
            host.motionSuspended(true);
        }
    }

    // Turns off what would start the next recording of `kind`, which ended
    // at `ended` (a Daily recording latches the hour block it ended in).
    // Returns the giving-up warning for that kind.
    std::string switchOff(uint8_t kind, const TimeOfDay& ended) {
        if (kind & kDaily) {
            setBlockLatch(s, ended);
            return kDailyStops;
        }
        if (kind & kMotion) {
            suspendMotion();
            return kMotionOff;
        }
        return kManualStops;
    }

    // Queues the finish of the open file, if any, with the suffix it was
    // last given unless `alarm` says otherwise.
    void closeFile(bool guard, std::optional<bool> alarm = std::nullopt) {
        if (file_ == 0) return;
        disk.finish(s.RecordSeconds, alarm.value_or(fileAlarm_), guard);
        // A Daily file closed after its block's hour (at the block's end, or
        // by a watchdog that fired in the next hour) ended with its block.
        TimeOfDay end = clock.now().timeOfDay();
        if ((s.RecordKind & kDaily) && end.hour != s.RecordStartTime.hour) end = {s.RecordStartTime.hour, 59, 59};
        ended_[file_] = end;
        file_ = 0;
    }

    // When the recording of `file` ended: a file the recorder closed ended
    // then, however late the recording's thread reports on it (a slow disk);
    // one still open ends now.
    TimeOfDay endedAt(uint64_t file) const {
        const auto it = ended_.find(file);
        return it != ended_.end() ? it->second : clock.now().timeOfDay();
    }

    // Nothing more may be recorded for now: stop what records (a file
    // started meanwhile is kept as it is), switch off what would start the
    // recording of `kind` again, go idle and warn. Every state change comes
    // before the (modal) warning.
    void stopRecording(uint8_t kind, bool afterFinish, const std::string& text, const TimeOfDay& ended) {
        s.StopRequest = true;
        switchOff(kind, ended);
        closeFile(false);
        s.ManualRequest = false;
        s.SpaceConfirmed = false;
        s.MotionTrigger = s.AlarmMark = false;
        zeroCounters();
        if (afterFinish) showFreeSpace();
        s.RecordKind = kNotRecording;
        host.recordingStateChanged(kNotRecording);
        host.showWarning(RecorderWarning::Stopped, text);
    }

    // No room on the drive.
    void giveUp(uint8_t kind, bool afterFinish, const std::string& details, const TimeOfDay& ended) {
        s.StopRequest = true;
        host.startStatusTimer();
        stopRecording(kind, afterFinish, switchOffText(kind) + details, ended);
    }
    std::string switchOffText(uint8_t kind) const {
        return (kind & kDaily) ? kDailyStops : (kind & kMotion) ? kMotionOff : kManualStops;
    }

    // The file cannot be written: never reported as saved.
    void writeFailed(uint8_t kind, const std::string& text, std::optional<TimeOfDay> ended = std::nullopt) {
        stopRecording(kind, false, text + staysOffText(kind), ended.value_or(clock.now().timeOfDay()));
    }

    // What the recording's thread reports, in the order it happened.
    void handle(const DiskEvent& e) {
        const bool current = e.file != 0 && e.file == file_;
        const TimeOfDay ended = endedAt(e.file);
        switch (e.type) {
        case DiskEvent::Type::FreeSpace:
            host.setFreeSpace(e.freeMB);
            return;
        case DiskEvent::Type::OpenFailed:
            if (current) file_ = 0;
            writeFailed(e.recordKind, "The recording file " + e.path + " could not be written: " + e.error + ".");
            return;
        case DiskEvent::Type::Finished:
            // Files are finished in order: none before this one waits.
            ended_.erase(ended_.begin(), ended_.upper_bound(e.file));
            host.recordingFinished(RecordingFileReport{e.path, e.frames, e.recordKind, e.saved});
            if (!e.room) {
                giveUp(e.recordKind, true, e.saved || !e.path.empty() ? keptText(e) : std::string{}, ended);
            } else if (!e.saved) {
                writeFailed(e.recordKind,
                            "The recording file " + e.path + " could not be written: " + e.error + "." +
                                " It is completed at the next start.",
                            ended);
            }
            return;
        case DiskEvent::Type::WriteFailed:
            if (current) file_ = 0;
            writeFailed(e.recordKind, "Writing the recording failed (" + e.error + ")." + keptText(e), ended);
            return;
        case DiskEvent::Type::DiskFullRolled:
            if (current) {
                file_ = 0;
                rollPending_ = true;
            }
            return;
        case DiskEvent::Type::DiskFullGaveUp:
            if (current) file_ = 0;
            giveUp(e.recordKind, true, keptText(e) + staysOffText(e.recordKind), ended);
            return;
        case DiskEvent::Type::Recovered:
            recovered_ += static_cast<int>(e.recovered);
            return;
        }
    }

    void pollDiskEvents() {
        DiskEvent e;
        while (disk.takeEvent(&e)) handle(e);
    }

    // The recording folder is ours alone while we use it.
    bool claimFolder(bool* busy) { return folderLock.acquire(cfg.aviDirectory, busy); }

    void recoverPartialFiles() {
        bool busy = false;
        if (!claimFolder(&busy) && busy) {
            // Its partial files are another recorder's live recordings.
            host.showWarning(RecorderWarning::FolderBusy, folderBusyText(cfg.aviDirectory));
            return;
        }
        disk.recover(cfg.aviDirectory);
        applyRetention();
    }

    // Only in a folder this program holds (another copy's recordings are its
    // own); while a file is open elsewhere its folder keeps the lock.
    void applyRetention() {
        if (cfg.keepDays == 0 || cfg.aviDirectory.empty()) return;
        bool busy = false;
        if (!folderLock.holds(cfg.aviDirectory) && (file_ != 0 || !claimFolder(&busy))) return;
        disk.expire(cfg.aviDirectory, cfg.keepDays, clock.now());
    }

    // A recording that its owner dropped without finishing it (the window's
    // start sequence resets RecordKind) is saved under its final name before
    // the next one begins, instead of lying unfinished until the next run.
    void saveDroppedRecording() { closeFile(false); }

    void startRecordingFile(const LocalDateTime& now, const std::shared_ptr<const MediaTracks>& tracks) {
        saveDroppedRecording();
        showFreeSpace();
        if (!(freeMB() > kMinFreeMB || s.SpaceConfirmed)) {
            giveUp(s.RecordKind, false, {}, now.timeOfDay());
            return;
        }
        const std::string dateFolder = cfg.aviDirectory + "/" + recordingDateText(now);
        if (cfg.aviDirectory.empty()) {
            writeFailed(s.RecordKind, "The recording file " + dateFolder + " could not be written: no recording "
                                      "directory is set.");
            return;
        }
        bool busy = false;
        if (!claimFolder(&busy) && busy) {
            writeFailed(s.RecordKind, folderBusyText(cfg.aviDirectory));
            return;
        }
        zeroCounters();
        DiskWriter::OpenRequest r;
        r.aviDirectory = cfg.aviDirectory;
        r.start = now;
        r.dateFolder = dateFolder;
        r.timeText = recordingTimeText(now);
        r.resolution = cfg.resolution;
        r.alarm = s.AlarmMark;
        r.recordKind = s.RecordKind;
        fileBytes_ = avi::kHeaderSize + 8;  // and the index list's header
        // A standard camera sends pictures of its own size.
        r.sizeFromPictures = !cfg.cameraUrl.empty();
        // A camera that sends coded video records into a Matroska file.
        r.tracks = tracks;
        fileTracks_ = tracks;
        file_ = disk.open(r);
        fileAlarm_ = s.AlarmMark;
        RecordingName name;
        name.date = recordingDateText(now);
        name.time = r.timeText;
        name.mark = s.AlarmMark ? RecordingMark::Alarm : RecordingMark::Timed;
        name.format = tracks ? RecordingFormat::Mkv : RecordingFormat::Avi;
        fileName_ = name.relativePath();
        host.recordingStateChanged(s.RecordKind);
    }

    // Starts a file and, when it started, stamps its start time.
    void startAndStamp(const std::shared_ptr<const MediaTracks>& tracks = nullptr) {
        startRecordingFile(clock.now(), tracks);
        if (s.RecordKind != kNotRecording) {
            s.RecordStartTime = clock.now().timeOfDay();
            host.recordingStateChanged(s.RecordKind);
        }
    }

    // Queues the finish: the guard makes room, then the file is completed
    // and renamed on the recording's thread. What comes of it is handled
    // when its event arrives. Returns false when the recorder went idle.
    bool finishRecordingFile() {
        if (file_ != 0) {
            if (motionEnabledWhileIdle()) s.MotionPhase = 0;
            closeFile(true, s.AlarmMark);
            // Consecutive files start without a new free-space test; a guard
            // that finds no room gives the recording up when it reports.
            s.SpaceConfirmed = true;
        }
        s.AlarmMark = s.MotionTrigger = false;
        zeroCounters();
        return true;
    }

    // `at`: the picture's arrival, from which the file's length and rate
    // come (its pictures' span, not the seconds counted while none came).
    void appendPicture(const std::vector<uint8_t>& picture, TimePoint at) {
        if (file_ == 0) return;
        if (s.AlarmMark != fileAlarm_) {
            disk.setAlarm(s.AlarmMark);
            fileAlarm_ = s.AlarmMark;
        }
        // A picture the queue has no room for is dropped (the disk is far
        // behind); the file goes on with the next.
        if (disk.append(picture, at)) {
            s.RecordFrames += 1;
            fileBytes_ += avi::kChunkHeaderSize + avi::paddedLength(picture.size()) + avi::kIndexEntrySize;
        }
    }

    // A picture of the pre-roll: its buffer goes to the recording's thread,
    // never dropped (see DiskWriter::appendHeld).
    void appendHeldPicture(std::vector<uint8_t>&& picture, TimePoint at) {
        if (file_ == 0) return;
        if (s.AlarmMark != fileAlarm_) {
            disk.setAlarm(s.AlarmMark);
            fileAlarm_ = s.AlarmMark;
        }
        s.RecordFrames += 1;
        fileBytes_ += avi::kChunkHeaderSize + avi::paddedLength(picture.size()) + avi::kIndexEntrySize;
        disk.appendHeld(std::move(picture), at);
    }

    // While idle, every picture is kept for the pre-roll of a Motion
    // recording that may begin with it or soon after; nothing is kept when
    // no such recording can begin.
    void keepForPreroll(const std::vector<uint8_t>& picture, TimePoint at) {
        const int seconds = std::min<int>(cfg.motionPrerollSeconds, kMaxPrerollSeconds);
        if (seconds <= 0 || !motionEnabledWhileIdle()) {
            preroll.clear();
            return;
        }
        preroll.push(picture, at, std::chrono::seconds(seconds));
        if (preroll.cutByCaps()) {
            // Pictures too large for the bound: say how much is kept.
            // Logged when it first happens and when it holds less than was
            // logged, not each time the pictures' sizes move it a little.
            const int kept = std::min(seconds, static_cast<int>((preroll.span().count() + 500) / 1000));
            if (kept < seconds && (loggedKept_ == 0 || kept < loggedKept_)) {
                qCInfo(lcRecording).noquote()
                    << "Pre-roll:" << seconds << "seconds asked," << kept << "kept (it holds at most"
                    << kMaxPrerollMiB << "MiB of this camera's pictures)";
                loggedKept_ = kept;
            }
            prerollKept_ = kept < seconds ? kept : 0;
        } else if (prerollKept_ != 0 && preroll.span() >= std::chrono::seconds(seconds)) {
            prerollKept_ = loggedKept_ = 0;  // the whole length fits again
        }
    }

    // A Motion file begins with the pre-roll, the picture that started it
    // the last of it, so that the file is one unbroken run of the camera's
    // pictures at their own arrival times (their span also counts in the
    // recording's seconds on the status line). Any other recording begins
    // with the picture that started it, and the pictures of a recording are
    // never kept, so no picture is in two files. True when the ring was
    // written (the picture that started the file with it).
    bool writePreroll() {
        bool written = false;
        if ((s.RecordKind & kMotion) && file_ != 0 && !preroll.empty()) {
            const auto span = preroll.span();
            preroll.drain([this](std::vector<uint8_t>& p, TimePoint at) { appendHeldPicture(std::move(p), at); });
            s.RecordSeconds += static_cast<uint32_t>((span.count() + 500) / 1000);
            written = true;
        }
        preroll.clear();
        return written;
    }

    // The same kind goes on in a new file after the disk filled up and room
    // was made. A Motion recording still ends ten minutes after it began.
    void continueInNewFile(const std::shared_ptr<const MediaTracks>& tracks = nullptr) {
        s.SpaceConfirmed = true;
        const TimeOfDay began = s.RecordStartTime;
        if (s.RecordKind & kMotion) s.AlarmMark = true;
        startAndStamp(tracks);
        if ((s.RecordKind & kMotion) && s.RecordKind != kNotRecording) s.RecordStartTime = began;
    }

    // The 600-second cut: a Motion recording ends; Daily goes on in a new
    // file while its block lasts, Manual at once.
    void endAtFileLength() {
        finishRecordingFile();
        if (s.RecordKind & kMotion) {
            s.RecordKind = kNotRecording;
            s.AlarmMark = s.MotionTrigger = false;
            zeroCounters();
            host.recordingStateChanged(kNotRecording);
        } else if (s.RecordKind & kDaily) {
            s.RecordKind = kNotRecording;
        } else if (s.RecordKind & kManual) {
            s.RecordKind = kNotRecording;
            s.ManualRequest = true;
        }
    }

    void step(const std::vector<uint8_t>& picture, const PixelView& decoded) {
        pollDiskEvents();
        const TimePoint at = arrivalClock();
        if (rollPending_) {
            rollPending_ = false;
            if (s.RecordKind != kNotRecording) {
                // This picture starts the next file, as at any start.
                continueInNewFile();
                appendPicture(picture, at);
                return;
            }
        }
        const LocalDateTime now = clock.now();
        if (s.RecordKind == kNotRecording) {
            keepForPreroll(picture, at);
            if (isDailyBlockDue(s, cfg.schedule, now)) {
                s.RecordKind = kDaily;
            } else if (decoded.pixels && motionEnabledWhileIdle() &&
                       motionStep(s, decoded, cfg.motionSensitivity, s.MotionTrigger)) {
                s.MotionTrigger = true;
                s.RecordKind = kMotion;
                s.AlarmMark = true;
                host.raiseAlarm(picture);
            }
            if (s.ManualRequest && s.RecordKind == kNotRecording) {
                s.RecordKind = kManual;
                s.ManualRequest = false;
                s.StopRequest = false;
            }
            // The picture that starts a file is its first picture (a Motion
            // file's pre-roll ends with it), so the file that follows a cut
            // goes on from the last picture of the one before.
            if (s.RecordKind != kNotRecording) {
                // A stop left by an earlier recording's give-up does not cut
                // this one short.
                s.StopRequest = false;
                startAndStamp();
                if (!writePreroll()) appendPicture(picture, at);
            }
            return;
        }

        if (s.MotionTrigger) s.AlarmMark = true;
        appendPicture(picture, at);

        if (s.StopRequest) {
            finishRecordingFile();
            // A stop ends the run of files that follow one another without a
            // free-space test: the next start tests again.
            s.SpaceConfirmed = false;
            s.RecordKind = kNotRecording;
            s.StopRequest = false;
            host.recordingStateChanged(kNotRecording);
            s.AlarmMark = s.MotionTrigger = false;
            zeroCounters();
            s.ManualRequest = false;
            return;
        }

        // Motion during a Manual or Daily recording switches to Motion.
        if (decoded.pixels && (s.RecordKind & (kManual | kDaily)) && motionEnabledWhileRecording() &&
            motionStep(s, decoded, cfg.motionSensitivity, s.MotionTrigger)) {
            host.raiseAlarm(picture);
            if (!finishRecordingFile()) return;
            if (s.RecordKind & kManual) s.ManualRequest = true;  // resumes after the Motion recording
            s.MotionTrigger = true;
            s.RecordKind = kMotion;
            s.AlarmMark = true;
            startAndStamp();
        }

        const TimeOfDay t = clock.now().timeOfDay();
        if (s.RecordKind != kNotRecording) {
            if ((s.RecordKind & kDaily) && dailyBlockEnded(s, t)) {
                finishRecordingFile();
                s.RecordKind = kNotRecording;
                host.recordingStateChanged(kNotRecording);
            } else if (s.MotionTrigger) {
                s.MotionTrigger = false;
            }
        }

        if (s.RecordKind != kNotRecording && elapsedSeconds(s.RecordStartTime, t) > kFileSeconds) endAtFileLength();

        // A file stays below 1 GiB, past which many AVI readers fail (their
        // offsets and the RIFF size are 32 bits): the same kind goes on at
        // once in a new file, which the next picture begins.
        if (s.RecordKind != kNotRecording && fileBytes_ >= cutBytes_) {
            finishRecordingFile();
            continueInNewFile();
            return;
        }

        // A full index closes the file; the same kind goes on in the next.
        if (s.RecordKind != kNotRecording && s.RecordFrames >= avi::kMaxFrames) {
            if (!finishRecordingFile()) return;
            if (s.RecordKind & kMotion) {
                // The Motion recording still ends ten minutes after it began.
                const TimeOfDay began = s.RecordStartTime;
                s.AlarmMark = true;
                startAndStamp();
                if (s.RecordKind != kNotRecording) s.RecordStartTime = began;
            } else if (s.RecordKind & kDaily) {
                s.RecordKind = kNotRecording;
            } else if (s.RecordKind & kManual) {
                s.RecordKind = kNotRecording;
                s.ManualRequest = true;
            }
        }
    }

    // ---- coded video

    void appendPacket(const MediaPacket& packet) {
        if (file_ == 0) return;
        if (s.AlarmMark != fileAlarm_) {
            disk.setAlarm(s.AlarmMark);
            fileAlarm_ = s.AlarmMark;
        }
        if (disk.append(packet) && packet.isVideo()) s.RecordFrames += 1;
    }

    // While idle the ring holds the newest group of pictures (a file of any
    // kind begins with its key frame), and with a pre-roll the groups of the
    // seconds before.
    void keepPacket(const MediaPacket& packet) {
        const int seconds = std::min<int>(cfg.motionPrerollSeconds, kMaxPrerollSeconds);
        const bool preroll = seconds > 0 && motionEnabledWhileIdle();
        packets.push(packet, arrivalClock(), std::chrono::seconds(preroll ? seconds : 0));
    }

    // A new file begins with what the ring holds: a Motion file with its
    // pre-roll, any other with the newest group alone.
    void writePackets() {
        if (file_ != 0) {
            if (!(s.RecordKind & kMotion)) packets.keepNewestGroup();
            const auto span = packets.span();
            packets.drain([this](const MediaPacket& p) { appendPacket(p); });
            s.RecordSeconds += static_cast<uint32_t>((span.count() + 500) / 1000);
        }
        packets.clear();
    }

    // What cuts a file, at a key frame of a recording (before the key frame
    // is written, since it begins the next file).
    void cutAtKeyFrame(const MediaPacket& key) {
        if (file_ != 0 && key.tracks != fileTracks_) {
            // The camera's tracks changed: the same kind goes on in a new file.
            finishRecordingFile();
            continueInNewFile(key.tracks);
            return;
        }
        if (s.StopRequest) {
            finishRecordingFile();
            s.SpaceConfirmed = false;
            s.RecordKind = kNotRecording;
            s.StopRequest = false;
            host.recordingStateChanged(kNotRecording);
            s.AlarmMark = s.MotionTrigger = false;
            zeroCounters();
            s.ManualRequest = false;
            switchToMotion_ = false;
            return;
        }
        if (switchToMotion_) {
            switchToMotion_ = false;
            finishRecordingFile();
            if (s.RecordKind & kManual) s.ManualRequest = true;  // resumes after the Motion recording
            s.MotionTrigger = true;
            s.RecordKind = kMotion;
            s.AlarmMark = true;
            startAndStamp(key.tracks);
            return;
        }
        const TimeOfDay t = clock.now().timeOfDay();
        if ((s.RecordKind & kDaily) && dailyBlockEnded(s, t)) {
            finishRecordingFile();
            s.RecordKind = kNotRecording;
            host.recordingStateChanged(kNotRecording);
            return;
        }
        if (elapsedSeconds(s.RecordStartTime, t) > kFileSeconds) endAtFileLength();
    }

    void idlePacket(const MediaPacket& packet, const PixelView* decoded) {
        keepPacket(packet);
        if (!packet.isVideo()) return;
        const LocalDateTime now = clock.now();
        if (isDailyBlockDue(s, cfg.schedule, now)) {
            s.RecordKind = kDaily;
        } else if (decoded && motionEnabledWhileIdle() &&
                   motionStep(s, *decoded, cfg.motionSensitivity, s.MotionTrigger)) {
            s.MotionTrigger = true;
            s.RecordKind = kMotion;
            s.AlarmMark = true;
            host.raiseAlarm({});
        }
        if (s.ManualRequest && s.RecordKind == kNotRecording) {
            s.RecordKind = kManual;
            s.ManualRequest = false;
            s.StopRequest = false;
        }
        if (s.RecordKind == kNotRecording) return;
        s.StopRequest = false;  // as for pictures
        if (packets.empty()) {
            // No key frame since the stream began: the recording begins
            // with the next one.
            await_ = Await::Start;
            s.RecordStartTime = now.timeOfDay();
            host.recordingStateChanged(s.RecordKind);
            return;
        }
        startAndStamp(packet.tracks);
        writePackets();
    }

    void stepPacket(const MediaPacket& packet, const PixelView* decoded) {
        pollDiskEvents();
        if (rollPending_) {
            rollPending_ = false;
            if (s.RecordKind != kNotRecording) await_ = Await::Continue;
        }
        const bool key = packet.isVideo() && packet.key;
        const auto awaiting = [&] { return s.RecordKind != kNotRecording && file_ == 0 && await_ != Await::Nothing; };
        // Only a key frame can begin the file; what comes before it is lost.
        if (awaiting() && !key) return;
        if (s.RecordKind != kNotRecording && key) cutAtKeyFrame(packet);
        if (s.RecordKind == kNotRecording) await_ = Await::Nothing;
        if (awaiting()) {
            const Await what = await_;
            await_ = Await::Nothing;
            if (what == Await::Start) {
                startAndStamp(packet.tracks);
            } else {
                continueInNewFile(packet.tracks);
            }
        }
        if (s.RecordKind == kNotRecording) {
            idlePacket(packet, decoded);
            return;
        }
        if (!packet.isVideo()) {
            appendPacket(packet);
            return;
        }
        if (s.MotionTrigger) s.AlarmMark = true;
        appendPacket(packet);
        if (decoded && (s.RecordKind & (kManual | kDaily)) && motionEnabledWhileRecording() && !switchToMotion_ &&
            motionStep(s, *decoded, cfg.motionSensitivity, s.MotionTrigger)) {
            host.raiseAlarm({});
            switchToMotion_ = true;
        } else if (s.MotionTrigger) {
            s.MotionTrigger = false;
        }
    }

    void checkDiskAtStart() {
        if (freeMB() > kMinFreeMB) {
            s.StopRequest = false;
            s.BlockHandled = false;
            return;
        }
        s.StopRequest = true;
        const LocalDateTime now = clock.now();
        bool daily = false, motion = false;
        if (isDailyBlockDue(s, cfg.schedule, now)) {
            setBlockLatch(s, now.timeOfDay());
            daily = true;
        }
        if (motionEnabledWhileIdle()) {
            suspendMotion();
            motion = true;
        }
        host.recordingStateChanged(kNotRecording);
        host.showWarning(RecorderWarning::NoSpace, daily && motion ? kBothOff : daily ? kDailyStops : motion ? kMotionOff : kMakeRoom);
    }
};

Recorder::Recorder(CameraSettings& settings, const Clock& clock, RecorderHost& host, FreeSpaceQuery& freeSpace)
    : impl_(std::make_unique<Impl>(settings, clock, host, freeSpace)) {}

// What is queued is written first. A recording still open here was not
// ended by its owner; its partial file stays on disk and is completed at the
// next start.
Recorder::~Recorder() { impl_->disk.setEventNotifier(nullptr); }

void Recorder::requestManual() { impl_->s.ManualRequest = true; }

void Recorder::requestStop(const TimeOfDay& now) {
    impl_->s.StopRequest = true;
    if (impl_->s.RecordKind & kDaily) setBlockLatch(impl_->s, now);
}

void Recorder::clearRequests() { impl_->s.ManualRequest = impl_->s.StopRequest = false; }

void Recorder::forgetSpaceConfirmation() { impl_->s.SpaceConfirmed = false; }

void Recorder::resetMotion() { impl_->s.MotionPhase = 0; }

bool Recorder::motionReadsPictures() const {
    const RecordingSession& s = impl_->s;
    if (s.RecordKind == kNotRecording) return impl_->motionEnabledWhileIdle();
    return (s.RecordKind & kMotion) == 0 && impl_->motionEnabledWhileRecording();
}

void Recorder::clearBlockLatch() { impl_->s.BlockHandled = false; }

void Recorder::resetForStart() {
    impl_->preroll.clear();
    impl_->packets.clear();
    impl_->switchToMotion_ = false;
    impl_->await_ = Impl::Await::Nothing;
    RecordingSession& s = impl_->s;
    s.RecordKind = kNotRecording;
    s.MotionTrigger = false;
    s.MotionPhase = 0;
    s.ManualRequest = false;
    s.StopRequest = false;
    s.AlarmMark = false;
    s.BlockHandled = false;
}

void Recorder::countSecond() {
    if (impl_->s.RecordKind != kNotRecording) ++impl_->s.RecordSeconds;
}

const RecordingSession& Recorder::session() const { return impl_->s; }

RecordingSession& Recorder::session() { return impl_->s; }

void Recorder::setEventNotifier(std::function<void()> notify) { impl_->disk.setEventNotifier(std::move(notify)); }

void Recorder::step(const std::vector<uint8_t>& picture, const PixelView& decoded) { impl_->step(picture, decoded); }

void Recorder::stepPacket(const MediaPacket& packet, const PixelView* decoded) { impl_->stepPacket(packet, decoded); }

void Recorder::finishRecordingFile() { impl_->finishRecordingFile(); }

void Recorder::endFromOutside() {
    // The stream is broken off: what comes next does not follow on from
    // what was kept.
    impl_->preroll.clear();
    impl_->packets.clear();
    impl_->switchToMotion_ = false;
    impl_->await_ = Impl::Await::Nothing;
    if (impl_->s.RecordKind == kNotRecording) return;
    impl_->finishRecordingFile();
    impl_->s.RecordKind = kNotRecording;
}

uint32_t Recorder::freeSpaceMB() { return impl_->freeMB(); }


void Recorder::showFreeSpace() { impl_->showFreeSpace(); }

std::string Recorder::currentFileName() const { return impl_->fileName_; }

void Recorder::resumeMotion() {
    if (impl_->motionSuspended_) {
        impl_->motionSuspended_ = false;
        impl_->host.motionSuspended(false);
    }
}

void Recorder::checkDiskAtStart() { impl_->checkDiskAtStart(); }

void Recorder::recoverPartialFiles() { impl_->recoverPartialFiles(); }

int Recorder::recoveredFiles() const { return impl_->recovered_; }

void Recorder::applyRetention() { impl_->applyRetention(); }

void Recorder::pollDiskEvents() { impl_->pollDiskEvents(); }

void Recorder::settle() {
    impl_->disk.waitIdle();
    impl_->pollDiskEvents();
}

void Recorder::setArrivalClock(ArrivalClock clock) { impl_->arrivalClock = std::move(clock); }

size_t Recorder::prerollPictures() const { return impl_->preroll.size(); }

size_t Recorder::prerollBytes() const { return impl_->preroll.bytes(); }

int Recorder::prerollKeptSeconds() const { return impl_->prerollKept_; }

void Recorder::setDiskHooks(const DiskHooks& hooks) { impl_->disk.setHooks(hooks); }

void Recorder::setFileCutBytes(uint64_t bytes) { impl_->cutBytes_ = bytes; }

void Recorder::setDiskQueueCap(size_t bytes) { impl_->disk.setQueueCap(bytes); }

uint64_t Recorder::droppedPictures() const { return impl_->disk.droppedPictures(); }

}  // namespace ipcam

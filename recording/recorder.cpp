#include "recording/recorder.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "base/activity_log.h"
#include "detect/motion_detector.h"
#include "detect/week_schedule.h"
#include "recording/avi_writer.h"
#include "recording/disk_guard.h"

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

}  // namespace

struct Recorder::Impl {
    CameraSession& s;
    CameraSettings& cfg;
    const Clock& clock;
    RecorderHost& host;
    FreeSpaceQuery& freeSpace;

    PartialAviWriter writer;
    std::string dateFolder;  // AVI_Directory + "/" + date of the current file
    std::string timeText;    // start time of the current file, HHMMSS

    Impl(CameraSession& session, CameraSettings& settings, const Clock& c, RecorderHost& h, FreeSpaceQuery& f)
        : s(session), cfg(settings), clock(c), host(h), freeSpace(f) {}

    uint32_t freeMB() { return freeSpace.freeSpaceMB(cfg.aviDirectory); }
    void showFreeSpace() { host.setDiskSpace(ipcam::freeSpaceText(freeMB())); }

    void zeroCounters() { s.RecordFrames = s.RecordSeconds = s.PreviewFrames = s.PreviewSeconds = 0; }

    bool motionEnabledWhileIdle() const { return cfg.motionDetectionEnabled != 0; }
    bool motionEnabledWhileRecording() const { return cfg.motionDetectionEnabled == 1; }

    // Turns off what would start the next recording of the current kind.
    // Returns the giving-up warning for that kind.
    std::string switchOffCurrentKind() {
        if (s.RecordKind & kDaily) {
            setBlockLatch(s, clock.now().timeOfDay());
            return kDailyStops;
        }
        if (s.RecordKind & kMotion) {
            cfg.motionDetectionEnabled = 0;  // in memory only
            return kMotionOff;
        }
        return kManualStops;
    }

    // No room on the drive: stop, switch off the kind's trigger, go idle and
    // warn. Every state change comes before the (modal) warning.
    void giveUp(bool afterFinish) {
        s.StopRequest = true;
        host.startStatusTimer();
        const std::string text = switchOffCurrentKind();
        s.SpaceConfirmed = false;
        s.MotionTrigger = s.AlarmMark = false;
        zeroCounters();
        if (afterFinish) showFreeSpace();
        s.RecordKind = kNotRecording;
        host.refreshButtons(0);
        host.showWarning(text);
    }

    // The file cannot be written: never reported as saved. Go idle without
    // retrying at once (which would only bring the same warning back) and
    // name the file and the reason.
    void writeFailed(const std::string& file, const std::string& reason) {
        s.StopRequest = true;
        switchOffCurrentKind();
        s.ManualRequest = false;
        s.SpaceConfirmed = false;
        s.MotionTrigger = s.AlarmMark = false;
        zeroCounters();
        s.RecordKind = kNotRecording;
        host.refreshButtons(0);
        host.showWarning("The recording file " + file + " could not be written: " + reason);
    }

    // A recording that its owner dropped without finishing it (the window's
    // start sequence resets RecordKind) is saved under its final name before
    // the next one begins, instead of lying unfinished until the next run.
    void saveDroppedRecording() {
        if (!writer.isOpen()) return;
        std::string finalPath, error;
        if (::mkdir(dateFolder.c_str(), 0755) != 0 && errno != EEXIST) {
            writer.abandon();  // completed at the next start of the program
            return;
        }
        // A finish that fails leaves the partial file for the start-up
        // recovery; no box here, in the middle of starting the next file.
        writer.finish(dateFolder, timeText, writer.alarm(), s.RecordSeconds, writer.frames(), &finalPath, &error);
    }

    void startRecordingFile(const LocalDateTime& now) {
        saveDroppedRecording();
        showFreeSpace();
        if (!(freeMB() > kMinFreeMB || s.SpaceConfirmed)) {
            giveUp(false);
            return;
        }
        zeroCounters();
        dateFolder = cfg.aviDirectory + "/" + recordingDateText(now);
        timeText = recordingTimeText(now);
        if (cfg.aviDirectory.empty()) {
            writeFailed(dateFolder, "no recording directory is set");
            return;
        }
        if (::mkdir(dateFolder.c_str(), 0755) != 0 && errno != EEXIST) {
            writeFailed(dateFolder, std::strerror(errno));
            return;
        }
        std::string error;
        if (!writer.open(cfg.aviDirectory, now, cfg.resolution, s.AlarmMark, &error)) {
            writeFailed(writer.partialPath(), error);
            return;
        }
        host.refreshButtons(1);
    }

    // Starts a file and, when it started, stamps its start time.
    void startAndStamp() {
        startRecordingFile(clock.now());
        if (s.RecordKind != kNotRecording) {
            s.RecordStartTime = clock.now().timeOfDay();
            host.refreshButtons(1);
        }
    }

    // Returns false when the file could not be written (the recorder is then
    // idle and the user has been told).
    bool finishRecordingFile() {
        if (!writer.isOpen()) {
            s.AlarmMark = s.MotionTrigger = false;
            zeroCounters();
            return true;
        }
        const bool room = ensureFreeSpace();
        std::string finalPath, error;
        bool saved = ::mkdir(dateFolder.c_str(), 0755) == 0 || errno == EEXIST;
        if (!saved) {
            error = std::strerror(errno);
            finalPath = dateFolder;
            writer.abandon();  // the partial file stays, completed at the next start
        } else {
            if (cfg.motionDetectionEnabled) s.MotionPhase = 0;
            saved = writer.finish(dateFolder, timeText, s.AlarmMark, s.RecordSeconds, s.RecordFrames, &finalPath,
                                  &error);
            if (saved) qCInfo(lcRecording).noquote() << "Recording finished:" << QString::fromStdString(finalPath) << s.RecordFrames << "pictures," << s.RecordSeconds << "seconds," << recordingKindName(s.RecordKind, s.AlarmMark);
        }
        if (!room) {
            // The pictures already on disk are kept as a complete file.
            giveUp(true);
            if (!saved) host.showWarning("The recording file " + finalPath + " could not be written: " + error);
            return saved;
        }
        if (!saved) {
            writeFailed(finalPath, error);
            return false;
        }
        s.AlarmMark = s.MotionTrigger = false;
        zeroCounters();
        s.SpaceConfirmed = true;
        showFreeSpace();
        return true;
    }

    bool ensureFreeSpace() {
        bool ok = true;
        while (ok && freeMB() < kMinFreeMB) {
            const DeleteOutcome r = deleteOldestRecording(cfg.aviDirectory);
            ok = r == DeleteOutcome::DeletedFile || r == DeleteOutcome::RemovedFolder;
            showFreeSpace();
        }
        return ok;
    }

    bool appendPicture(const std::vector<uint8_t>& picture) {
        std::string error;
        if (!writer.setAlarm(s.AlarmMark, &error) || !writer.append(picture.data(), picture.size(), &error)) {
            const std::string file = writer.partialPath();
            // Keep what was written before the failure as a complete file.
            if (writer.isOpen()) {
                std::string finalPath, ignored;
                if (::mkdir(dateFolder.c_str(), 0755) == 0 || errno == EEXIST)
                    // Pictures gathered but not written are gone: count what the file holds.
                    writer.finish(dateFolder, timeText, s.AlarmMark, s.RecordSeconds, writer.frames(), &finalPath,
                                  &ignored);
                else
                    writer.abandon();
            }
            writeFailed(file, error);
            return false;
        }
        s.RecordFrames += 1;
        return true;
    }

    void step(const std::vector<uint8_t>& picture, const PixelView& decoded) {
        const LocalDateTime now = clock.now();
        if (s.RecordKind == kNotRecording) {
            if (isDailyBlockDue(s, cfg.schedule, now)) {
                s.RecordKind = kDaily;
            } else if (motionEnabledWhileIdle() && motionStep(s, decoded, cfg.motionSensitivity)) {
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
            // The picture that starts a recording is not written into it.
            if (s.RecordKind != kNotRecording) startAndStamp();
            return;
        }

        if (s.MotionTrigger) s.AlarmMark = true;
        if (!appendPicture(picture)) return;

        if (s.StopRequest) {
            finishRecordingFile();
            // A stop ends the run of files that follow one another without a
            // free-space test: the next start tests again.
            s.SpaceConfirmed = false;
            s.RecordKind = kNotRecording;
            s.StopRequest = false;
            host.refreshButtons(0);
            s.AlarmMark = s.MotionTrigger = false;
            zeroCounters();
            s.ManualRequest = false;
            return;
        }

        // Motion during a Manual or Daily recording switches to Motion.
        if ((s.RecordKind & (kManual | kDaily)) && motionEnabledWhileRecording() &&
            motionStep(s, decoded, cfg.motionSensitivity)) {
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
                host.refreshButtons(0);
            } else if (s.MotionTrigger) {
                s.MotionTrigger = false;
            }
        }

        if (s.RecordKind != kNotRecording && elapsedSeconds(s.RecordStartTime, t) > kFileSeconds) {
            finishRecordingFile();
            if (s.RecordKind & kMotion) {
                s.RecordKind = kNotRecording;
                s.AlarmMark = s.MotionTrigger = false;
                zeroCounters();
                host.refreshButtons(0);
            } else if (s.RecordKind & kDaily) {
                s.RecordKind = kNotRecording;
            } else if (s.RecordKind & kManual) {
                s.RecordKind = kNotRecording;
                s.ManualRequest = true;
            }
        }

        // A full index closes the file; the same kind goes on in the next.
        if (s.RecordKind != kNotRecording && writer.full()) {
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
        if (cfg.motionDetectionEnabled) {
            cfg.motionDetectionEnabled = 0;
            motion = true;
        }
        host.refreshButtons(0);
        host.showWarning(daily && motion ? kBothOff : daily ? kDailyStops : motion ? kMotionOff : kMakeRoom);
    }
};

Recorder::Recorder(CameraSession& session, CameraSettings& settings, const Clock& clock, RecorderHost& host,
                   FreeSpaceQuery& freeSpace)
    : impl_(std::make_unique<Impl>(session, settings, clock, host, freeSpace)) {}

// A recording still open here was not ended by its owner; its partial file
// stays on disk and is completed at the next start.
Recorder::~Recorder() = default;

void Recorder::step(const std::vector<uint8_t>& picture, const PixelView& decoded) { impl_->step(picture, decoded); }

void Recorder::finishRecordingFile() { impl_->finishRecordingFile(); }

void Recorder::endFromOutside() {
    if (impl_->s.RecordKind == kNotRecording) return;
    impl_->finishRecordingFile();
    impl_->s.RecordKind = kNotRecording;
}

uint32_t Recorder::freeSpaceMB() { return impl_->freeMB(); }

std::string Recorder::freeSpaceText() { return ipcam::freeSpaceText(impl_->freeMB()); }

void Recorder::showFreeSpace() { impl_->showFreeSpace(); }

void Recorder::checkDiskAtStart() { impl_->checkDiskAtStart(); }

int Recorder::recoverPartialFiles() { return recoverPartialRecordings(impl_->cfg.aviDirectory); }

}  // namespace ipcam

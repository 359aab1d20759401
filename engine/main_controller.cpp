#include "engine/main_controller.h"
#include "base/activity_log.h"

#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "camera/jpeg_encoder.h"
#include "camera/status_line.h"
#include "detect/week_schedule.h"

namespace ipcam {

namespace {

// A buffer's room is given back once it passes this, or four pictures' worth
// when that is more; the heap is trimmed when as much was given back.
constexpr size_t kSpareKeep = 1024 * 1024;

bool directoryExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

PixelView viewOf(const QImage& image) {
    if (image.isNull()) {
        return {};
    }
    return PixelView{reinterpret_cast<const uint32_t*>(image.constBits()), image.width(), image.height(),
                     static_cast<int>(image.bytesPerLine() / 4)};
}

// A whole JPEG: its start of image first, its end of image last.
bool isWholeJpeg(const std::vector<uint8_t>& p) {
    const size_t n = p.size();
    return n >= 4 && p[0] == 0xFF && p[1] == 0xD8 && p[n - 2] == 0xFF && p[n - 1] == 0xD9;
}

// The preview panel's picture area by the resolution setting (the main
// window's layout: 0 large, 2 small, else middle), which the decoded
// preview is to fill.
QSize previewArea(uint8_t resolution) {
    return resolution == 0 ? QSize(640, 480) : resolution == 2 ? QSize(160, 120) : QSize(320, 240);
}

// A picture decoded smaller than the preview it stands for (see
// JpegDecoder::decodeSamples): motion detection reads it in the preview's
// pixels.
PixelView sampledView(const QImage& image, QSize shown) {
    PixelView view = viewOf(image);
    if (view.pixels && shown.isValid() && shown != image.size()) {
        view.heldWidth = view.width;
        view.heldHeight = view.height;
        view.width = shown.width();
        view.height = shown.height();
    }
    return view;
}

}  // namespace

MainController::MainController(ControllerDeps deps)
    : deps_(std::move(deps)),
      host_(deps_.host),
      machine_(host_, static_cast<LinkMachine::Steps&>(*this)),
      recorder_(std::make_unique<Recorder>(settings_, deps_.clock, static_cast<RecorderHost&>(*this), deps_.freeSpace)) {}

MainController::~MainController() {
    previewSource_.reset();
    source_.reset();
}

// ---------------------------------------------------------------- state and events

void MainController::emitEvent(EngineCode code, const std::string& detail, int attempt) {
    EngineEvent e;
    e.code = code;
    e.detail = detail;
    e.attempt = attempt;
    host_.publishEvent(e);
}

void MainController::setLink(LinkState link, EngineCode problem, const std::string& detail) {
    // The program ending or suspending a link is not a loss.
    const bool lost = state_.link == LinkState::Up &&
                      (link == LinkState::Down || link == LinkState::Offline || link == LinkState::Refused);
    machine_.enter(link);
    state_.link = machine_.state();
    state_.problem = problem;
    state_.problemDetail = detail;
    if (link == LinkState::Connecting || link == LinkState::Offline) {
        state_.cameraHost = connectHost();
    }
    changed();
    if (lost) {
        EngineEvent e;
        e.code = EngineCode::LinkLost;
        e.cause = problem;
        e.detail = detail;
        host_.publishEvent(e);
    }
}

void MainController::setStatusNote(EngineState::StatusNote note, EngineCode problem, const std::string& detail) {
    state_.statusNote = note;
    state_.statusProblem = problem;
    state_.statusDetail = detail;
    changed();
}

void MainController::countersChanged(const std::optional<StatusCounters>& shown) {
    const RecordingSession& r = recorder_->session();
    state_.recordingPictures = r.RecordFrames;
    state_.recordingSeconds = r.RecordSeconds;
    state_.previewPictures = link_.PreviewFrames;
    state_.previewSeconds = link_.PreviewSeconds;
    if (shown) setStatusCounters(*shown);
    changed();
}

void MainController::setStatusCounters(const StatusCounters& shown) {
    state_.shownCounters = shown;
    state_.statusNote = EngineState::StatusNote::Counters;
    state_.statusProblem = EngineCode::None;
    state_.statusDetail.clear();
}

void MainController::refreshButtons(int mode) {
    state_.offer = mode == 1 ? Offer::Stop : mode == 2 ? Offer::Reconnect : Offer::Record;
    // While recording the settings stay as they are; otherwise they may change.
    state_.settingsAllowed = mode != 1;
    changed();
}

void MainController::allowSettings(bool allowed) {
    state_.settingsAllowed = allowed;
    changed();
}

void MainController::setWait(LinkWait wait) {
    state_.wait = wait;
    changed();
}

// A recording ended by the link, the settings or the program's end is
// written to its file; the state says so at once.
void MainController::endRecording() {
    recorder_->endFromOutside();
    if (state_.recordingKind != kNotRecording && recorder_->session().RecordKind == kNotRecording) {
        state_.recordingKind = kNotRecording;
        state_.recordingFile.clear();
        changed();
    }
}

void MainController::showFreeSpace() { setFreeSpace(recorder_->freeSpaceMB()); }

CameraSettings MainController::settingsCopy() const {
    CameraSettings copy = settings_;
    if (folderMissing_) copy.aviDirectory = configuredDirectory_;
    return copy;
}

// The one place the camera's kind is chosen: a source is made for the
// settings' address, and kept while it stays (an address keeps what a
// challenge taught and which transport worked).
CameraSource* MainController::source() const {
    if (!sourceMade_ || sourceUrl_ != settings_.cameraUrl) {
        source_.reset();
        sourceError_.clear();
        auto* self = const_cast<MainController*>(this);
        const SourceDeps deps{settings_, deps_.socket, deps_.startPage,
                              [self](std::function<void()> task) { self->host_.post(std::move(task)); },
                              [self] { return previewArea(self->settings_.resolution); },
                              [self] { return self->sourceDecoding(); },
                              [self] { return self->allocator_; }};
        source_ = makeCameraSource(deps, *self, &sourceError_);
        sourceUrl_ = settings_.cameraUrl;
        sourceMade_ = true;
    }
    return source_.get();
}

std::string MainController::connectHost() const {
    const CameraSource* camera = source();
    return camera ? camera->host() : std::string();
}

// For the log: never with a password.
std::string MainController::endpoint() const {
    const CameraSource* camera = source();
    return camera ? camera->endpoint() : std::string("(no valid camera address)");
}

// A camera that is not pinged (a standard one: many answer no ICMP, and its
// answer tells whether it is there) leaves the ping worker suspended; the
// legacy host field may still hold another address, which must not be
// pinged either.
void MainController::restartPing() {
    const CameraSource* camera = source();
    if (camera && camera->pinged()) {
        deps_.ping.restart();
    } else {
        deps_.ping.suspend();
    }
}

// The camera is there: its name goes to the link line, the record and the
// mailer.
void MainController::cameraAnswered(const std::string& title) {
    deps_.shared.setCameraTitle(title);
    state_.cameraTitle = title;
    setLink(LinkState::Opening);
    settings_.descriptor = title;
    publishSettings();
    showFreeSpace();
}

void MainController::showPleaseWait() { setWait(LinkWait::Waiting); }

// ---------------------------------------------------------------- settings

void MainController::loadSettings() {
    // A file that is there but cannot be read is an error, not an empty file.
    deps_.store.loadStrict(settings_, 0);
    publishSettings();
}

void MainController::publishSettings() {
    deps_.shared.publishSettings(settings_);
}

// A missing recording folder is mostly a disk not mounted yet or unplugged:
// the settings keep it, the recordings go into the fallback folder meanwhile,
// the folder is looked for again until it is there, and front ends are told
// (the window asks whether to use the fallback folder for good).
void MainController::useRecordingFolder() {
    configuredDirectory_ = settings_.aviDirectory;
    if (configuredDirectory_.empty()) {
        // None set: nothing to wait for.
        folderMissing_ = false;
        host_.stopTimer(TimerId::FolderCheck);
        settings_.aviDirectory = deps_.fallbackDirectory;  // in memory only
        publishSettings();
        qCWarning(lcRecording).noquote() << "No recording folder is set: recording into"
                                         << QString::fromStdString(deps_.fallbackDirectory);
        setFolder({});
        emitEvent(EngineCode::FolderMissing);
        return;
    }
    if (directoryExists(configuredDirectory_)) {
        host_.stopTimer(TimerId::FolderCheck);
        folderMissing_ = false;
        setFolder({});
        return;
    }
    settings_.aviDirectory = deps_.fallbackDirectory;  // in memory only
    publishSettings();
    if (folderMissing_ && state_.folder.missing == configuredDirectory_) {
        return;  // said already; still looked for
    }
    folderMissing_ = true;
    qCWarning(lcRecording).noquote() << "The recording folder" << QString::fromStdString(configuredDirectory_)
                                     << "is not available: recording into"
                                     << QString::fromStdString(deps_.fallbackDirectory)
                                     << "until it is there (looked for every" << kDirectoryCheckMs / 1000
                                     << "seconds)";
    setFolder(configuredDirectory_);
    emitEvent(EngineCode::FolderMissing, configuredDirectory_);
    host_.startTimer(TimerId::FolderCheck, kDirectoryCheckMs);
}

void MainController::setFolder(const std::string& missing) {
    state_.folder = FolderState{settings_.aviDirectory, missing};
    changed();
}

void MainController::folderCheck() {
    if (!folderMissing_) {
        host_.stopTimer(TimerId::FolderCheck);
        return;
    }
    if (!directoryExists(configuredDirectory_)) {
        return;
    }
    host_.stopTimer(TimerId::FolderCheck);
    folderMissing_ = false;
    // A recording in progress finishes in the fallback folder; the next
    // file goes here.
    settings_.aviDirectory = configuredDirectory_;
    publishSettings();
    qCInfo(lcRecording).noquote() << "The recording folder" << QString::fromStdString(configuredDirectory_)
                                  << "is there again: the next recording goes there";
    setFolder({});
    emitEvent(EngineCode::FolderBack, configuredDirectory_);
    // A disk that comes back may hold a recording a power cut interrupted.
    recorder_->recoverPartialFiles();
    showFreeSpace();
}

// ---------------------------------------------------------------- commands

void MainController::armAlarmMail() { deps_.shared.alarmEmailArmed = true; }

void MainController::start() {
    started_ = true;
    suspended_ = false;
    armAlarmMail();
    allowSettings(false);
    if (!deps_.store.exists()) {
        refreshButtons(0);
        allowSettings(false);
        settings_ = CameraSettings{};  // first-run values go onto an empty record
        applyFirstRunDefaults(settings_, deps_.fallbackDirectory);
        deps_.store.save(settings_, 0);
        emitEvent(EngineCode::FirstRun);
    }
    machine_.cancel();
    host_.stopTimer(TimerId::StatusTick);
    machine_.unwatch();
    machine_.setQuiet(false);
    logLinkClosed("the start sequence runs again");
    endRecording();  // a running recording is written, not dropped
    setLinkUp(false);
    recorder_->resetForStart();
    machine_.rewind();
    refreshButtons(0);
    allowSettings(false);
    loadSettings();
    recorder_->resumeMotion();
    state_.resolution = settings_.resolution;
    useRecordingFolder();
    // After the settings are read: whether the camera is pinged at all, and
    // which host, is in them.
    deps_.shared.cameraReachable = false;
    restartPing();
    if (!partialFilesChecked_) {
        // Recordings a crash left unfinished become valid files first.
        partialFilesChecked_ = true;
        recorder_->recoverPartialFiles();
    }
    recorder_->checkDiskAtStart();
    setStatusNote(EngineState::StatusNote::Empty);
    machine_.resetAttempts();
    state_.connectAttempt = 0;
    showPleaseWait();
    setLink(LinkState::Connecting);
    refreshButtons(0);
    allowSettings(false);
    showFreeSpace();
    machine_.schedule(LinkStep::Connect, ReconnectPolicy::kStepMs);
}

void MainController::record() {
    if (link_.LinkUp) {
        recorder_->requestManual();
        refreshButtons(1);
        host_.startTimer(TimerId::StatusTick, 1000);
    }
}

void MainController::stop() {
    const TimeOfDay now = deps_.clock.now().timeOfDay();
    if (link_.LinkUp) {
        // A Daily recording stopped by hand latches its block.
        recorder_->requestStop(now);
        refreshButtons(0);
        host_.startTimer(TimerId::StatusTick, 1000);
    }
    resetPreviewCounters();
    recorder_->forgetSpaceConfirmation();
}

void MainController::reconnect() {
    if (suspended_) {
        return;
    }
    if (machine_.pending() == LinkStep::OfflineRetry) {
        machine_.cancel();
    }
    machine_.setQuiet(false);
    deps_.shared.cameraReachable = false;
    restartPing();
    setLink(LinkState::Connecting);
    setStatusNote(EngineState::StatusNote::Reconnecting);
    refreshButtons(0);
    allowSettings(false);
    machine_.resetAttempts();
    state_.connectAttempt = 0;
    showPleaseWait();
    resetPreviewCounters();
    // Pressed again before its attempt: the attempt keeps its time.
    machine_.schedule(LinkStep::Rebuild, ReconnectPolicy::kStepMs);
}

void MainController::suspend() {
    if (suspended_) {
        return;
    }
    suspended_ = true;
    resumeAfterRefusal_ = state_.link == LinkState::Refused;
    // Nothing may connect with the old settings meanwhile: no attempt is
    // due, also none the off-line retry scheduled.
    machine_.cancel();
    host_.stopTimer(TimerId::StatusTick);
    machine_.setQuiet(false);
    recorder_->forgetSpaceConfirmation();
    if (resumeAfterRefusal_) {
        // The refused connection is closed already; the watchdog keeps
        // counting as it did while the dialog after a refusal was open.
        return;
    }
    machine_.unwatch();
    logLinkClosed("for the setup dialog");
    closeLink();
    endRecording();
    setLinkUp(false);
    setWait(LinkWait::None);
    setLink(LinkState::Stopped);
    refreshButtons(0);
    allowSettings(false);
}

void MainController::resume() {
    if (!suspended_) {
        return;
    }
    suspended_ = false;
    // Alarm e-mails may go again after the settings were looked at.
    armAlarmMail();
    publishSettings();
    if (resumeAfterRefusal_) {
        retryAfterRefusal();
    } else {
        connectAfterSettings();
    }
}

void MainController::connectAfterSettings() {
    recorder_->resetMotion();
    if (folderMissing_) {
        settings_.aviDirectory = configuredDirectory_;
    }
    useRecordingFolder();
    recorder_->checkDiskAtStart();
    deps_.shared.cameraReachable = false;
    restartPing();
    recorder_->clearBlockLatch();
    setLink(LinkState::Connecting);
    showFreeSpace();
    machine_.resetAttempts();
    state_.connectAttempt = 0;
    showPleaseWait();
    machine_.schedule(LinkStep::AfterSettings, ReconnectPolicy::kStepMs);
}

namespace {

// What the camera is connected with: a change builds the link anew.
bool sameLink(const CameraSettings& a, const CameraSettings& b) {
    return a.hostAddress == b.hostAddress && a.hostPort == b.hostPort && a.cameraPassword == b.cameraPassword &&
           a.cameraUrl == b.cameraUrl && a.previewUrl == b.previewUrl && a.resolution == b.resolution &&
           a.frequency == b.frequency && a.quality == b.quality && a.brightness == b.brightness &&
           a.orientation == b.orientation;
}

}  // namespace

std::optional<SettingsProblem> MainController::applySettings(const CameraSettings& record, bool save) {
    if (auto problem = validateSettings(record)) {
        return problem;
    }
    const CameraSettings before = settingsCopy();
    if (save) {
        deps_.store.save(record, 0);  // throws SettingsWriteError: nothing changed
    }
    settings_ = record;
    state_.resolution = settings_.resolution;
    // Motion detection switched off for lack of space may run again.
    recorder_->resumeMotion();
    recorder_->resetMotion();
    publishSettings();
    if (!started_ || suspended_) {
        changed();
        return std::nullopt;
    }
    if (!sameLink(before, record)) {
        suspend();
        resume();
        return std::nullopt;
    }
    useRecordingFolder();
    showFreeSpace();
    return std::nullopt;
}

void MainController::close() {
    machine_.cancel();
    host_.stopTimer(TimerId::StatusTick);
    machine_.unwatch();
    recorder_->endFromOutside();
    recorder_->settle();  // the recording reaches its file before the program ends
    logLinkClosed("the program ends");
    closeLink();
    setLink(LinkState::Stopped);
}

// ---------------------------------------------------------------- what the camera source reports

void MainController::sourceConnected(const SourceConnected& connected) {
    if (connected.accepted) {
        logLinkUp();
        if (!connected.transport.empty()) {
            qCInfo(lcLink).noquote() << QString::fromStdString(connected.transport);
        }
    } else {
        // The camera has not answered yet: "Link up" waits for its first picture.
        qCDebug(lcLink).noquote() << "Connected to" << QString::fromStdString(endpoint());
    }
    notShownSaid_ = false;
    setLinkUp(true);
    resetPreviewCounters();
    host_.startTimer(TimerId::StatusTick, 1000);
    machine_.watch();
    refreshButtons(0);
    recorder_->resetMotion();
}

void MainController::sourcePicture(std::vector<uint8_t>& picture) { pictureStart(picture); }

// A picture is complete: show it and hand it to the recorder.
void MainController::pictureStart(std::vector<uint8_t>& picture) {
    link_.PasswordFailures = 0;
    state_.refusals = 0;
    machine_.rewind();
    // A standard camera's picture is recorded whenever it is a whole JPEG,
    // FF D8 to FF D9, also one the preview cannot show (too large for it, or
    // broken inside); the legacy camera's only when it decodes.
    const bool whole = source_ && source_->recordsUndecodable() && isWholeJpeg(picture);
    bool decoded = false;
    bool shown = false;
    bool undecoded = false;  // taken without decoding: nothing needed its pixels
    PixelView view;
    if (!picture.empty()) {
        // A picture that is not shown leaves the preview at the last good
        // picture. The preview is decoded only as large as the panel shows
        // it; the recorder gets the bytes. While nobody looks at it, only
        // what motion detection reads is decoded (and the legacy camera's
        // picture, which is recorded only once it decodes), else nothing.
        const QSize area = previewArea(settings_.resolution);
        const bool attempted = !source_->recordsUndecodable() ||
                               (!previewStream_ && (previewWanted_ || recorder_->motionReadsPictures()));
        if (previewStream_) {
            // The preview stream is shown and watched: this picture is only
            // recorded (the legacy camera's once it decodes).
            decoded = attempted && decoder_.decodeSamples(picture.data(), picture.size(), mainChecked_, area.width(),
                                                          area.height(), nullptr);
        } else if (previewWanted_) {
            shown = decoded = decoder_.decode(picture.data(), picture.size(), preview_, area.width(), area.height());
            view = decoded ? viewOf(preview_) : PixelView{};
        } else if (attempted) {
            decoded = decoder_.decodeSamples(picture.data(), picture.size(), samples_, area.width(), area.height(),
                                             &samplesShown_);
            view = decoded ? sampledView(samples_, samplesShown_) : PixelView{};
        }
        undecoded = !attempted;
        if (attempted && !decoded && whole && !notShownSaid_) {
            notShownSaid_ = true;
            qCWarning(lcLink).noquote() << "A picture from the camera cannot be shown, it is recorded all the same:"
                                        << QString::fromStdString(decoder_.refusal());
        }
        if (decoded || whole) {
            link_.FrameBuffer.swap(picture);
            host_.publishPicture(link_.FrameBuffer);
        }
    }
    if (decoded || whole) {
        if (!linkLogged_) {
            logLinkUp();
        }
        if (decoded || undecoded) {
            pictureDecoded_ = true;
        }
        if (shown) {
            host_.previewChanged();
        }
        // Motion detection gets nothing from a picture that did not decode.
        if (previewStream_) view = takePreviewStreamView();
        recorder_->step(link_.FrameBuffer, view);
    }
    ++link_.PreviewFrames;
    countersChanged(pictureStatus(statusCounters()));
}

// A coded-video packet: a new decoded picture is shown, the packet goes to
// the recorder, and every picture feeds the watchdog as a JPEG one does.
void MainController::sourcePacket(MediaPacket& packet, QImage& picture, QSize shown) {
    if (!link_.LinkUp) {
        return;
    }
    link_.PasswordFailures = 0;
    state_.refusals = 0;
    machine_.rewind();
    PixelView view;
    const PixelView* decoded = nullptr;
    if (previewStream_) {
        // Shown and watched is the preview stream's picture.
        view = takePreviewStreamView();
        if (view.pixels) decoded = &view;
    } else if (!picture.isNull() && shown.isValid()) {
        // Scaled for motion detection alone: the preview stays as it was.
        samples_.swap(picture);
        samplesShown_ = shown;
        view = sampledView(samples_, samplesShown_);
        decoded = &view;
    } else if (!picture.isNull()) {
        showCoded(picture);
        view = viewOf(preview_);
        decoded = &view;
        host_.previewChanged();
    }
    if (!previewStream_) liveVideoPacket(packet);
    recorder_->stepPacket(packet, decoded);
    if (source_) source_->setDecoding(sourceDecoding());
    if (packet.isVideo()) {
        ++link_.PreviewFrames;
        countersChanged(pictureStatus(statusCounters()));
    }
}

// What a coded camera's pictures are decoded for: the preview while it is
// shown; else the small picture motion detection reads, or the preview's
// when an alarm snapshot is made from it; nothing while neither needs one.
SourceDecoding MainController::sourceDecoding() const {
    return previewStream_ ? SourceDecoding::Nothing : previewDecoding();
}

SourceDecoding MainController::previewDecoding() const {
    if (previewWanted_) return SourceDecoding::Preview;
    if (!recorder_->motionReadsPictures()) return SourceDecoding::Nothing;
    return settings_.alarmEmailEnabled ? SourceDecoding::Preview : SourceDecoding::Samples;
}

void MainController::setPreviewWanted(bool wanted) {
    if (wanted == previewWanted_) return;
    previewWanted_ = wanted;
    // The next pictures are decoded at another scale: motion detection
    // compares like with like from a new reference.
    recorder_->resetMotion();
    if (wanted) {
        samples_ = QImage();
    }
    if (source_) source_->setDecoding(sourceDecoding());
    if (previewSource_) previewSource_->setDecoding(previewDecoding());
}

// A read of a byte-stream camera was handled: its drops are counted, and
// once pictures come through, spare buffer room is given back.
void MainController::sourceRead(const CameraStream::Drops& drops) {
    countStreamDrops(drops);
    if (pictureDecoded_) {
        pictureDecoded_ = false;
        releaseSpareBuffers();
    }
}

void MainController::sourceStopped(const SourceStopped& stopped) {
    switch (stopped.code) {
        case SourceStop::Refused:
            wrongPassword(stopped.detail);
            return;
        case SourceStop::NotAStream:
            streamFailed(stopped.detail);
            return;
        case SourceStop::ConnectFailed:
        case SourceStop::Broke:
        case SourceStop::NoAnswer:
            linkLost(stopped);
            return;
    }
}

// The connection ended or could not be made: the next attempt comes as the
// policy says (a loud one: the attempt's steps apply in full).
void MainController::linkLost(const SourceStopped& stopped) {
    const ReconnectPolicy::Next next = ReconnectPolicy::afterLoss(
        stopped.code, source_ && source_->pinged(), link_.LinkUp && link_.PreviewSeconds >= 1);
    logLinkEnd(stopped.lost, stopped.failed);
    retryReason_ = next.why;
    machine_.setQuiet(false);
    recorder_->endFromOutside();
    setLinkUp(false);
    setLink(LinkState::Down, EngineCode::ConnectFailed, stopped.detail);
    setStatusNote(EngineState::StatusNote::Problem, EngineCode::ConnectFailed);
    refreshButtons(2);
    deps_.shared.cameraReachable = false;
    restartPing();
    host_.stopTimer(TimerId::StatusTick);
    machine_.unwatch();
    closeLink();
    machine_.resetAttempts();
    showPleaseWait();
    machine_.schedule(LinkStep::Connect, next.delayMs);
}

void MainController::wrongPassword(const std::string& message) {
    logLinkEnd("the camera rejected the password", "Camera " + endpoint() + " rejected the password");
    stopPreviewStream();  // no preview while the link is refused
    // Every state change first; whoever shows the refusal does it once this
    // read has returned, so the socket is never held up by it.
    host_.stopTimer(TimerId::StatusTick);
    machine_.unwatch();
    ++link_.PasswordFailures;
    state_.refusals = link_.PasswordFailures;
    refreshButtons(0);
    setLink(LinkState::Refused, EngineCode::SignInRefused, message);
    machine_.cancel();
    emitEvent(EngineCode::SignInRefused, message, link_.PasswordFailures);
    // The same settings are tried again at the usual pace, unless a front
    // end suspends the link meanwhile (to ask for other settings).
    host_.post([this] {
        if (!suspended_ && state_.link == LinkState::Refused) {
            retryAfterRefusal();
        }
    });
}

void MainController::retryAfterRefusal() {
    // A camera that hangs up after a rejection may have scheduled the next
    // attempt meanwhile: this one comes first.
    machine_.cancel();
    recorder_->resetMotion();
    restartPing();
    machine_.resetAttempts();
    state_.connectAttempt = 0;
    showPleaseWait();
    allowSettings(true);
    machine_.schedule(LinkStep::Connect, ReconnectPolicy::kStepMs);
    host_.stopTimer(TimerId::StatusTick);
    machine_.watch();
}

// Something that is no picture stream came back: say what, and try again
// later as for a camera that is off-line.
void MainController::streamFailed(const std::string& text) {
    logLinkEnd(text, "Camera off-line: " + text);
    endRecording();
    setLinkUp(false);
    setLink(LinkState::Down, EngineCode::NotAStream, text);
    setStatusNote(EngineState::StatusNote::Problem, EngineCode::NotAStream, text);
    refreshButtons(2);
    host_.stopTimer(TimerId::StatusTick);
    machine_.unwatch();
    closeLink();
    enterOffline();
}

void MainController::setLinkUp(bool up) {
    const bool changed = link_.LinkUp != up;
    link_.LinkUp = up;
    if (changed && up) {
        setLink(LinkState::Up);
    }
    if (!up) endLiveVideo();
}

void MainController::liveVideoPacket(const MediaPacket& packet) {
    if (!packet.isVideo()) return;
    if (state_.liveVideo != packet.tracks) {
        state_.liveVideo = packet.tracks;
        changed();
    }
    host_.publishVideo(packet);
}

void MainController::endLiveVideo() {
    if (!state_.liveVideo) return;
    state_.liveVideo.reset();
    changed();
}

StatusCounters MainController::statusCounters() const {
    const RecordingSession& r = recorder_->session();
    return StatusCounters{r.RecordKind, r.RecordFrames, r.RecordSeconds, link_.PreviewFrames, link_.PreviewSeconds};
}

// ---------------------------------------------------------------- the link

void MainController::openLink() {
    connectionEnded_ = false;
    if (CameraSource* camera = source()) {
        startPreviewStream();
        camera->start();
    }
}

void MainController::closeLink() {
    stopPreviewStream();
    if (source_) {
        source_->stop();
    }
}

// ---------------------------------------------------------------- the preview stream

// Made through the same factory as the main source, for the preview's
// address (kept while it stays), and started with each connection.
void MainController::startPreviewStream() {
    stopPreviewStream();
    endLiveVideo();
    if (settings_.previewUrl.empty()) {
        previewSource_.reset();
        return;
    }
    if (!previewSource_ || previewSourceUrl_ != settings_.previewUrl) {
        previewSource_.reset();
        previewSettings_ = CameraSettings{};
        previewSettings_.cameraUrl = previewSourceUrl_ = settings_.previewUrl;
        std::string error;
        if (deps_.previewSocket) {
            const SourceDeps deps{previewSettings_, *deps_.previewSocket, deps_.startPage,
                                  [this](std::function<void()> task) { host_.post(std::move(task)); },
                                  [this] { return previewArea(settings_.resolution); },
                                  [this] { return previewDecoding(); },
                                  [this] { return allocator_; }};
            previewSource_ = makeCameraSource(deps, previewListener_, &error);
        } else {
            error = "no connection for it";
        }
        if (!previewSource_) {
            previewStreamFailed(error);
            return;
        }
    }
    previewStream_ = true;
    previewFresh_ = false;
    previewQuietSeconds_ = -1;
    if (source_) source_->setDecoding(sourceDecoding());
    previewSource_->start();
}

void MainController::stopPreviewStream() {
    if (previewSource_) previewSource_->stop();
    previewStream_ = previewFresh_ = false;
}

// A picture of the preview stream: shown (decoded to fill the preview) or,
// while nobody looks, decoded as far as motion detection reads it.
void MainController::previewStreamPicture(std::vector<uint8_t>* jpeg, QImage* picture, QSize shown) {
    if (!previewStream_ || !link_.LinkUp) return;
    previewQuietSeconds_ = 0;
    if (std::exchange(previewFailureSaid_, false)) {
        qCInfo(lcLink).noquote() << "The preview comes from the preview stream again";
    }
    if (jpeg) {
        const QSize area = previewArea(settings_.resolution);
        if (previewWanted_) {
            if (!decoder_.decode(jpeg->data(), jpeg->size(), preview_, area.width(), area.height())) return;
            previewSampled_ = false;
            host_.previewChanged();
        } else if (recorder_->motionReadsPictures()) {
            if (!decoder_.decodeSamples(jpeg->data(), jpeg->size(), samples_, area.width(), area.height(),
                                        &samplesShown_))
                return;
            previewSampled_ = true;
        } else {
            return;
        }
    } else if (picture && !picture->isNull()) {
        if (shown.isValid()) {
            samples_.swap(*picture);
            samplesShown_ = shown;
            previewSampled_ = true;
        } else {
            showCoded(*picture);
            previewSampled_ = false;
            host_.previewChanged();
        }
    } else {
        return;
    }
    previewFresh_ = true;
}

void MainController::showCoded(QImage& picture) { preview_.swap(picture); }

PixelView MainController::takePreviewStreamView() {
    if (!std::exchange(previewFresh_, false)) return {};
    return previewSampled_ ? sampledView(samples_, samplesShown_) : viewOf(preview_);
}

// The preview stream stopped (or could not be made): the main stream is
// the preview's again at once, decoded as it is without one; the stream is
// tried again at the link's next connection.
void MainController::previewStreamFailed(const std::string& detail) {
    const bool wasShown = previewStream_;
    stopPreviewStream();
    if (!previewFailureSaid_) {
        previewFailureSaid_ = true;
        const std::string where = previewSource_ ? " " + previewSource_->endpoint() : std::string();
        std::string why = detail;
        if (!why.empty() && why.back() == '.') why.pop_back();
        qCWarning(lcLink).noquote() << QString::fromStdString("The preview stream" + where + " failed: " + why +
                                                              "; the preview comes from the main stream");
    }
    if (wasShown) {
        // Another stream's pictures: motion detection starts from a new reference.
        recorder_->resetMotion();
        endLiveVideo();
        if (source_) source_->setDecoding(sourceDecoding());
    }
}

// ---------------------------------------------------------------- timers

void MainController::statusTick() {
    ++link_.PreviewSeconds;
    // A preview stream that went silent is given up as one that failed (an
    // RTSP one's reader also gives up a camera that never sends).
    if (previewStream_ && previewQuietSeconds_ >= 0 && ++previewQuietSeconds_ > kPreviewSilenceSeconds) {
        previewStreamFailed("no picture for " + std::to_string(kPreviewSilenceSeconds) + " seconds");
    }
    recorder_->countSecond();
    countDiskDrops();
    const int64_t now = nowSeconds();
    for (DropReport* r : {&oversizedParts_, &longHeaders_, &noBoundary_, &noPicture_, &diskDrops_}) {
        r->tick(now);
    }
    countersChanged(tickStatus(statusCounters()));
}

// The scheduled attempt: the camera pinged (when it is), probed, and
// connected. Each kind of step resets its own part first.
void MainController::linkStep(LinkStep step) {
    if (step == LinkStep::OfflineRetry) {
        offlineRetry();
        return;
    }
    if (step == LinkStep::Connect) {
        // A recording still running here is written, not dropped.
        endRecording();
        setLinkUp(false);
        recorder_->clearRequests();
        machine_.rewind();
    } else if (step == LinkStep::Rebuild) {
        recorder_->clearRequests();
        machine_.rewind();
    }
    state_.connectAttempt = machine_.countAttempt();
    // The off-line retry leaves the off-line buttons as they are: Settings
    // stays usable while the camera is away.
    if (!machine_.quiet()) {
        allowSettings(false);
    }

    if (ReconnectPolicy::givesUp(machine_.attempts())) {
        deps_.ping.suspend();
        deps_.shared.cameraReachable = false;
        machine_.cancel();
        setWait(LinkWait::GaveUp);
        logNoLink("Camera off-line: not reachable by ping, gave up after 3 attempts: " + settings_.hostAddress);
        setLink(LinkState::Offline, EngineCode::GaveUp);
        refreshButtons(2);
        if (step != LinkStep::AfterSettings) {
            machine_.unwatch();
        }
        enterOffline();
        return;
    }
    CameraSource* camera = source();
    bool reachable = false;
    if (!camera) {
        logNoLink("Camera off-line: the camera address is not usable: " + sourceError_);
        setLink(LinkState::Offline, EngineCode::AddressUnusable, sourceError_);
        refreshButtons(2);
    } else {
        if (camera->pinged()) {
            if (!deps_.shared.cameraReachable) {
                return;  // the step comes again
            }
            deps_.ping.suspend();
            deps_.shared.cameraReachable = false;
        }
        std::string why;
        if (const auto title = camera->probe(&why)) {
            cameraAnswered(*title);
            reachable = true;
        } else {
            logNoLink("Camera off-line: " + why);
            setLink(LinkState::Offline, EngineCode::CameraOffline);
            refreshButtons(2);
        }
    }
    machine_.cancel();
    if (step == LinkStep::Connect || step == LinkStep::Rebuild) {
        machine_.unwatch();
    }
    // Said below once, and not true for a later attempt.
    const char* retryReason = step == LinkStep::Connect ? std::exchange(retryReason_, nullptr) : nullptr;
    if (reachable && !camera->host().empty()) {
        if (camera->running()) {
            logLinkClosed("rebuilt");
            closeLink();
        }
        // The first attempt is said; while the camera keeps failing for a
        // reason already said, the retries are debug lines.
        const char* why = retryReason                       ? retryReason
                          : step == LinkStep::Connect        ? "(start-up or after a socket error)"
                          : step == LinkStep::Rebuild ? "(link rebuilt after Reload or the link watchdog)"
                                                      : "(after the setup dialog)";
        if (reasonsSaid_.empty()) {
            qCInfo(lcLink).noquote() << "Connecting to" << QString::fromStdString(endpoint()) << why;
        } else {
            qCDebug(lcLink).noquote() << "Connecting to" << QString::fromStdString(endpoint()) << why;
        }
        // The off-line retry's attempt has found the camera: from here on
        // the link's steps are the usual ones.
        machine_.setQuiet(false);
        openLink();
    }
    setWait(LinkWait::None);
    // After a failed probe the off-line buttons stay, so that Reload is
    // there to try again.
    if (step == LinkStep::Rebuild && reachable) {
        refreshButtons(0);
    }
    if (!reachable) {
        enterOffline();
    }
}

// Off-line is not the end: a camera that reboots or loses power for a while
// is tried again by itself, so that an unattended recorder records again
// once it is back.
void MainController::enterOffline() {
    machine_.setQuiet(false);
    machine_.schedule(LinkStep::OfflineRetry, ReconnectPolicy::kOfflineRetryMs);
}

// The Reload button's retry without its texts and blinking: the off-line
// texts and buttons stay until the camera answers.
void MainController::offlineRetry() {
    machine_.cancel();
    if (link_.LinkUp) {
        return;
    }
    deps_.shared.cameraReachable = false;
    restartPing();
    machine_.resetAttempts();
    machine_.setQuiet(true);
    machine_.schedule(LinkStep::Rebuild, ReconnectPolicy::kStepMs);
}

// No picture for 60 seconds: the link is lost.
void MainController::linkWatchdogExpired() {
    // A whole picture still collected is the connection's last one.
    if (source_) {
        source_->end();
    }
    logLinkEnd("no picture for 60 seconds from " + connectHost(),
               "Camera " + endpoint() + " sent no picture for 60 seconds after connecting");
    machine_.setQuiet(false);
    deps_.shared.cameraReachable = false;
    restartPing();
    endRecording();
    showFreeSpace();
    setLinkUp(false);
    setLink(LinkState::Down, EngineCode::NoPictures);
    setStatusNote(EngineState::StatusNote::Problem, EngineCode::NoPictures);
    refreshButtons(2);
    host_.stopTimer(TimerId::StatusTick);
    machine_.unwatch();
    closeLink();
    machine_.resetAttempts();
    showPleaseWait();
    resetPreviewCounters();
    machine_.schedule(LinkStep::Rebuild, ReconnectPolicy::kStepMs);
}

// ---------------------------------------------------------------- the link's log

void MainController::logLinkUp() {
    linkLogged_ = true;
    reasonsSaid_.clear();
    qCInfo(lcLink).noquote() << "Link up:" << QString::fromStdString(endpoint());
}

void MainController::logLinkEnd(const std::string& lost, const std::string& failed) {
    if (connectionEnded_) {
        // Its end was said already (a refusal, a hang-up after it).
        qCDebug(lcLink).noquote() << "Connection ended:" << QString::fromStdString(linkLogged_ ? lost : failed);
        return;
    }
    connectionEnded_ = true;
    if (!linkLogged_) {
        logNoLink(failed);
        return;
    }
    linkLogged_ = false;
    qCWarning(lcLink).noquote() << "Link lost:" << QString::fromStdString(lost);
}

void MainController::logNoLink(const std::string& reason) {
    if (std::find(reasonsSaid_.begin(), reasonsSaid_.end(), reason) != reasonsSaid_.end()) {
        qCDebug(lcLink).noquote() << "Still no link:" << QString::fromStdString(reason);
        return;
    }
    if (reasonsSaid_.size() >= 16) {
        reasonsSaid_.erase(reasonsSaid_.begin());
    }
    reasonsSaid_.push_back(reason);
    qCWarning(lcLink).noquote() << QString::fromStdString(reason) << "(repeats are logged at debug level)";
}

// The program ends a link that was up: not a loss.
void MainController::logLinkClosed(const char* why) {
    if (!linkLogged_) {
        return;
    }
    linkLogged_ = false;
    connectionEnded_ = true;
    qCInfo(lcLink).noquote() << "Link closed:" << why;
}

// ---------------------------------------------------------------- drops and buffers

// Seconds on the calendar (days from 1970-01-01 by the civil calendar), for
// the once-a-minute rule of the drop reports.
int64_t MainController::nowSeconds() const {
    const LocalDateTime t = deps_.clock.now();
    const int64_t y = t.month <= 2 ? t.year - 1 : t.year;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (t.month + (t.month > 2 ? -3 : 9)) + 2) / 5 + t.day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const int64_t days = era * 146097 + doe - 719468;
    return days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

void MainController::countStreamDrops(const CameraStream::Drops& d) {
    if (d.oversized + d.longHeaders + d.noBoundary + d.noPicture == 0) {
        return;
    }
    const int64_t now = nowSeconds();
    oversizedParts_.add(d.oversized, now);
    longHeaders_.add(d.longHeaders, now);
    noBoundary_.add(d.noBoundary, now);
    noPicture_.add(d.noPicture, now);
}

void MainController::countDiskDrops() {
    const uint64_t dropped = recorder_->droppedPictures();
    if (dropped > diskDropsSeen_) {
        diskDrops_.add(dropped - diskDropsSeen_, nowSeconds());
    }
    diskDropsSeen_ = dropped;
}

// Once pictures come through again, the room a hostile stretch made the
// buffers grow is given back, and the heap's free pages with it (glibc keeps
// freed memory otherwise). Both happen only when a buffer was far over what
// the stream needs: rare, and then cheap.
void MainController::releaseSpareBuffers() {
    const size_t keep = std::max(kSpareKeep, 4 * link_.FrameBuffer.size());
    const size_t released = (source_ ? source_->releaseSpare(keep) : 0) + giveBackSpare(link_.FrameBuffer, keep);
    if (released >= kSpareKeep) {
        malloc_trim(0);
    }
}

// ---------------------------------------------------------------- recorder host

void MainController::recordingStateChanged(uint8_t kind) {
    state_.recordingKind = kind;
    state_.recordingFile = kind == kNotRecording ? std::string() : recorder_->currentFileName();
    refreshButtons(kind == kNotRecording ? 0 : 1);
}

void MainController::resetPreviewCounters() {
    link_.PreviewFrames = 0;
    link_.PreviewSeconds = 0;
}

void MainController::recordingFinished(const RecordingFileReport& report) {
    host_.publishFile(FinishedFile{report.path, report.frames, report.recordKind, report.saved});
}

void MainController::setFreeSpace(uint32_t mb) {
    state_.freeBytes = static_cast<int64_t>(mb) << 20;
    changed();
}

void MainController::showWarning(RecorderWarning kind, const std::string& text) {
    emitEvent(kind == RecorderWarning::FolderBusy ? EngineCode::FolderBusy : EngineCode::RecordingStopped, text);
}

void MainController::motionSuspended(bool suspended) {
    state_.motionSuspended = suspended;
    changed();
}

void MainController::startStatusTimer() { host_.startTimer(TimerId::StatusTick, 1000); }

void MainController::raiseAlarm(const std::vector<uint8_t>& picture) {
    // A coded-video camera's alarm picture is the picture on show.
    auto shown = std::make_shared<const std::vector<uint8_t>>(
        picture.empty() ? (preview_.isNull() ? std::vector<uint8_t>() : encodeJpeg(preview_)) : picture);
    if (shown->empty()) {
        return;
    }
    EngineEvent e;
    e.code = EngineCode::Alarm;
    e.picture = shown;
    host_.publishEvent(e);
    if (deps_.raiseAlarm) {
        deps_.raiseAlarm(*shown);
    }
}

}  // namespace ipcam

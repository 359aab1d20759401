#include "engine/main_controller.h"
#include "base/activity_log.h"

#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>
#include <utility>

#include "camera/jpeg_encoder.h"
#include "camera/status_line.h"
#include "detect/week_schedule.h"

namespace ipcam {

namespace {

constexpr const char* kPleaseWait = "Please wait a moment!";
constexpr const char* kFailToConnect = "Fail to connect to IP CAM!";
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
      legacy_(settings_),
      stream_(&legacy_),
      recorder_(std::make_unique<Recorder>(settings_, deps_.clock, static_cast<RecorderHost&>(*this), deps_.freeSpace)) {
    deps_.socket.setEvents(this);
}

MainController::~MainController() {
    deps_.socket.setEvents(nullptr);
    if (rtsp_) {
        rtsp_->stop();
        rtsp_->setEventNotifier(nullptr);
    }
}

std::string MainController::connectingText() const {
    return "Connecting to IP CAM (" + connectHost() + ") ......";
}

std::string MainController::offlineText() const {
    return "IP CAM(" + connectHost() + ") is off-line.";
}

std::optional<CameraUrl> MainController::cameraUrl(std::string* error) const {
    if (settings_.cameraUrl.empty()) {
        return std::nullopt;
    }
    return parseCameraUrl(settings_.cameraUrl, error);
}

std::string MainController::connectHost() const {
    if (settings_.cameraUrl.empty()) {
        return settings_.hostAddress;
    }
    const auto url = cameraUrl(nullptr);
    return url ? url->host : std::string();
}

uint16_t MainController::connectPort() const {
    if (settings_.cameraUrl.empty()) {
        return settings_.hostPort;
    }
    const auto url = cameraUrl(nullptr);
    return url ? url->port : 0;
}

// For the log: never with a password.
std::string MainController::endpoint() const {
    if (!settings_.cameraUrl.empty()) {
        const auto url = cameraUrl(nullptr);
        return url ? redactedUrl(*url) : std::string("(no valid camera address)");
    }
    return connectHost() + ":" + std::to_string(connectPort());
}

// A standard camera is not pinged: many answer no ICMP, and its HTTP
// answer tells whether it is there. Its legacy host field may still hold
// another address, which must not be pinged either.
void MainController::restartPing() {
    if (settings_.cameraUrl.empty()) {
        deps_.ping.restart();
    } else {
        deps_.ping.suspend();
    }
}

bool MainController::selectStream(std::string* error) {
    coded_ = false;
    if (settings_.cameraUrl.empty()) {
        stream_ = &legacy_;
        return true;
    }
    const auto url = cameraUrl(error);
    if (!url) {
        return false;
    }
    if (url->rtsp) {
        coded_ = true;
        return true;
    }
    // The same address keeps its stream, and with it what a challenge taught.
    if (!http_ || httpUrl_ != settings_.cameraUrl) {
        http_ = std::make_unique<MjpegHttpStream>(*url);
        httpUrl_ = settings_.cameraUrl;
    }
    stream_ = http_.get();
    return true;
}

// The standard camera's probe: its address is all there is to check before
// the connection; its name is its host.
bool MainController::urlCameraProbe() {
    std::string error;
    if (!selectStream(&error)) {
        logNoLink("Camera off-line: the camera address is not usable: " + error);
        host_.setLinkInfo("Camera address: " + error);
        refreshButtons(2);
        return false;
    }
    cameraAnswered(connectHost());
    return true;
}

// The camera is there: its name goes to the link line, the record and the
// mailer.
void MainController::cameraAnswered(const std::string& title) {
    deps_.shared.setCameraTitle(title);
    host_.setLinkInfo(title);
    settings_.descriptor = title;
    publishSettings();
    host_.setDiskSpace(recorder_->freeSpaceText());
}

void MainController::showPleaseWait() {
    host_.setPleaseWait(true, kPleaseWait);
    host_.startTimer(TimerId::PWTimer, 1000);
}

// ---------------------------------------------------------------- settings

void MainController::loadSettings() {
    // A file that is there but cannot be read is an error, not an empty file.
    deps_.store.loadStrict(settings_, 0);
    publishSettings();
}

void MainController::saveSettings() {
    deps_.store.save(settings_, 0);
    host_.applyLayout(settings_.resolution);
    publishSettings();
}

void MainController::publishSettings() {
    deps_.shared.publishSettings(settings_);
}

void MainController::directoryCheckLoop() {
    loadSettings();
    if (!deps_.attended) {
        useRecordingFolder();
        return;
    }
    while (!directoryExists(settings_.aviDirectory)) {
        host_.showWarning("Directory for AVI recording is not available!");
        settings_.aviDirectory = deps_.fallbackDirectory;
        saveSettings();
        recorder_->resetMotion();
        loadSettings();
        if (!directoryExists(deps_.fallbackDirectory)) {
            // Nothing to fall back to: asking again would never end.
            break;
        }
    }
}

// Unattended, nobody sees a box and a missing recording folder is mostly a
// disk not mounted yet or unplugged: the settings keep it, the recordings go
// into the fallback folder meanwhile, and the folder is looked for again
// until it is there.
void MainController::useRecordingFolder() {
    configuredDirectory_ = settings_.aviDirectory;
    if (configuredDirectory_.empty()) {
        // None set: nothing to wait for.
        folderMissing_ = false;
        host_.stopTimer(TimerId::DirectoryCheckTimer);
        settings_.aviDirectory = deps_.fallbackDirectory;  // in memory only
        publishSettings();
        qCWarning(lcRecording).noquote() << "No recording folder is set: recording into"
                                         << QString::fromStdString(deps_.fallbackDirectory);
        host_.recordingFolderChanged(settings_.aviDirectory, {});
        return;
    }
    if (directoryExists(configuredDirectory_)) {
        host_.stopTimer(TimerId::DirectoryCheckTimer);
        if (folderMissing_) {
            folderMissing_ = false;
            host_.recordingFolderChanged(settings_.aviDirectory, {});
        }
        return;
    }
    folderMissing_ = true;
    settings_.aviDirectory = deps_.fallbackDirectory;  // in memory only
    publishSettings();
    qCWarning(lcRecording).noquote() << "The recording folder" << QString::fromStdString(configuredDirectory_)
                                     << "is not available: recording into"
                                     << QString::fromStdString(deps_.fallbackDirectory)
                                     << "until it is there (looked for every" << kDirectoryCheckMs / 1000
                                     << "seconds)";
    host_.recordingFolderChanged(settings_.aviDirectory, configuredDirectory_);
    host_.startTimer(TimerId::DirectoryCheckTimer, kDirectoryCheckMs);
}

void MainController::directoryCheckTimerTimer() {
    if (!folderMissing_) {
        host_.stopTimer(TimerId::DirectoryCheckTimer);
        return;
    }
    if (!directoryExists(configuredDirectory_)) {
        return;
    }
    host_.stopTimer(TimerId::DirectoryCheckTimer);
    folderMissing_ = false;
    // A recording in progress finishes in the fallback folder; the next
    // file goes here.
    settings_.aviDirectory = configuredDirectory_;
    publishSettings();
    qCInfo(lcRecording).noquote() << "The recording folder" << QString::fromStdString(configuredDirectory_)
                                  << "is there again: the next recording goes there";
    host_.recordingFolderChanged(settings_.aviDirectory, {});
    // A disk that comes back may hold a recording a power cut interrupted.
    recorder_->recoverPartialFiles();
    host_.setDiskSpace(recorder_->freeSpaceText());
}

// ---------------------------------------------------------------- buttons

void MainController::refreshButtons(int mode) {
    buttonsMode_ = mode;
    host_.setControlVisible(Control::RecordStop1, false);
    host_.setControlVisible(Control::Reload1, false);
    host_.setControlVisible(Control::Record1, false);
    if (mode == 1) {
        host_.setControlVisible(Control::RecordStop1, true);
        host_.setControlEnabled(Control::Settings1, false);
    } else if (mode == 2) {
        host_.setControlVisible(Control::Reload1, true);
        host_.setControlEnabled(Control::Settings1, true);
        host_.setControlEnabled(Control::Reload1, true);
    } else {
        host_.setControlVisible(Control::Record1, true);
        host_.setControlEnabled(Control::Settings1, true);
        host_.setControlEnabled(Control::Reload1, false);
    }
}

void MainController::formActivate() {
    deps_.shared.alarmEmailArmed = true;
    if (skipActivation_) {
        skipActivation_ = false;
        return;
    }
    host_.setControlEnabled(Control::Settings1, false);
    if (!deps_.store.exists()) {
        refreshButtons(0);
        host_.setControlEnabled(Control::Settings1, false);
        host_.setControlEnabled(Control::Record1, true);
        host_.setControlEnabled(Control::PlayBack1, true);
        host_.stopTimer(TimerId::CreateConnectTimer);
        host_.setTimerInterval(TimerId::CreateConnectTimer, 100);
        host_.setSetupDialogCaption("IPCAM INI file Settings");
        settings_ = CameraSettings{};  // first-run values go onto an empty record
        applyFirstRunDefaults(settings_, deps_.fallbackDirectory);
        host_.fillSetupDialogFromRecord();
        saveSettings();
        host_.setControlEnabled(Control::Record1, true);
    }
    host_.stopTimer(TimerId::OfflineRetryTimer);
    host_.stopTimer(TimerId::Timer1);
    host_.stopTimer(TimerId::LinkTimeOut1);
    quietRetry_ = false;
    logLinkClosed("the start sequence runs again");
    recorder_->endFromOutside();  // a running recording is written, not dropped
    setLinkUp(false);
    recorder_->resetForStart();
    link_.LinkWatchdog = 60;
    host_.stopTimer(TimerId::CreateConnectTimer);
    host_.setTimerInterval(TimerId::CreateConnectTimer, 100);
    refreshButtons(0);
    host_.setControlEnabled(Control::Settings1, false);
    host_.setControlEnabled(Control::Record1, false);
    host_.setControlEnabled(Control::PlayBack1, true);
    directoryCheckLoop();
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
    host_.setControlEnabled(Control::Record1, true);
    host_.setLinkInfo("");
    host_.setPreviewInfo("");
    host_.applyLayout(settings_.resolution);
    link_.ConnectAttempts = 0;
    showPleaseWait();
    host_.setLinkInfo(connectingText());
    refreshButtons(0);
    host_.setControlEnabled(Control::Settings1, false);
    host_.setDiskSpace(recorder_->freeSpaceText());
    host_.startTimer(TimerId::CreateConnectTimer, 5000);
    skipActivation_ = false;
}

void MainController::record1Click() {
    if (link_.LinkUp) {
        recorder_->requestManual();
        refreshButtons(1);
        host_.startTimer(TimerId::Timer1, 1000);
    }
    if (playbackOpened_) {
        skipActivation_ = true;
    }
}

void MainController::recordStop1Click() {
    const TimeOfDay now = deps_.clock.now().timeOfDay();
    if (link_.LinkUp) {
        // A Daily recording stopped by hand latches its block.
        recorder_->requestStop(now);
        refreshButtons(0);
        host_.startTimer(TimerId::Timer1, 1000);
    }
    if (playbackOpened_) {
        skipActivation_ = true;
    }
    resetPreviewCounters();
    recorder_->forgetSpaceConfirmation();
}

void MainController::reload1Click() {
    host_.stopTimer(TimerId::OfflineRetryTimer);
    quietRetry_ = false;
    deps_.shared.cameraReachable = false;
    restartPing();
    host_.setLinkInfo(connectingText());
    host_.setPreviewInfo("Reconnect!!");
    refreshButtons(0);
    host_.setControlEnabled(Control::Settings1, false);
    host_.setControlEnabled(Control::Record1, true);
    link_.ConnectAttempts = 0;
    showPleaseWait();
    resetPreviewCounters();
    host_.startTimer(TimerId::ReconnectTimer, 5000);
}

void MainController::openSetupDialog() {
    host_.showSetupDialog();
    // Coming back from the dialog counts as an activation of the main
    // window: alarm e-mails are armed again. The rest of what follows the
    // dialog is done by the caller, which knows whether to reload.
    deps_.shared.alarmEmailArmed = true;
    publishSettings();
}

void MainController::settings1Click() {
    // Nothing may connect with the old settings while the dialog is open:
    // every connection timer stops, also one the off-line retry started.
    for (TimerId t : {TimerId::OfflineRetryTimer, TimerId::CreateConnectTimer, TimerId::ReconnectTimer,
                      TimerId::SeetingTimer}) {
        host_.stopTimer(t);
    }
    quietRetry_ = false;
    recorder_->forgetSpaceConfirmation();
    host_.stopTimer(TimerId::Timer1);
    host_.stopTimer(TimerId::LinkTimeOut1);
    logLinkClosed("for the setup dialog");
    closeLink();
    recorder_->endFromOutside();
    setLinkUp(false);
    refreshButtons(0);
    host_.setControlEnabled(Control::Settings1, false);
    host_.setControlEnabled(Control::Record1, true);
    host_.setControlEnabled(Control::PlayBack1, true);
    openSetupDialog();
    recorder_->resetMotion();
    directoryCheckLoop();
    recorder_->checkDiskAtStart();
    host_.setControlEnabled(Control::Record1, true);
    deps_.shared.cameraReachable = false;
    restartPing();
    recorder_->clearBlockLatch();
    host_.setLinkInfo(connectingText());
    host_.setDiskSpace(recorder_->freeSpaceText());
    link_.ConnectAttempts = 0;
    showPleaseWait();
    host_.startTimer(TimerId::SeetingTimer, 5000);
}

void MainController::playBack1Click() {
    skipActivation_ = true;
    playbackOpened_ = true;
    host_.showPlaybackWindow();
}

void MainController::formClose() {
    host_.stopTimer(TimerId::OfflineRetryTimer);
    host_.stopTimer(TimerId::Timer1);
    host_.stopTimer(TimerId::LinkTimeOut1);
    recorder_->endFromOutside();
    recorder_->settle();  // the recording reaches its file before the program ends
    deps_.socket.setEvents(nullptr);
    logLinkClosed("the program ends");
    closeLink();
}

void MainController::pwTimerTimer() {
    host_.setPleaseWait(!host_.pleaseWaitVisible(), kPleaseWait);
}

// ---------------------------------------------------------------- socket events

void MainController::onSocketConnected() {
    // The camera has not answered yet: "Link up" waits for its first picture.
    qCDebug(lcLink).noquote() << "Connected to" << QString::fromStdString(endpoint());
    tcpConnected_ = true;
    notShownSaid_ = false;
    setLinkUp(true);
    resetPreviewCounters();
    host_.startTimer(TimerId::Timer1, 1000);
    host_.startTimer(TimerId::LinkTimeOut1, 1000);
    refreshButtons(0);
    link_.HeaderAccepted = false;
    stream_->reset();
    deps_.socket.send(stream_->request());
    recorder_->resetMotion();
}

void MainController::onSocketRead(const std::vector<uint8_t>& chunk) {
    if (link_.HeaderAccepted && (!link_.LinkUp || chunk.empty())) {
        return;
    }
    const CameraStream::State state =
        stream_->feed(chunk, [this](std::vector<uint8_t>& picture) { pictureStart(picture); });
    countStreamDrops();
    if (pictureDecoded_) {
        pictureDecoded_ = false;
        releaseSpareBuffers();
    }
    switch (state) {
        case CameraStream::State::Waiting:
            return;
        case CameraStream::State::Streaming:
            link_.HeaderAccepted = true;
            return;
        case CameraStream::State::Rejected:
            wrongPassword();
            return;
        case CameraStream::State::Challenged:
        case CameraStream::State::Failed:
            streamFailed(state);
            return;
    }
}

// A picture is complete: show it and hand it to the recorder.
void MainController::pictureStart(std::vector<uint8_t>& picture) {
    link_.PasswordFailures = 0;
    host_.setControlEnabled(Control::Reload1, true);
    link_.LinkWatchdog = 60;
    // A standard camera's picture is recorded whenever it is a whole JPEG,
    // FF D8 to FF D9, also one the preview cannot show (too large for it, or
    // broken inside); the legacy camera's only when it decodes.
    const bool whole = stream_ != &legacy_ && isWholeJpeg(picture);
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
        const bool attempted = previewWanted_ || stream_ == &legacy_ || recorder_->motionReadsPictures();
        if (previewWanted_) {
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
        recorder_->step(link_.FrameBuffer, view);
    }
    ++link_.PreviewFrames;
    if (auto text = pictureStatusText(statusCounters())) {
        host_.setPreviewInfo(*text);
    }
}

// ---------------------------------------------------------------- the link

void MainController::openLink() {
    connectionEnded_ = false;
    tcpConnected_ = false;
    if (!coded_) {
        deps_.socket.open(connectHost(), connectPort());
        return;
    }
    const auto url = cameraUrl(nullptr);
    if (!url) {
        return;
    }
    if (!rtsp_) {
        rtsp_ = std::make_unique<RtspSource>();
        // Called on the reader's thread: only hands the work over.
        rtsp_->setEventNotifier([this] { host_.post([this] { pollCamera(); }); });
    }
    RtspSource::Options options;
    options.url = fullUrl(*url);
    options.silenceTimeout = kRtspSilence;
    const QSize area = previewArea(settings_.resolution);
    options.previewWidth = area.width();
    options.previewHeight = area.height();
    options.decoding = rtspDecoding();
    rtspConnected_ = false;
    rtspOpen_ = true;
    rtsp_->start(options);
}

void MainController::closeLink() {
    deps_.socket.close();
    if (rtsp_ && rtspOpen_) {
        rtsp_->stop();
        // What was reported before the stop belongs to the old connection.
        RtspSource::Event stale;
        while (rtsp_->takeEvent(&stale)) {
        }
    }
    rtspOpen_ = rtspConnected_ = false;
}

bool MainController::linkOpen() const { return coded_ ? rtspOpen_ : deps_.socket.isOpen(); }

std::string MainController::streamErrorText() const { return coded_ ? rtspError_ : stream_->errorText(); }

void MainController::pollCamera() {
    RtspSource::Event e;
    while (rtsp_ && rtspOpen_ && rtsp_->takeEvent(&e)) {
        switch (e.type) {
            case RtspSource::Event::Type::Connected:
                logLinkUp();
                qCInfo(lcLink).noquote() << QString::fromStdString(e.transport);
                rtspConnected_ = true;
                setLinkUp(true);
                resetPreviewCounters();
                host_.startTimer(TimerId::Timer1, 1000);
                host_.startTimer(TimerId::LinkTimeOut1, 1000);
                refreshButtons(0);
                link_.HeaderAccepted = true;
                recorder_->resetMotion();
                break;
            case RtspSource::Event::Type::Packet:
                if (link_.LinkUp) {
                    mediaPacket(e);
                }
                break;
            case RtspSource::Event::Type::Failed:
                rtspFailed(e);
                return;  // the connection is closed: the rest is stale
        }
    }
}

// A coded-video packet: a new decoded picture is shown, the packet goes to
// the recorder, and every picture feeds the watchdog as a JPEG one does.
void MainController::mediaPacket(RtspSource::Event& event) {
    link_.PasswordFailures = 0;
    host_.setControlEnabled(Control::Reload1, true);
    link_.LinkWatchdog = 60;
    PixelView view;
    const PixelView* decoded = nullptr;
    if (!event.picture.isNull() && event.shown.isValid()) {
        // Scaled for motion detection alone: the preview stays as it was.
        samples_.swap(event.picture);
        samplesShown_ = event.shown;
        view = sampledView(samples_, samplesShown_);
        decoded = &view;
    } else if (!event.picture.isNull()) {
        preview_.swap(event.picture);
        view = viewOf(preview_);
        decoded = &view;
        host_.previewChanged();
    }
    recorder_->stepPacket(event.packet, decoded);
    rtsp_->setDecoding(rtspDecoding());
    if (event.packet.isVideo()) {
        ++link_.PreviewFrames;
        if (auto text = pictureStatusText(statusCounters())) {
            host_.setPreviewInfo(*text);
        }
    }
}

// What the RTSP reader decodes: the preview while it is shown; else the
// small picture motion detection reads, or the preview's when an alarm
// snapshot is made from it; nothing while neither needs a picture.
RtspSource::Decoding MainController::rtspDecoding() const {
    if (previewWanted_) return RtspSource::Decoding::Preview;
    if (!recorder_->motionReadsPictures()) return RtspSource::Decoding::Nothing;
    return settings_.alarmEmailEnabled ? RtspSource::Decoding::Preview : RtspSource::Decoding::Samples;
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
    if (rtsp_) rtsp_->setDecoding(rtspDecoding());
}

void MainController::rtspFailed(const RtspSource::Event& event) {
    rtspError_ = event.error;
    const bool wasConnected = rtspConnected_;
    closeLink();
    if (event.rejected) {
        wrongPassword();
        return;
    }
    if (wasConnected || event.noAnswer) {
        // A camera that went silent or hung up is tried again at once, one
        // that does not answer every 5 s, as a socket error is (which logs
        // nothing more): a camera back from an outage records again within
        // seconds.
        logLinkEnd(event.error, event.error);
        retryReason_ = wasConnected ? "(at once after the link was lost)" : "(again while the camera does not answer)";
        onSocketError();
        return;
    }
    // No stream came up: say why, and try again later as for a camera that
    // is off-line.
    streamFailed(CameraStream::State::Failed);
}

void MainController::wrongPassword() {
    // A standard camera's refusal names the camera.
    const std::string message = settings_.cameraUrl.empty() ? "Please enter correct password!!" : streamErrorText();
    if (link_.PasswordFailures >= 3 && deps_.attended) {
        // The program ends once the box is closed; nothing connects again
        // meanwhile.
        host_.stopTimer(TimerId::Timer1);
        host_.stopTimer(TimerId::LinkTimeOut1);
        host_.stopTimer(TimerId::CreateConnectTimer);
        closeLink();
        host_.post([this, message] {
            host_.showWarning(message);
            host_.closeMainWindow();
        });
        return;
    }
    logLinkEnd("the camera rejected the password", "Camera " + endpoint() + " rejected the password");
    // Every state change first; the box and the setup dialog follow once
    // this read has returned, so the socket is never held up by them.
    host_.stopTimer(TimerId::Timer1);
    host_.stopTimer(TimerId::LinkTimeOut1);
    ++link_.PasswordFailures;
    refreshButtons(0);
    host_.setControlEnabled(Control::Record1, true);
    host_.setControlEnabled(Control::PlayBack1, true);
    host_.stopTimer(TimerId::CreateConnectTimer);
    host_.setTimerInterval(TimerId::CreateConnectTimer, 100);
    host_.post([this, message] {
        host_.showWarning(message);
        // A camera that hangs up after a rejection has scheduled the next
        // attempt while the box was open: the dialog comes first.
        host_.stopTimer(TimerId::CreateConnectTimer);
        host_.setTimerInterval(TimerId::CreateConnectTimer, 100);
        // What the dialog leaves in memory, saved or not, is used for the
        // next connection: no reload here. Unattended there is no dialog:
        // the same settings are tried again at the usual pace.
        if (deps_.attended) {
            openSetupDialog();
        }
        recorder_->resetMotion();
        restartPing();
        link_.ConnectAttempts = 0;
        showPleaseWait();
        host_.startTimer(TimerId::CreateConnectTimer, 5000);
        host_.stopTimer(TimerId::Timer1);
        host_.startTimer(TimerId::LinkTimeOut1, 1000);
    });
}

void MainController::streamFailed(CameraStream::State state) {
    if (state == CameraStream::State::Challenged) {
        // The camera wants credentials: ask again at once on a new
        // connection, with the answer to its challenge.
        qCInfo(lcLink).noquote() << "Camera" << QString::fromStdString(endpoint()) << "asked for credentials";
        closeLink();
        openLink();
        return;
    }
    // Something that is no picture stream came back: say what, and try again
    // later as for a camera that is off-line.
    const std::string text = streamErrorText();
    logLinkEnd(text, "Camera off-line: " + text);
    recorder_->endFromOutside();
    setLinkUp(false);
    host_.setPreviewInfo(text);
    refreshButtons(2);
    host_.stopTimer(TimerId::Timer1);
    host_.stopTimer(TimerId::LinkTimeOut1);
    closeLink();
    enterOffline();
}

// Boxes never open inside a socket or timer handler: Qt does not run a
// timer's handler again while it is still running, and holds back the
// socket's reads, so a box opened there would stop Timer1 or the stream for
// as long as it stays open. Every state change is made first; the box opens
// from the event loop, whose nested loop goes on dispatching.
void MainController::warn(const std::string& text) {
    if (std::find(boxesPending_.begin(), boxesPending_.end(), text) != boxesPending_.end()) {
        return;
    }
    boxesPending_.push_back(text);
    host_.post([this, text] {
        host_.showWarning(text);
        boxesPending_.erase(std::find(boxesPending_.begin(), boxesPending_.end(), text));
    });
}

void MainController::setLinkUp(bool up) {
    const bool changed = link_.LinkUp != up;
    link_.LinkUp = up;
    if (changed) {
        host_.linkStateChanged(up);
    }
}

StatusCounters MainController::statusCounters() const {
    const RecordingSession& r = recorder_->session();
    return StatusCounters{r.RecordKind, r.RecordFrames, r.RecordSeconds, link_.PreviewFrames, link_.PreviewSeconds};
}

void MainController::onSocketError() {
    // A camera on a URL whose link was up for a while is tried again at
    // once; the next attempts, and the legacy camera's, come every 5 s.
    const bool atOnce = !settings_.cameraUrl.empty() && link_.LinkUp && link_.PreviewSeconds >= 1;
    if (!coded_) stream_->end([this](std::vector<uint8_t>& picture) { pictureStart(picture); });  // its last picture
    const std::string error = deps_.socket.errorText();
    logLinkEnd(error + " (" + endpoint() + ")",
               "Camera " + endpoint() +
                   (tcpConnected_ ? " closed the connection before sending a picture: " : " refuses connections: ") +
                   error);
    // A loud attempt follows: the connection timer's steps apply in full.
    quietRetry_ = false;
    recorder_->endFromOutside();
    setLinkUp(false);
    host_.setPreviewInfo(kFailToConnect);
    refreshButtons(2);
    deps_.shared.cameraReachable = false;
    restartPing();
    host_.stopTimer(TimerId::Timer1);
    host_.stopTimer(TimerId::LinkTimeOut1);
    closeLink();
    link_.ConnectAttempts = 0;
    showPleaseWait();
    host_.startTimer(TimerId::CreateConnectTimer, atOnce ? 0 : 5000);
}

// ---------------------------------------------------------------- timers

void MainController::timer1Timer() {
    ++link_.PreviewSeconds;
    recorder_->countSecond();
    countDiskDrops();
    const int64_t now = nowSeconds();
    for (DropReport* r : {&oversizedParts_, &longHeaders_, &noBoundary_, &noPicture_, &diskDrops_}) {
        r->tick(now);
    }
    if (auto text = tickStatusText(statusCounters())) {
        host_.setPreviewInfo(*text);
    }
}

bool MainController::cameraProbe() {
    std::optional<std::string> page;
    if (!settings_.hostAddress.empty()) {
        page = deps_.startPage.fetch(settings_.hostAddress);
    }
    if (!page) {
        logNoLink("Camera off-line: no answer from the start page of " + settings_.hostAddress);
        host_.setLinkInfo(offlineText());
        refreshButtons(2);
        return false;
    }
    cameraAnswered(extractCameraTitle(*page));
    return true;
}

void MainController::connectionTimerStep(TimerId timer) {
    if (timer == TimerId::CreateConnectTimer) {
        // A recording still running here is written, not dropped.
        recorder_->endFromOutside();
        setLinkUp(false);
        recorder_->clearRequests();
        link_.LinkWatchdog = 60;
    } else if (timer == TimerId::ReconnectTimer) {
        recorder_->clearRequests();
        link_.LinkWatchdog = 60;
    }
    ++link_.ConnectAttempts;
    // The off-line retry leaves the off-line buttons as they are: Settings
    // stays usable while the camera is away.
    if (!quietRetry_) {
        host_.setControlEnabled(Control::Settings1, false);
    }

    if (link_.ConnectAttempts >= 4) {
        deps_.ping.suspend();
        deps_.shared.cameraReachable = false;
        host_.stopTimer(timer);
        host_.stopTimer(TimerId::PWTimer);
        host_.setPleaseWait(true, kFailToConnect);
        logNoLink("Camera off-line: not reachable by ping, gave up after 3 attempts: " + settings_.hostAddress);
        host_.setLinkInfo(offlineText());
        refreshButtons(2);
        if (timer != TimerId::SeetingTimer) {
            host_.stopTimer(TimerId::LinkTimeOut1);
        }
        enterOffline();
        return;
    }
    bool reachable = false;
    if (!settings_.cameraUrl.empty()) {
        reachable = urlCameraProbe();
    } else {
        if (!deps_.shared.cameraReachable) {
            return;
        }
        deps_.ping.suspend();
        deps_.shared.cameraReachable = false;
        reachable = cameraProbe() && selectStream(nullptr);
    }
    // Said below once, and not true for a later attempt.
    const char* retryReason = timer == TimerId::CreateConnectTimer ? std::exchange(retryReason_, nullptr) : nullptr;
    if (reachable && !connectHost().empty()) {
        if (linkOpen()) {
            logLinkClosed("rebuilt");
            closeLink();
        }
        // The first attempt is said; while the camera keeps failing for a
        // reason already said, the retries are debug lines.
        const char* why = retryReason                                           ? retryReason
                          : timer == TimerId::CreateConnectTimer                ? "(start-up or after a socket error)"
                          : timer == TimerId::ReconnectTimer ? "(link rebuilt after Reload or the link watchdog)"
                                                             : "(after the setup dialog)";
        if (reasonsSaid_.empty()) {
            qCInfo(lcLink).noquote() << "Connecting to" << QString::fromStdString(endpoint()) << why;
        } else {
            qCDebug(lcLink).noquote() << "Connecting to" << QString::fromStdString(endpoint()) << why;
        }
        // The off-line retry's attempt has found the camera: from here on
        // the link's steps are the usual ones.
        quietRetry_ = false;
        openLink();
    }
    host_.stopTimer(timer);
    host_.stopTimer(TimerId::PWTimer);
    host_.setPleaseWait(false, kPleaseWait);
    if (timer == TimerId::CreateConnectTimer) {
        host_.stopTimer(TimerId::LinkTimeOut1);
    } else if (timer == TimerId::ReconnectTimer) {
        host_.stopTimer(TimerId::LinkTimeOut1);
        // After a failed probe the off-line buttons stay, so that Reload is
        // there to try again.
        if (reachable) {
            refreshButtons(0);
        }
    }
    if (!reachable) {
        enterOffline();
    }
}

// Off-line is not the end: a camera that reboots or loses power for a while
// is tried again by itself, so that an unattended recorder records again
// once it is back.
void MainController::enterOffline() {
    quietRetry_ = false;
    host_.startTimer(TimerId::OfflineRetryTimer, kOfflineRetryMs);
}

// The Reload button's retry without its texts and blinking: the off-line
// texts and buttons stay until the camera answers.
void MainController::offlineRetryTimerTimer() {
    host_.stopTimer(TimerId::OfflineRetryTimer);
    if (link_.LinkUp) {
        return;
    }
    deps_.shared.cameraReachable = false;
    restartPing();
    link_.ConnectAttempts = 0;
    quietRetry_ = true;
    host_.startTimer(TimerId::ReconnectTimer, 5000);
}

void MainController::linkTimeOut1Timer() {
    --link_.LinkWatchdog;
    if (link_.LinkWatchdog != 0) {
        return;
    }
    // A whole picture still collected is the connection's last one.
    if (!coded_) stream_->end([this](std::vector<uint8_t>& picture) { pictureStart(picture); });
    logLinkEnd("no picture for 60 seconds from " + connectHost(),
               "Camera " + endpoint() + " sent no picture for 60 seconds after connecting");
    quietRetry_ = false;
    deps_.shared.cameraReachable = false;
    restartPing();
    recorder_->endFromOutside();
    host_.setDiskSpace(recorder_->freeSpaceText());
    setLinkUp(false);
    host_.setPreviewInfo("Fail to connect to IP CAM! Reconnect!!");
    refreshButtons(2);
    host_.stopTimer(TimerId::Timer1);
    host_.stopTimer(TimerId::LinkTimeOut1);
    closeLink();
    link_.ConnectAttempts = 0;
    showPleaseWait();
    resetPreviewCounters();
    host_.startTimer(TimerId::ReconnectTimer, 5000);
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

void MainController::countStreamDrops() {
    const CameraStream::Drops d = stream_->takeDrops();
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
    const size_t released = stream_->releaseSpare(keep) + giveBackSpare(link_.FrameBuffer, keep);
    if (released >= kSpareKeep) {
        malloc_trim(0);
    }
}

// ---------------------------------------------------------------- recorder host

void MainController::recordingStateChanged(uint8_t kind) {
    refreshButtons(kind == kNotRecording ? 0 : 1);
    host_.recordingStateChanged(kind);
}

void MainController::resetPreviewCounters() {
    link_.PreviewFrames = 0;
    link_.PreviewSeconds = 0;
}

void MainController::recordingFinished(const RecordingFileReport& report) { host_.recordingFinished(report); }

void MainController::setDiskSpace(const std::string& text) { host_.setDiskSpace(text); }

void MainController::showWarning(const std::string& text) { warn(text); }

void MainController::startStatusTimer() { host_.startTimer(TimerId::Timer1, 1000); }

void MainController::raiseAlarm(const std::vector<uint8_t>& picture) {
    if (!deps_.raiseAlarm) {
        return;
    }
    if (picture.empty()) {
        // A coded-video camera: the snapshot is the picture on show.
        if (!preview_.isNull()) {
            deps_.raiseAlarm(encodeJpeg(preview_));
        }
        return;
    }
    deps_.raiseAlarm(picture);
}

}  // namespace ipcam

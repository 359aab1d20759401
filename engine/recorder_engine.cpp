#include "engine/recorder_engine.h"

#include <QCoreApplication>
#include <QDir>

#include <algorithm>

#include "base/activity_log.h"
#include "camera/Unit7.h"
#include "camera/http_start_page.h"
#include "camera/qt_camera_socket.h"
#include "mail/Unit6.h"
#include "recording/disk_guard.h"

namespace ipcam {

RecorderEngine::RecorderEngine(EngineOptions options, QObject* parent)
    : QObject(parent), options_(std::move(options)) {
    if (options_.clock) {
        clock_ = options_.clock;
    } else {
        systemClock_ = std::make_unique<SystemClock>();
        clock_ = systemClock_.get();
    }
    FreeSpaceQuery* freeSpace = options_.freeSpace;
    if (!freeSpace) {
        ownFreeSpace_ = std::make_unique<PosixFreeSpaceQuery>();
        freeSpace = ownFreeSpace_.get();
    }
    std::string settingsPath = options_.settingsPath;
    if (settingsPath.empty()) {
        settingsPath = SettingsStore::pathForProgram(QCoreApplication::applicationFilePath().toStdString());
    }
    store_ = std::make_unique<SettingsStore>(settingsPath);
    const std::string workingDirectory = QDir::currentPath().toStdString();
    fallbackDirectory_ = options_.fallbackDirectory.empty() ? workingDirectory : options_.fallbackDirectory;
    std::string snapshot = options_.snapshotPath;
    if (snapshot.empty()) {
        snapshot = workingDirectory + "/jpeg_view01.jpg";
    }

    socket_ = std::make_unique<QtCameraSocket>();
    startPage_ = std::make_unique<HttpStartPageFetcher>();
    startPage_->port = static_cast<uint16_t>(options_.probePort);
    // The probe runs inside a timer tick: a camera that accepts and never
    // answers may hold the engine for at most a few seconds.
    startPage_->connectTimeout = std::chrono::milliseconds(2000);
    startPage_->answerTimeout = std::chrono::milliseconds(2000);
    // Both workers start suspended. The alarm mail's failure box holds up
    // the e-mail worker only.
    pingThread_ = std::make_unique<TICMPThread>(shared_);
    auto openAlarmWarning = [this](const std::string& text, const std::string& reason, std::function<void()> closed) {
        if (options_.openAlarmWarning) {
            options_.openAlarmWarning(text, reason, std::move(closed));
            return;
        }
        qCWarning(lcWarning).noquote() << "Warning box:" << QString::fromStdString(text)
                                       << QString::fromStdString(reason);
        closed();
    };
    emailThread_ = std::make_unique<TEmailThread>(shared_, makeWaitingWarning(this, openAlarmWarning), snapshot);

    for (TimerId id : {TimerId::Timer1, TimerId::LinkTimeOut1, TimerId::CreateConnectTimer, TimerId::ReconnectTimer,
                       TimerId::SeetingTimer, TimerId::PWTimer, TimerId::OfflineRetryTimer,
                       TimerId::DirectoryCheckTimer}) {
        auto* t = new QTimer(this);
        t->setInterval(scaled(id == TimerId::CreateConnectTimer ? 100 : 1000));
        timers_[id] = t;
    }
    // Stacked buttons: Record1 on show, Stop and Reload hidden.
    controls_[static_cast<size_t>(Control::RecordStop1)].visible = false;
    controls_[static_cast<size_t>(Control::Reload1)].visible = false;

    ControllerDeps deps{static_cast<MainHost&>(*this), *socket_, *pingThread_, *startPage_, *store_, *clock_,
                        *freeSpace, shared_, nullptr, fallbackDirectory_};
    deps.raiseAlarm = [this](const std::vector<uint8_t>& picture) { emailThread_->raiseAlarm(picture); };
    deps.attended = options_.attended;
    controller_ = std::make_unique<MainController>(std::move(deps));

    // What the recording's thread reports is handled as soon as it comes,
    // on this thread: a finish that found no room warns and latches when it
    // happens, also while no picture comes and Timer1 is stopped.
    controller_->recorder().setEventNotifier([this] {
        QMetaObject::invokeMethod(
            this, [this] { guarded([this] { controller_->recorder().pollDiskEvents(); }); }, Qt::QueuedConnection);
    });

    MainController* c = controller_.get();
    const std::pair<TimerId, void (MainController::*)()> handlers[] = {
        {TimerId::Timer1, &MainController::timer1Timer},
        {TimerId::LinkTimeOut1, &MainController::linkTimeOut1Timer},
        {TimerId::CreateConnectTimer, &MainController::createConnectTimerTimer},
        {TimerId::ReconnectTimer, &MainController::reconnectTimerTimer},
        {TimerId::SeetingTimer, &MainController::seetingTimerTimer},
        {TimerId::PWTimer, &MainController::pwTimerTimer},
        {TimerId::OfflineRetryTimer, &MainController::offlineRetryTimerTimer},
        {TimerId::DirectoryCheckTimer, &MainController::directoryCheckTimerTimer},
    };
    for (const auto& entry : handlers) {
        const auto handler = entry.second;  // clang 14 cannot capture a structured binding
        connect(timers_[entry.first], &QTimer::timeout, this,
                [this, c, handler] { guarded([c, handler] { (c->*handler)(); }); });
    }

    // Recordings older than Keep_Days are deleted at start (queued by the
    // recorder after the recovery), then once an hour, and after the
    // settings are saved. The deleting runs on the recording's thread.
    retentionTimer_ = new QTimer(this);
    connect(retentionTimer_, &QTimer::timeout, this,
            [this, c] { guarded([c] { c->recorder().applyRetention(); }); });
    retentionTimer_->start(scaled(3600 * 1000));
}

RecorderEngine::~RecorderEngine() {
    close();
}

void RecorderEngine::setPreviewWanted(bool wanted) { controller_->setPreviewWanted(wanted); }

void RecorderEngine::activate() { controller_->formActivate(); }
void RecorderEngine::record() { controller_->record1Click(); }
void RecorderEngine::stop() { controller_->recordStop1Click(); }
void RecorderEngine::reload() { controller_->reload1Click(); }
void RecorderEngine::openSettings() { controller_->settings1Click(); }
void RecorderEngine::openPlayback() { controller_->playBack1Click(); }
void RecorderEngine::saveSettings() {
    controller_->saveSettings();
    controller_->recorder().applyRetention();
}

void RecorderEngine::reloadSettings() {
    // An unreadable file throws before anything is ended: the engine goes
    // on with the settings it has.
    CameraSettings check;
    store_->loadStrict(check, 0);
    // The setup dialog's Save without the dialog: the link ends, the file is
    // read, the recording folder checked, and the camera connected anew.
    qCInfo(lcSettings).noquote() << "Reading the settings again from" << QString::fromStdString(store_->path());
    controller_->settings1Click();
    controller_->recorder().applyRetention();
}

void RecorderEngine::close() {
    if (closed_) {
        return;
    }
    closed_ = true;
    guarded([this] { controller_->formClose(); });
    for (auto& [id, t] : timers_) {
        t->stop();
    }
    retentionTimer_->stop();
    pingThread_->terminate();
    emailThread_->terminate();
}

void RecorderEngine::guarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        const QString text = QString::fromUtf8(e.what());
        qCCritical(lcApp).noquote() << "Error in an event handler:" << text;
        QMetaObject::invokeMethod(this, [this, text] { emit handlerFailed(text); }, Qt::QueuedConnection);
    }
}

int RecorderEngine::scaled(int intervalMs) const {
    return std::max(1, static_cast<int>(intervalMs * options_.timerScale));
}

// ---------------------------------------------------------------- MainHost

void RecorderEngine::controlUpdated(Control c) {
    const ControlState& s = controls_[static_cast<size_t>(c)];
    emit controlChanged(c, s.visible, s.enabled);
}

void RecorderEngine::setControlVisible(Control c, bool visible) {
    ControlState& s = controls_[static_cast<size_t>(c)];
    if (s.visible != visible) {
        s.visible = visible;
        controlUpdated(c);
    }
}

void RecorderEngine::setControlEnabled(Control c, bool enabled) {
    ControlState& s = controls_[static_cast<size_t>(c)];
    if (s.enabled != enabled) {
        s.enabled = enabled;
        controlUpdated(c);
    }
}

void RecorderEngine::setLinkInfo(const std::string& text) {
    linkInfo_ = QString::fromStdString(text);
    emit linkInfoChanged(linkInfo_);
}

void RecorderEngine::setPreviewInfo(const std::string& text) {
    previewInfo_ = QString::fromStdString(text);
    emit previewInfoChanged(previewInfo_);
}

void RecorderEngine::setDiskSpace(const std::string& text) {
    diskSpace_ = QString::fromStdString(text);
    emit diskSpaceChanged(diskSpace_);
}

void RecorderEngine::setPleaseWait(bool visible, const std::string& text) {
    pleaseWaitVisible_ = visible;
    pleaseWaitText_ = QString::fromStdString(text);
    emit pleaseWaitChanged(visible, pleaseWaitText_);
}

void RecorderEngine::startTimer(TimerId id, int intervalMs) {
    // Starting a timer that already runs at this interval leaves its next
    // tick where it was (QTimer::start would begin the interval again).
    QTimer* t = timers_.at(id);
    const int ms = scaled(intervalMs);
    if (t->isActive() && t->interval() == ms) {
        return;
    }
    t->start(ms);
}

void RecorderEngine::stopTimer(TimerId id) { timers_.at(id)->stop(); }

void RecorderEngine::setTimerInterval(TimerId id, int intervalMs) { timers_.at(id)->setInterval(scaled(intervalMs)); }

void RecorderEngine::post(std::function<void()> task) {
    QMetaObject::invokeMethod(
        this, [this, task = std::move(task)] { guarded(task); }, Qt::QueuedConnection);
}

void RecorderEngine::showWarning(const std::string& text) {
    qCWarning(lcWarning).noquote() << "Warning box:" << QString::fromStdString(text);
    emit warningRaised(QString::fromStdString(text));
}

void RecorderEngine::showSetupDialog() {
    if (options_.attended) {
        emit setupDialogRequested();
    }
}

void RecorderEngine::setSetupDialogCaption(const std::string& caption) {
    emit setupDialogCaptionChanged(QString::fromStdString(caption));
}

void RecorderEngine::fillSetupDialogFromRecord() { emit setupDialogFillRequested(); }

void RecorderEngine::showPlaybackWindow() { emit playbackWindowRequested(); }

void RecorderEngine::applyLayout(uint8_t resolution) { emit layoutChanged(resolution); }

void RecorderEngine::previewChanged() { emit previewUpdated(); }

void RecorderEngine::closeMainWindow() { emit closeRequested(); }

void RecorderEngine::linkStateChanged(bool up) { emit linkChanged(up); }

void RecorderEngine::recordingStateChanged(uint8_t kind) { emit recordingChanged(static_cast<int>(kind)); }

void RecorderEngine::recordingFolderChanged(const std::string& folder, const std::string& missing) {
    emit folderChanged(QString::fromStdString(folder), QString::fromStdString(missing));
}

void RecorderEngine::recordingFinished(const RecordingFileReport& report) {
    emit fileFinished(QString::fromStdString(report.path), static_cast<int>(report.frames),
                           static_cast<int>(report.recordKind), report.saved);
}

}  // namespace ipcam

#include "engine/recorder_engine.h"

#include <QCoreApplication>
#include <QDir>
#include <QMetaMethod>
#include <QPointer>

#include <algorithm>
#include <cmath>

#include "base/activity_log.h"
#include "engine/engine_texts.h"
#include "engine/main_controller.h"
#include "camera/Unit7.h"
#include "camera/http_start_page.h"
#include "camera/qt_camera_socket.h"
#include "mail/Unit6.h"
#include "recording/disk_guard.h"

namespace ipcam {

namespace {

EngineEvent settingsApplied() {
    EngineEvent e;
    e.code = EngineCode::SettingsApplied;
    return e;
}

}  // namespace

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
    previewSocket_ = std::make_unique<QtCameraSocket>();
    startPage_ = std::make_unique<HttpStartPageFetcher>();
    startPage_->port = static_cast<uint16_t>(options_.probePort);
    // The probe runs inside a timer tick: a camera that accepts and never
    // answers may hold the engine for at most a few seconds.
    startPage_->connectTimeout = std::chrono::milliseconds(2000);
    startPage_->answerTimeout = std::chrono::milliseconds(2000);
    // Both workers start suspended. A failed alarm e-mail is an event: the
    // worker goes on at once, whoever shows it does so on this thread.
    pingThread_ = std::make_unique<TICMPThread>(shared_);
    QPointer<RecorderEngine> self(this);
    auto mailFailed = [self](const std::string& text, const std::string& reason) {
        QMetaObject::invokeMethod(
            self.data(),
            [self, text, reason] {
                if (!self) return;
                EngineEvent e;
                e.code = EngineCode::AlarmMailFailed;
                e.detail = text;
                e.reason = reason;
                self->publishEvent(e);
            },
            Qt::QueuedConnection);
    };
    emailThread_ = std::make_unique<TEmailThread>(shared_, mailFailed, snapshot);

    for (TimerId id : {TimerId::StatusTick, TimerId::FolderCheck}) {
        auto* t = new QTimer(this);
        t->setInterval(scaled(1000));
        timers_[id] = t;
    }
    // The link machine's own time: one timer, set for whatever is due next.
    linkClock_.start();
    linkTimer_ = new QTimer(this);
    linkTimer_->setSingleShot(true);
    linkTimer_->setTimerType(Qt::PreciseTimer);
    ControllerDeps deps{static_cast<MainHost&>(*this), *socket_, *pingThread_, *startPage_, *store_, *clock_,
                        *freeSpace, shared_, nullptr, fallbackDirectory_, previewSocket_.get()};
    deps.raiseAlarm = [this](const std::vector<uint8_t>& picture) { emailThread_->raiseAlarm(picture); };
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
        {TimerId::StatusTick, &MainController::statusTick},
        {TimerId::FolderCheck, &MainController::folderCheck},
    };
    for (const auto& entry : handlers) {
        const auto handler = entry.second;  // clang 14 cannot capture a structured binding
        connect(timers_[entry.first], &QTimer::timeout, this,
                [this, c, handler] { guarded([c, handler] { (c->*handler)(); }); });
    }
    connect(linkTimer_, &QTimer::timeout, this, [this, c] { guarded([c] { c->linkWake(); }); });

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

const EngineState& RecorderEngine::state() const { return controller_->state(); }
CameraSettings RecorderEngine::settings() const { return controller_->settingsCopy(); }
const QImage& RecorderEngine::preview() const { return controller_->preview(); }
void RecorderEngine::setPreviewAllocator(std::function<QImage(QSize)> allocator) {
    controller_->setPreviewAllocator(std::move(allocator));
}

bool RecorderEngine::hasSettingsFile() const { return store_->exists(); }

void RecorderEngine::setPreviewWanted(bool wanted, PreviewTaker taker) {
    (taker == PreviewTaker::Screen ? screenWantsPreview_ : webWantsPreview_) = wanted;
    controller_->setPreviewWanted(screenWantsPreview_ || webWantsPreview_);
}

void RecorderEngine::start() { controller_->start(); }
void RecorderEngine::record() { controller_->record(); }
void RecorderEngine::stop() { controller_->stop(); }
void RecorderEngine::reconnect() { controller_->reconnect(); }
void RecorderEngine::suspendLink() { controller_->suspend(); }
void RecorderEngine::resumeLink() { controller_->resume(); }
void RecorderEngine::armAlarmMail() { controller_->armAlarmMail(); }
int RecorderEngine::prerollKeptSeconds() const { return controller_->recorder().prerollKeptSeconds(); }

std::optional<SettingsProblem> RecorderEngine::applySettings(const CameraSettings& record, bool save) {
    std::optional<SettingsProblem> problem;
    try {
        problem = controller_->applySettings(record, save);
    } catch (const SettingsWriteError& e) {
        qCCritical(lcSettings).noquote() << "The settings were not saved:" << QString::fromUtf8(e.what());
        return SettingsProblem{SettingsField::File, SettingsCode::NotWritten, e.what()};
    }
    if (!problem) {
        controller_->recorder().applyRetention();
        emit engineEvent(settingsApplied());
    }
    return problem;
}

void RecorderEngine::reloadSettings() {
    // An unreadable file throws before anything changes: the engine goes on
    // with the settings it has.
    CameraSettings record;
    store_->loadStrict(record, 0);
    qCInfo(lcSettings).noquote() << "Reading the settings again from" << QString::fromStdString(store_->path());
    // Connected anew, as after the setup dialog's Save.
    controller_->suspend();
    if (auto problem = controller_->applySettings(record, /*save=*/false)) {
        qCWarning(lcSettings).noquote() << "The settings file holds a value that is not used:"
                                        << QString::fromStdString(problem->text);
    }
    controller_->resume();
    controller_->recorder().applyRetention();
    emit engineEvent(settingsApplied());
}

void RecorderEngine::close() {
    if (closed_) {
        return;
    }
    closed_ = true;
    guarded([this] { controller_->close(); });
    for (auto& [id, t] : timers_) {
        t->stop();
    }
    linkTimer_->stop();
    retentionTimer_->stop();
    pingThread_->terminate();
    emailThread_->terminate();
}

void RecorderEngine::guarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        const std::string text = e.what();
        qCCritical(lcApp).noquote() << "Error in an event handler:" << QString::fromStdString(text);
        QMetaObject::invokeMethod(
            this, [this, text] { {
                EngineEvent e;
                e.code = EngineCode::HandlerFailed;
                e.detail = text;
                emit engineEvent(e);
            } },
            Qt::QueuedConnection);
    }
}

int RecorderEngine::scaled(int intervalMs) const {
    return std::max(1, static_cast<int>(intervalMs * options_.timerScale));
}

// ---------------------------------------------------------------- MainHost

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

// The link's milliseconds pass faster when the timers are scaled down.
int64_t RecorderEngine::linkNow() const {
    return static_cast<int64_t>(static_cast<double>(linkClock_.nsecsElapsed()) / 1e6 / options_.timerScale);
}

void RecorderEngine::wakeLinkAt(int64_t at) {
    if (at < 0 || closed_) {
        linkTimer_->stop();
        return;
    }
    const double ms = std::ceil(static_cast<double>(std::max<int64_t>(0, at - linkNow())) * options_.timerScale);
    linkTimer_->start(static_cast<int>(std::min(ms, 1e9)));
}

void RecorderEngine::post(std::function<void()> task) {
    {
        std::lock_guard lock(postedMutex_);
        posted_.push_back(std::move(task));
    }
    // One queued call per task: they run in the order posted, each as an
    // event of its own.
    QMetaObject::invokeMethod(this, [this] { runPosted(); }, Qt::QueuedConnection);
}

void RecorderEngine::runPosted() {
    std::function<void()> task;
    {
        std::lock_guard lock(postedMutex_);
        if (posted_.empty()) return;
        task = std::move(posted_.front());
        posted_.pop_front();
    }
    guarded(task);
}

// What a person is told goes to the activity log as well, whoever shows it.
void RecorderEngine::logEvent(const EngineEvent& e) {
    const QString text = QString::fromStdString(eventText(e));
    switch (e.code) {
        case EngineCode::SignInRefused:
        case EngineCode::RecordingStopped:
        case EngineCode::FolderBusy:
        case EngineCode::FolderMissing:
            qCWarning(lcWarning).noquote() << "Warning:" << text;
            break;
        case EngineCode::AlarmMailFailed:
            qCWarning(lcWarning).noquote() << "Warning:" << text << QString::fromStdString(e.reason);
            break;
        default:
            break;
    }
}

void RecorderEngine::publishEvent(const EngineEvent& e) {
    logEvent(e);
    emit engineEvent(e);
}

void RecorderEngine::publishPicture(const std::vector<uint8_t>& jpeg) {
    // A copy only for those who keep pictures (the web page's viewers).
    if (!isSignalConnected(QMetaMethod::fromSignal(&RecorderEngine::pictureArrived))) {
        lastPicture_.reset();
        return;
    }
    lastPicture_ = std::make_shared<const std::vector<uint8_t>>(jpeg);
    emit pictureArrived(lastPicture_);
}

}  // namespace ipcam

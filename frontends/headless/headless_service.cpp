#include "frontends/headless/headless_service.h"

#include <QCoreApplication>

#include <cstdio>

#include "frontends/headless/service_notify.h"
#include "frontends/web/web_engine_glue.h"
#include "base/activity_log.h"
#include "recording/recording_catalog.h"
#include "settings/settings_store.h"

namespace ipcam {

namespace {

// The number in "Free Space :812345M Bytes."; nothing before the first text.
std::optional<uint32_t> freeMegabytes(const QString& diskSpaceText) {
    const qsizetype colon = diskSpaceText.indexOf(QLatin1Char(':'));
    if (colon < 0) return std::nullopt;
    qsizetype end = colon + 1;
    while (end < diskSpaceText.size() && diskSpaceText[end].isDigit()) ++end;
    bool ok = false;
    const uint32_t mb = diskSpaceText.mid(colon + 1, end - colon - 1).toUInt(&ok);
    return ok ? std::optional<uint32_t>(mb) : std::nullopt;
}

}  // namespace

HeadlessService::HeadlessService(EngineOptions options, QObject* parent)
    : QObject(parent), notifier_(std::make_unique<ServiceNotifier>()) {
    options.attended = false;
    engine_ = std::make_unique<RecorderEngine>(std::move(options));
    RecorderEngine* e = engine_.get();
    // The status line is made from what a window would show, a few times a
    // second at most.
    statusTimer_.setSingleShot(true);
    statusTimer_.setInterval(250);
    connect(&statusTimer_, &QTimer::timeout, this, &HeadlessService::sendStatus);
    connect(e, &RecorderEngine::linkInfoChanged, this, [this](const QString& text) {
        linkInfo_ = text;
        if (text.startsWith(QLatin1String("Connecting to"))) {
            // A new attempt: what ended the last one is past.
            downText_.clear();
            passwordRejected_ = false;
        }
        stateChanged();
    });
    connect(e, &RecorderEngine::previewInfoChanged, this, [this](const QString& text) {
        // What ended the link (a socket error, no pictures, an answer that
        // is no picture stream) is written there as the link goes down.
        if (!engine_->linkUp() && !text.isEmpty() && text != QLatin1String("Reconnect!!")) downText_ = text;
        stateChanged();
    });
    connect(e, &RecorderEngine::warningRaised, this, [this](const QString& text) {
        if (!engine_->linkUp() && text.contains(QLatin1String("password"), Qt::CaseInsensitive)) {
            passwordRejected_ = true;
            stateChanged();
        }
    });
    connect(e, &RecorderEngine::linkChanged, this, [this](bool up) {
        if (up) {
            downText_.clear();
            passwordRejected_ = false;
        }
        stateChanged();
    });
    connect(e, &RecorderEngine::recordingChanged, this, [this](int kind) {
        // Said as each file opens: its name is its start time.
        if (kind != 0) fileStart_ = engine_->clock().now().timeOfDay();
        stateChanged();
    });
    connect(e, &RecorderEngine::diskSpaceChanged, this, &HeadlessService::stateChanged);
    connect(e, &RecorderEngine::folderChanged, this, [this](const QString& folder, const QString& missing) {
        folder_ = folder;
        missingFolder_ = missing;
        stateChanged();
    });
    // Only an attended engine asks to end the program; unattended it goes on.
    connect(e, &RecorderEngine::closeRequested, this, &HeadlessService::stop);
}

HeadlessService::~HeadlessService() {
    web_.reset();
    engine_->close();
}

void HeadlessService::start() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            qCInfo(lcApp).noquote() << "Recording without a window (headless)";
            int exitCode = 1;
            QString reason;
            try {
                engine_->activate();
            } catch (const SettingsReadError& e) {
                exitCode = kSettingsExitCode;
                reason = QString::fromUtf8(e.what());
            } catch (const SettingsWriteError& e) {
                exitCode = kSettingsExitCode;
                reason = QString::fromUtf8(e.what());
            } catch (const std::exception& e) {
                reason = QString::fromUtf8(e.what());
            }
            if (!reason.isEmpty()) {
                // Waiting would help nothing: systemd is told at once, and
                // shows the service failed with this line in its journal.
                qCCritical(lcApp).noquote() << "The recorder could not start:" << reason;
                notifier_->status(QStringLiteral("Start failed: ") + reason);
                engine_->close();
                QCoreApplication::exit(exitCode);
                return;
            }
            started_ = true;
            web_ = WebEngineGlue::startFromSettings(*engine_, {true, {}});
            sentStatus_ = composeStatus();
            notifier_->ready(QString::fromStdString(sentStatus_));
        },
        Qt::QueuedConnection);
}

void HeadlessService::stop() {
    statusTimer_.stop();
    notifier_->stopping();
    web_.reset();
    engine_->close();
    QCoreApplication::exit(0);
}

void HeadlessService::reload() {
    if (!started_ || engine_->closed()) {
        qCInfo(lcApp).noquote() << "Settings not read again: the recorder has not started";
        return;
    }
    notifier_->reloading();
    try {
        engine_->reloadSettings();
    } catch (const std::exception& e) {
        qCCritical(lcSettings).noquote() << "The settings were not read again; the recorder goes on with those it has:"
                                         << QString::fromUtf8(e.what());
    }
    WebEngineGlue::followSettings(web_, *engine_, {true, {}});
    sentStatus_ = composeStatus();
    notifier_->ready(QString::fromStdString(sentStatus_));
}

void HeadlessService::stateChanged() {
    if (started_ && !statusTimer_.isActive()) statusTimer_.start();
}

std::string HeadlessService::composeStatus() const {
    ServiceState s;
    s.linkUp = engine_->linkUp();
    if (!s.linkUp) {
        if (passwordRejected_) {
            s.linkDown = "password rejected";
        } else if (linkInfo_.endsWith(QLatin1String("is off-line."))) {
            s.linkDown = "camera off-line";
        } else if (linkInfo_.startsWith(QLatin1String("Camera address:"))) {
            s.linkDown = "camera address not usable";
        } else if (downText_ == QLatin1String("Fail to connect to IP CAM!")) {
            s.linkDown = "connection failed";
        } else if (downText_.startsWith(QLatin1String("Fail to connect to IP CAM! Reconnect"))) {
            s.linkDown = "no pictures for 60 seconds";
        } else if (!downText_.isEmpty()) {
            s.linkDown = downText_.toStdString();
        } else {
            s.linkDown = "connecting";
        }
    }
    MainController& c = engine_->controller();
    const RecordingSession& r = c.recorder().session();
    s.recordingKind = r.RecordKind;
    if (r.RecordKind != 0) {
        // The name the file will have: its start time, A for an alarm.
        RecordingName name;
        char time[16];
        std::snprintf(time, sizeof time, "%02d%02d%02d", fileStart_.hour, fileStart_.minute, fileStart_.second);
        name.time = time;
        name.mark = r.AlarmMark ? RecordingMark::Alarm : RecordingMark::Timed;
        name.format = c.codedCamera() ? RecordingFormat::Mkv : RecordingFormat::Avi;
        s.file = name.fileName();
    }
    s.freeMB = freeMegabytes(engine_->diskSpace());
    s.folder = folder_.toStdString();
    s.missingFolder = missingFolder_.toStdString();
    return serviceStatusLine(s);
}

void HeadlessService::sendStatus() {
    if (engine_->closed()) return;
    std::string line = composeStatus();
    if (line == sentStatus_) return;
    sentStatus_ = std::move(line);
    notifier_->status(QString::fromStdString(sentStatus_));
}

}  // namespace ipcam

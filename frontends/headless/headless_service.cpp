#include "frontends/headless/headless_service.h"

#include <QCoreApplication>

#include "frontends/headless/service_notify.h"
#include "frontends/web/web_engine_glue.h"
#include "base/activity_log.h"
#include "engine/engine_texts.h"
#include "settings/settings_store.h"

namespace ipcam {

HeadlessService::HeadlessService(RecorderEngine& engine, QObject* parent)
    : QObject(parent), engine_(&engine), notifier_(std::make_unique<ServiceNotifier>()) {
    attach();
}

HeadlessService::HeadlessService(EngineOptions options, QObject* parent)
    : QObject(parent),
      ownEngine_(std::make_unique<RecorderEngine>(std::move(options))),
      engine_(ownEngine_.get()),
      notifier_(std::make_unique<ServiceNotifier>()) {
    attach();
}

void HeadlessService::attach() {
    // Nobody looks at the preview: pictures are decoded only as far as
    // motion detection needs them. IPCAM_DECODE_PREVIEW=1 decodes it as a
    // window does (to compare the two).
    engine_->setPreviewWanted(qEnvironmentVariableIntValue("IPCAM_DECODE_PREVIEW") == 1);
    // The status line follows the engine's state, a few times a second at most.
    statusTimer_.setSingleShot(true);
    statusTimer_.setInterval(250);
    connect(&statusTimer_, &QTimer::timeout, this, &HeadlessService::sendStatus);
    connect(engine_, &RecorderEngine::stateChanged, this, &HeadlessService::stateChanged);
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
                engine_->start();
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
    const EngineState& st = engine_->state();
    ServiceState s;
    s.linkUp = st.link == LinkState::Up;
    if (!s.linkUp) s.linkDown = linkSummary(st);
    s.recordingKind = st.recordingKind;
    s.file = st.recordingFile.substr(st.recordingFile.rfind('/') + 1);
    if (st.freeBytes >= 0) s.freeMB = static_cast<uint32_t>(st.freeBytes >> 20);
    s.folder = st.folder.inUse;
    s.missingFolder = st.folder.missing;
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

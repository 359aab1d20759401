#include "app/headless_service.h"

#include <QCoreApplication>

#include "app/service_notify.h"
#include "base/activity_log.h"

namespace ipcam {

HeadlessService::HeadlessService(EngineOptions options, QObject* parent)
    : QObject(parent), notifier_(std::make_unique<ServiceNotifier>()) {
    options.attended = false;
    engine_ = std::make_unique<RecorderEngine>(std::move(options));
    RecorderEngine* e = engine_.get();
    // What a window would show in its link line is the service's status.
    connect(e, &RecorderEngine::linkInfoChanged, this, [this](const QString& text) {
        if (!text.isEmpty()) notifier_->status(text);
    });
    // Only an attended engine asks to end the program; unattended it goes on.
    connect(e, &RecorderEngine::closeRequested, this, &HeadlessService::stop);
}

HeadlessService::~HeadlessService() { engine_->close(); }

void HeadlessService::start() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            qCInfo(lcApp).noquote() << "Recording without a window (headless)";
            engine_->activate();
            notifier_->ready();
        },
        Qt::QueuedConnection);
}

void HeadlessService::stop() {
    notifier_->stopping();
    engine_->close();
    QCoreApplication::exit(0);
}

}  // namespace ipcam

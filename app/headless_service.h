#pragma once
// The recorder without a window: the recording engine, unattended, as a
// system service. No display and no GUI platform are needed. Boxes go to
// the activity log and the engine goes on; a rejected password is retried
// at the usual pace. systemd is told when the service is ready, is kept
// told that its event loop is alive, and is told when it stops.

#include <QObject>

#include <memory>

#include "app/recorder_engine.h"

namespace ipcam {

class ServiceNotifier;

class HeadlessService final : public QObject {
    Q_OBJECT
public:
    explicit HeadlessService(EngineOptions options, QObject* parent = nullptr);
    ~HeadlessService() override;

    // The start sequence, from the event loop.
    void start();
    // Finishes a running recording, ends the workers and leaves the event
    // loop (exit code 0).
    void stop();

    RecorderEngine& engine() { return *engine_; }

private:
    std::unique_ptr<RecorderEngine> engine_;
    std::unique_ptr<ServiceNotifier> notifier_;
};

}  // namespace ipcam

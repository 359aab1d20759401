#pragma once
// The recorder without a window: the recording engine as a system service,
// and nothing more. No display and no GUI platform are needed. What a window
// would show in a box is in the activity log (the engine logs it) and the
// engine goes on; a rejected password is retried at the usual pace. systemd is told when the service is ready, is kept
// told that its event loop is alive, what the recorder is doing (link,
// recording, free space, a missing recording folder), and when it stops.
// A start that fails ends the program at once with a non-zero exit code;
// SIGHUP (`systemctl reload`) reads the settings again.

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

#include "engine/recorder_engine.h"

namespace ipcam {

class ServiceNotifier;
class WebEngineGlue;

class HeadlessService final : public QObject {
    Q_OBJECT
public:
    // The exit code of a start that failed on the settings file (sysexits'
    // EX_CONFIG): the unit does not restart the service for it.
    static constexpr int kSettingsExitCode = 78;

    // The service of `engine`, which outlives it (the program's way).
    explicit HeadlessService(RecorderEngine& engine, QObject* parent = nullptr);
    // With an engine of its own (tests).
    explicit HeadlessService(EngineOptions options, QObject* parent = nullptr);
    ~HeadlessService() override;

    // The start sequence, from the event loop. When it fails, the program
    // ends with kSettingsExitCode (the settings file cannot be read or, on a
    // first run, written) or 1.
    void start();
    // Finishes a running recording, ends the workers and leaves the event
    // loop (exit code 0).
    void stop();
    // Reads the settings file again and connects anew; a file that cannot
    // be read leaves everything as it is.
    void reload();

    RecorderEngine& engine() { return *engine_; }
    // The status line as systemd was last told it.
    const std::string& statusLine() const { return sentStatus_; }

private:
    void stateChanged();
    std::string composeStatus() const;
    void sendStatus();

    void attach();

    std::unique_ptr<RecorderEngine> ownEngine_;
    RecorderEngine* engine_ = nullptr;
    std::unique_ptr<ServiceNotifier> notifier_;
    std::unique_ptr<WebEngineGlue> web_;  // the web page, when the settings ask for it
    bool started_ = false;
    QTimer statusTimer_;  // gathers the changes of a moment into one status line
    std::string sentStatus_;
};

}  // namespace ipcam

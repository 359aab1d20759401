#pragma once
// Tells systemd how the service is doing (sd_notify): started, still alive,
// stopping, and a one-line status for `systemctl status`. When the unit asks
// for a watchdog, the pings come from a timer on this object's event loop, so
// an event loop that hangs stops them and systemd restarts the service.
// Outside systemd (no NOTIFY_SOCKET) every call does nothing.

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace ipcam {

// What `systemctl status` shows of the recorder at a glance.
struct ServiceState {
    bool linkUp = false;
    std::string linkDown;  // why the link is down ("camera off-line")
    uint8_t recordingKind = 0;  // 1 Manual, 2 Daily, 4 Motion; 0 idle
    std::string file;           // the file being recorded ("164129T.MKV")
    std::optional<uint32_t> freeMB;
    std::string folder;         // the recording folder in use ...
    std::string missingFolder;  // ... instead of this one, which is missing
};

// "Recording Daily 164129T.MKV, link up, 812 GB free";
// "Idle, link down: camera off-line, 812 GB free"; with a missing folder,
// "..., into /var/lib/ipcam-recorder: /srv/camera is missing".
std::string serviceStatusLine(const ServiceState& state);

class ServiceNotifier final : public QObject {
    Q_OBJECT
public:
    explicit ServiceNotifier(QObject* parent = nullptr);

    // "READY=1" with a status text; starts the watchdog pings at half the
    // interval systemd asks for.
    void ready(const QString& statusText = QStringLiteral("Recording"));
    // "RELOADING=1" with the monotonic time: the settings are being read
    // again; ready() follows when they are in use.
    void reloading();
    // "STOPPING=1"; the watchdog pings end.
    void stopping();
    // "STATUS=text" (line breaks become spaces).
    void status(const QString& text);

    // The ping interval in use; zero when systemd wants no pings, or after stopping().
    std::chrono::milliseconds watchdogInterval() const {
        return std::chrono::milliseconds(watchdog_.isActive() ? watchdog_.interval() : 0);
    }

private:
    QTimer watchdog_;
};

}  // namespace ipcam

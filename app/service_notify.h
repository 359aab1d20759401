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

namespace ipcam {

class ServiceNotifier final : public QObject {
    Q_OBJECT
public:
    explicit ServiceNotifier(QObject* parent = nullptr);

    // "READY=1" with a status text; starts the watchdog pings at half the
    // interval systemd asks for.
    void ready(const QString& statusText = QStringLiteral("Recording"));
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

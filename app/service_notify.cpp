#include "app/service_notify.h"

#include <systemd/sd-daemon.h>

#include <QByteArray>

#include <algorithm>

namespace ipcam {

namespace {

// One assignment per line: a line break in the text must not start another.
QByteArray statusLine(const QString& text) {
    QByteArray utf8 = text.toUtf8();
    for (char& c : utf8)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    return "STATUS=" + utf8;
}

void send(const QByteArray& message) {
    // Returns 0 outside systemd and a negative error when the socket is gone;
    // neither is worth more than the message itself.
    (void)::sd_notify(0, message.constData());
}

}  // namespace

ServiceNotifier::ServiceNotifier(QObject* parent) : QObject(parent) {
    watchdog_.setTimerType(Qt::CoarseTimer);
    connect(&watchdog_, &QTimer::timeout, this, [] { send("WATCHDOG=1"); });
}

void ServiceNotifier::ready(const QString& statusText) {
    send("READY=1\n" + statusLine(statusText));
    if (qEnvironmentVariableIsEmpty("NOTIFY_SOCKET"))
        return;
    uint64_t usec = 0;
    // Positive only when WATCHDOG_USEC is set and WATCHDOG_PID (if set) is us.
    if (::sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        const auto half = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::microseconds(usec / 2));
        watchdog_.start(std::max(half, std::chrono::milliseconds(1)));
    }
}

void ServiceNotifier::stopping() {
    watchdog_.stop();
    send("STOPPING=1");
}

void ServiceNotifier::status(const QString& text) { send(statusLine(text)); }

}  // namespace ipcam

#include "frontends/headless/service_notify.h"

#include <systemd/sd-daemon.h>

#include <QByteArray>

#include <algorithm>
#include <ctime>

#include "base/secrets.h"

namespace ipcam {

std::string serviceStatusLine(const ServiceState& state) {
    std::string line;
    if (state.recordingKind == 0) {
        line = "Idle";
    } else {
        const uint8_t k = state.recordingKind;
        line = std::string("Recording ") + ((k & 1) ? "Manual" : (k & 2) ? "Daily" : "Motion");
        if (!state.file.empty()) line += " " + state.file;
    }
    line += state.linkUp ? ", link up" : ", link down";
    if (!state.linkUp && !state.linkDown.empty()) line += ": " + state.linkDown;
    if (state.freeMB) {
        const uint32_t mb = *state.freeMB;
        if (mb >= 10 * 1024) {
            line += ", " + std::to_string(mb / 1024) + " GB free";
        } else if (mb >= 1024) {
            line += ", " + std::to_string(mb / 1024) + "." + std::to_string(mb % 1024 * 10 / 1024) + " GB free";
        } else {
            line += ", " + std::to_string(mb) + " MB free";
        }
    }
    if (!state.missingFolder.empty()) {
        line += ", into " + state.folder + ": " + state.missingFolder + " is missing";
    }
    // Whatever a reason quotes, no password and no query value goes out.
    return maskSecrets(line);
}

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

void ServiceNotifier::reloading() {
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const unsigned long long usec =
        static_cast<unsigned long long>(now.tv_sec) * 1000000ull + static_cast<unsigned long long>(now.tv_nsec) / 1000ull;
    send("RELOADING=1\nMONOTONIC_USEC=" + QByteArray::number(usec));
}

void ServiceNotifier::stopping() {
    watchdog_.stop();
    send("STOPPING=1");
}

void ServiceNotifier::status(const QString& text) { send(statusLine(text)); }

}  // namespace ipcam

#include "app/service_notify.h"

#include <systemd/sd-daemon.h>

#include <QByteArray>

#include <algorithm>
#include <ctime>
#include <cctype>

#include "camera/mjpeg_http.h"

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
    if (!state.linkUp && !state.linkDown.empty()) line += ": " + withoutPasswords(state.linkDown);
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
    return line;
}

std::string withoutPasswords(const std::string& text) {
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        const size_t scheme = text.find("://", at);
        if (scheme == std::string::npos) break;
        size_t begin = scheme;
        while (begin > at && std::isalpha(static_cast<unsigned char>(text[begin - 1]))) --begin;
        size_t end = scheme + 3;
        while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end])) && text[end] != '"' &&
               text[end] != '\'' && text[end] != '<' && text[end] != '>')
            ++end;
        out.append(text, at, begin - at);
        const std::string url = text.substr(begin, end - begin);
        if (const auto parsed = parseCameraUrl(url, nullptr)) {
            out += redactedUrl(*parsed);
        } else {
            // Not an address we can read: whatever stands before an '@' in
            // its authority goes.
            const size_t authority = scheme + 3 - begin;
            const size_t slash = url.find('/', authority);
            const size_t atSign = url.rfind('@', slash == std::string::npos ? std::string::npos : slash);
            if (atSign != std::string::npos && atSign >= authority) {
                out += url.substr(0, authority) + "***" + url.substr(atSign);
            } else {
                out += url;
            }
        }
        at = end;
    }
    out.append(text, at, std::string::npos);
    return out;
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

#pragma once
// Shared by the end-to-end tests: loopback ports and waiting on the event
// loop with a deadline.

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>

#include <functional>
#include <vector>

#include "engine/main_controller.h"
#include "frontends/window/Unit1.h"
#include "base/camera_settings.h"

namespace ipcam::e2e {

// A port on 127.0.0.1 that was free a moment ago.
inline quint16 freePort() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

// Runs the event loop until `done` holds; false when the deadline passes.
inline bool waitUntil(const std::function<bool()>& done, int timeoutMs = 15000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// The first-run settings, but for a camera at 127.0.0.1:`streamPort` at
// 160 x 120, recording into `dir`.
inline CameraSettings loopbackSettings(const QTemporaryDir& dir, quint16 streamPort) {
    CameraSettings s;
    applyFirstRunDefaults(s, dir.path().toStdString());
    s.hostAddress = "127.0.0.1";
    s.hostPort = streamPort;
    s.resolution = 2;
    return s;
}

// The main window's options for a test: settings file and snapshot in `dir`,
// the start page on `httpPort`, every timer 50 times faster.
inline TForm1::Options loopbackOptions(const QTemporaryDir& dir, quint16 httpPort) {
    TForm1::Options o;
    o.settingsPath = dir.filePath("ipcam-recorder.INI").toStdString();
    o.snapshotPath = dir.filePath("jpeg_view01.jpg").toStdString();
    o.probePort = httpPort;
    o.timerScale = 0.02;
    return o;
}

// The records of `ipcam-sim --keep-sent`: a 4-byte little-endian length, then
// the bytes of one picture as sent. A last record still being written is left.
inline std::vector<QByteArray> readSent(const QString& path) {
    QFile f(path);
    std::vector<QByteArray> out;
    if (!f.open(QIODevice::ReadOnly)) return out;
    const QByteArray all = f.readAll();
    qsizetype at = 0;
    while (at + 4 <= all.size()) {
        uint32_t n = 0;
        for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<uint8_t>(all[at + i]);
        if (at + 4 + static_cast<qsizetype>(n) > all.size()) break;
        out.push_back(all.mid(at + 4, n));
        at += 4 + n;
    }
    return out;
}

}  // namespace ipcam::e2e

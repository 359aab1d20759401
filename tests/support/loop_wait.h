#pragma once
// Waiting on the event loop with a deadline, and a free loopback port: for
// tests that run the real engine against a simulator.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>

#include <functional>

namespace ipcam::test {

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

}  // namespace ipcam::test

#include "ipcam_sim/simulator_thread.h"

#include <QMetaObject>

#include <atomic>

namespace ipcam::sim {

SimulatorThread::SimulatorThread(SimulatorOptions options) : options_(std::move(options)) {}

SimulatorThread::~SimulatorThread() {
    if (thread_.isRunning()) {
        invoke([](CameraSimulator& s) { s.stop(); });
        thread_.quit();
        thread_.wait();
    }
}

bool SimulatorThread::start(QString* error) {
    simulator_ = new CameraSimulator(options_);
    simulator_->moveToThread(&thread_);
    QObject::connect(&thread_, &QThread::finished, simulator_, &QObject::deleteLater);
    thread_.start();
    bool ok = false;
    QString why;
    invoke([&](CameraSimulator& s) {
        ok = s.start(&why);
        streamPort_ = s.streamPort();
        httpPort_ = s.httpPort();
    });
    if (error)
        *error = why;
    return ok;
}

void SimulatorThread::invoke(const std::function<void(CameraSimulator&)>& f) {
    // Qt's blocking call already orders the call before the return; the
    // atomic makes that order visible to the race detector too (Qt's own
    // semaphore is not), so the caller may reuse what `f` read.
    std::atomic<bool> done{false};
    QMetaObject::invokeMethod(
        simulator_,
        [&] {
            f(*simulator_);
            done.store(true, std::memory_order_release);
        },
        Qt::BlockingQueuedConnection);
    (void)done.load(std::memory_order_acquire);
}

}  // namespace ipcam::sim

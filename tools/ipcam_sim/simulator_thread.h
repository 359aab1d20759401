#pragma once
// Runs a CameraSimulator on a thread of its own, for tests whose client
// blocks the calling thread (a blocking HTTP fetch, waitFor* sockets).

#include <QThread>

#include <functional>

#include "ipcam_sim/camera_simulator.h"

namespace ipcam::sim {

class SimulatorThread {
public:
    explicit SimulatorThread(SimulatorOptions options = {});
    ~SimulatorThread();
    SimulatorThread(const SimulatorThread&) = delete;
    SimulatorThread& operator=(const SimulatorThread&) = delete;

    // Starts the thread and the simulator in it; false (with a reason) when
    // the simulator cannot listen.
    bool start(QString* error = nullptr);

    quint16 streamPort() const { return streamPort_; }
    quint16 httpPort() const { return httpPort_; }

    // Runs `f` on the simulator's thread and waits for it, e.g.
    // sim.invoke([](CameraSimulator& s) { s.stall(); });
    void invoke(const std::function<void(CameraSimulator&)>& f);

private:
    SimulatorOptions options_;
    QThread thread_;
    CameraSimulator* simulator_ = nullptr;
    quint16 streamPort_ = 0;
    quint16 httpPort_ = 0;
};

}  // namespace ipcam::sim

#pragma once
// How the connection logic steers the ping worker.

namespace ipcam {

class PingControl {
public:
    virtual ~PingControl() = default;
    // cameraReachable := 0, then resume the worker.
    virtual void restart() = 0;
    // Suspend the worker; once this returns the worker cannot set
    // cameraReachable again until the next restart. Then cameraReachable := 0.
    virtual void suspend() = 0;
};

}  // namespace ipcam

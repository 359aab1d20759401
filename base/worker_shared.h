#pragma once
// State shared between the user-interface thread and the two worker threads
// (ping and alarm e-mail). Flags are atomics; texts and the settings copy are
// taken under a lock, so a worker always sees a whole value.

#include <atomic>
#include <mutex>
#include <string>

#include "base/camera_settings.h"

namespace ipcam {

class WorkerShared {
public:
    std::atomic<bool> cameraReachable{false};
    std::atomic<bool> alarmEmailArmed{false};

    void setCameraTitle(std::string title) {
        std::lock_guard lock(mutex_);
        cameraTitle_ = std::move(title);
    }
    std::string cameraTitle() const {
        std::lock_guard lock(mutex_);
        return cameraTitle_;
    }

    // The user-interface thread publishes slot 0 whenever it changes; workers
    // read a copy at the start of each job or pass.
    void publishSettings(const CameraSettings& s) {
        std::lock_guard lock(mutex_);
        settings_ = s;
    }
    CameraSettings settings() const {
        std::lock_guard lock(mutex_);
        return settings_;
    }

private:
    mutable std::mutex mutex_;
    std::string cameraTitle_;
    CameraSettings settings_;
};

}  // namespace ipcam

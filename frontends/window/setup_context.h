#pragma once
// What the setup dialog and the alarm e-mail setup dialog need from the main
// window: the record they edit (camera slot 0), the settings file, the clock
// for today's day tab, the flags shared with the workers, and a few callbacks.
// The main window builds one and hands it to both dialogs.

#include <functional>
#include <string>

#include "base/clock.h"
#include "base/worker_shared.h"
#include "base/camera_settings.h"
#include "settings/settings_store.h"

namespace ipcam {

struct SetupContext {
    CameraSettings& record;  // slot 0, owned by the main window
    SettingsStore& store;
    const Clock& clock;      // today's day of the week
    WorkerShared& shared;    // alarmEmailArmed; workers' copy of the record

    // SaveSettings(0): writes the record and re-applies the main window's
    // layout for its resolution. May throw (SettingsWriteError). When empty,
    // the dialogs write the record through `store` themselves.
    std::function<void()> saveSettings;
    // The directory the first-run defaults use for recordings. When empty,
    // the process's working directory.
    std::function<std::string()> fallbackDirectory;
    // MotionPhase := 0 (the motion detector skips a picture and then takes a
    // new reference).
    std::function<void()> resetMotionPhase;
    // A modal folder chooser starting at `start` ("" = its own default);
    // returns the chosen (possibly new) folder, or "" on cancel. When empty,
    // the setup dialog opens its own chooser.
    std::function<std::string(const std::string& start)> chooseDirectory;
    // A modal "Warning!" box. When empty, a QMessageBox is shown.
    std::function<void(const std::string& text)> showWarning;
    // The seconds the pre-roll holds when its bound in bytes cuts it short
    // of those asked (large pictures), 0 when it does not; shown beside the
    // pre-roll field. May be empty.
    std::function<int()> prerollKeptSeconds;
};

}  // namespace ipcam

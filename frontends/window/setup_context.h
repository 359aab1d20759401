#pragma once
// What the setup dialog and the alarm e-mail setup dialog need from the main
// window: the copy of the settings they edit, the clock for today's day tab,
// and the engine's settings commands. The main window builds one and hands it
// to both dialogs; nothing they type is in force before it is applied.

#include <functional>
#include <optional>
#include <string>

#include "base/camera_settings.h"
#include "base/clock.h"
#include "settings/settings_validation.h"

namespace ipcam {

struct SetupContext {
    CameraSettings& record;  // the copy both dialogs edit (camera slot 0)
    const Clock& clock;      // today's day of the week

    // The settings in force (a copy), or nothing when there is no settings
    // file (the dialog then shows the first-run values).
    std::function<std::optional<CameraSettings>()> current;
    // Puts a whole record in force and saves it: the first problem found
    // (nothing changed then), or nothing.
    std::function<std::optional<SettingsProblem>(const CameraSettings&)> apply;
    // Alarm e-mails may be sent again (after the mail settings were saved).
    std::function<void()> armAlarmMail;
    // The directory the first-run defaults use for recordings. When empty,
    // the process's working directory.
    std::function<std::string()> fallbackDirectory;
    // MotionPhase := 0 (the motion detector skips a picture and then takes a
    // new reference). May be empty.
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

#pragma once
// The settings as the web page shows and sends them: every field of the
// setup and e-mail dialogs, named by its key in the settings file. Passwords
// never go to the browser: they are null ("unchanged"), and null or absent
// when sent back keeps them; the camera URL goes with its password masked,
// and the masked text sent back keeps the URL as it is.

#include <QJsonObject>

#include <optional>
#include <string>

#include "base/camera_settings.h"
#include "settings/settings_validation.h"

namespace ipcam {

QJsonObject settingsToJson(const CameraSettings& settings);

// A field the page sent that cannot be taken: its key and why.
struct WebSettingsProblem {
    std::string field;
    std::string code;
    std::string text;
};

// `sent` over `current`: the fields the page sent (each optional), through
// the same checks the dialogs make. The new record, or the first problem.
std::optional<WebSettingsProblem> settingsFromJson(const QJsonObject& sent, const CameraSettings& current,
                                                   CameraSettings& out);

WebSettingsProblem toWebProblem(const SettingsProblem& problem);

}  // namespace ipcam

#pragma once
// The checks a settings record passes before it is saved, one for every
// front end: each problem names the field, a code a program can act on and
// the text the user is shown. The dialogs show the first problem and put the
// focus on its field.

#include <cstdint>
#include <optional>
#include <string>

#include "base/camera_settings.h"

namespace ipcam {

// The checked fields, named after their keys in the settings file.
enum class SettingsField {
    CameraUrl,             // Camera_URL
    PreviewUrl,            // Camera_Preview_URL
    MotionPrerollSeconds,  // Motion_Preroll_Seconds
    KeepDays,              // Keep_Days
    CameraSnapshotRate,    // Camera_Snapshot_Rate
    SmtpServer,            // SMTP_Server
    SmtpSender,            // SMTP_Sender
    SmtpReceiver,          // SMTP_Receiver
    SmtpCopy,              // SMTP_Copy
    SmtpEmailAccount,      // SMTP_EmailAccount
    SmtpEmailPassword,     // SMTP_EmailPassword
    WebAddress,            // Web_Address
    File,                  // the settings file itself
};

enum class SettingsCode {
    BadAddress,        // a camera URL that cannot be used, even with its credentials %-escaped
    Empty,             // a number left empty
    NotANumber,        // anything but digits (a sign or a point included)
    OutOfRange,        // a whole number outside the field's range
    ControlCharacter,  // a line break or other control character in a mail field
    NotWritten,        // the settings file could not be written: nothing changed
};

// The field's key in the settings file.
const char* settingsKey(SettingsField field);

struct SettingsProblem {
    SettingsField field;
    SettingsCode code;
    std::string text;
    bool operator==(const SettingsProblem&) const = default;
};

// The setup dialog's checked boxes, as typed.
struct SetupTexts {
    std::string cameraUrl;
    std::string motionPrerollSeconds;
    std::string keepDays;
    std::string snapshotRate = std::to_string(kDefaultSnapshotRate);
    std::string previewUrl;
};

// The e-mail dialog's six boxes, as typed.
struct MailTexts {
    std::string smtpServer;
    std::string smtpSender;
    std::string smtpReceiver;
    std::string smtpCopy;
    std::string smtpEmailAccount;
    std::string smtpEmailPassword;
};

// Checks the texts in the order the setup dialog's fields are checked and
// returns the first problem, leaving `record` as it was. Otherwise the values
// go into `record`: the camera URL trimmed and a user name or password pasted
// as it is ("pass/word") %-escaped, the numbers without the blanks around them.
// The texts never hold the URL, so a log of them shows no password.
std::optional<SettingsProblem> takeSetupTexts(const SetupTexts& texts, CameraSettings& record);

// The same for the mail fields: every one ends up in a mail command or header
// line, where a control character would smuggle in commands of its own.
std::optional<SettingsProblem> takeMailTexts(const MailTexts& texts, CameraSettings& record);

// Web_Address split into its host (an IPv4 address, or an IPv6 address in
// brackets, given without them) and port (1 to 65535); nullopt for anything
// else. The web page listens on exactly this address.
struct WebListenAddress {
    std::string host;
    uint16_t port = 0;
};
std::optional<WebListenAddress> parseWebAddress(const std::string& text);
// Empty (no web page) or an address parseWebAddress takes.
std::optional<SettingsProblem> checkWebAddress(const std::string& text);

// The first problem of a whole record, as the two dialogs would find it
// (setup fields first), or nullopt when both would save it.
std::optional<SettingsProblem> validateSettings(const CameraSettings& record);

}  // namespace ipcam

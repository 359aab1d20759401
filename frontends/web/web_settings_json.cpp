#include "frontends/web/web_settings_json.h"

#include <QJsonArray>

#include "base/secrets.h"

namespace ipcam {

namespace {

const char* codeName(SettingsCode code) {
    switch (code) {
    case SettingsCode::BadAddress: return "BadAddress";
    case SettingsCode::Empty: return "Empty";
    case SettingsCode::NotANumber: return "NotANumber";
    case SettingsCode::OutOfRange: return "OutOfRange";
    case SettingsCode::ControlCharacter: return "ControlCharacter";
    case SettingsCode::NotWritten: return "NotWritten";
    }
    return "";
}

QString q(const std::string& s) { return QString::fromStdString(s); }

struct Small {
    const char* key;
    uint8_t CameraSettings::*field;
    int max;
};
constexpr Small kSmall[] = {
    {"Motion_Detection_Enabled", &CameraSettings::motionDetectionEnabled, 1},
    {"Motion_sensitivity", &CameraSettings::motionSensitivity, 10},
    {"Resolution", &CameraSettings::resolution, 2},
    {"Frequency", &CameraSettings::frequency, 1},
    {"Quality", &CameraSettings::quality, 2},
    {"Brightness", &CameraSettings::brightness, 2},
    {"Orientation", &CameraSettings::orientation, 1},
    {"Alarm_Email_Enabled", &CameraSettings::alarmEmailEnabled, 1},
    {"SMTP_Auth_Enabled", &CameraSettings::smtpAuthEnabled, 1},
};

}  // namespace

WebSettingsProblem toWebProblem(const SettingsProblem& problem) {
    return {settingsKey(problem.field), codeName(problem.code), problem.text};
}

QJsonObject settingsToJson(const CameraSettings& s) {
    QJsonObject o{{"Host_Addr", q(s.hostAddress)},
                  {"Host_Port", s.hostPort},
                  {"IPCAM_Password", QJsonValue::Null},
                  {"Descriptor", q(s.descriptor)},
                  {"AVI_Directory", q(s.aviDirectory)},
                  {"SMTP_Server", q(s.smtpServer)},
                  {"SMTP_Sender", q(s.smtpSender)},
                  {"SMTP_Receiver", q(s.smtpReceiver)},
                  {"SMTP_Copy", q(s.smtpCopy)},
                  {"SMTP_EmailAccount", q(s.smtpEmailAccount)},
                  {"SMTP_EmailPassword", QJsonValue::Null},
                  {"Motion_Preroll_Seconds", s.motionPrerollSeconds},
                  {"Keep_Days", s.keepDays},
                  {"Camera_URL", q(redactAddress(s.cameraUrl))},
                  {"Camera_Preview_URL", q(redactAddress(s.previewUrl))},
                  {"Camera_Snapshot_Rate", s.snapshotRate},
                  {"Web_Address", q(s.webAddress)},
                  {"Web_User", q(s.webUser)}};
    for (const Small& f : kSmall)
        o[f.key] = s.*f.field;
    QJsonArray days;
    for (int d = 0; d < kDaysPerWeek; ++d) {
        QJsonArray hours;
        for (int h = 0; h < kHoursPerDay; ++h)
            hours.append(s.schedule.at(d, h) != 0 ? 1 : 0);
        days.append(hours);
    }
    o["Schedule"] = days;
    return o;
}

std::optional<WebSettingsProblem> settingsFromJson(const QJsonObject& sent, const CameraSettings& current,
                                                   CameraSettings& out) {
    CameraSettings r = current;
    auto bad = [](const char* key, const std::string& text) {
        return WebSettingsProblem{key, "BadValue", text};
    };
    auto text = [&](const char* key, std::string& field) -> bool {
        const QJsonValue v = sent.value(key);
        if (v.isUndefined())
            return true;
        if (!v.isString())
            return false;
        field = v.toString().toStdString();
        return true;
    };
    auto number = [&](const char* key, int max, int& value) -> bool {
        const QJsonValue v = sent.value(key);
        if (v.isUndefined())
            return true;
        if (!v.isDouble() || v.toDouble() != static_cast<double>(v.toInt()) || v.toInt() < 0 || v.toInt() > max)
            return false;
        value = v.toInt();
        return true;
    };

    if (!text("Host_Addr", r.hostAddress) || r.hostAddress.size() > 255)
        return bad("Host_Addr", "The camera address must be a text.");
    int port = r.hostPort;
    if (!number("Host_Port", 65535, port))
        return bad("Host_Port", "The port must be a whole number from 0 to 65535.");
    r.hostPort = static_cast<uint16_t>(port);
    const QJsonValue password = sent.value("IPCAM_Password");
    if (password.isString())
        r.cameraPassword = password.toString().toStdString();
    else if (!password.isUndefined() && !password.isNull())
        return bad("IPCAM_Password", "The password must be a text.");
    if (!text("AVI_Directory", r.aviDirectory))
        return bad("AVI_Directory", "The recording folder must be a text.");
    for (const char* key : {"Host_Addr", "IPCAM_Password", "AVI_Directory"}) {
        const std::string& v = std::string(key) == "Host_Addr" ? r.hostAddress
                               : std::string(key) == "AVI_Directory" ? r.aviDirectory
                                                                     : r.cameraPassword;
        for (char c : v)
            if (static_cast<unsigned char>(c) < 0x20)
                return bad(key, "The field holds a control character (such as a line break).");
    }
    for (const Small& f : kSmall) {
        int v = r.*f.field;
        if (!number(f.key, f.max, v))
            return bad(f.key, std::string("The value must be a whole number from 0 to ") + std::to_string(f.max) + ".");
        r.*f.field = static_cast<uint8_t>(v);
    }
    const QJsonValue schedule = sent.value("Schedule");
    if (!schedule.isUndefined()) {
        const QJsonArray days = schedule.toArray();
        if (!schedule.isArray() || days.size() != kDaysPerWeek)
            return bad("Schedule", "The schedule must be 7 days of 24 hours.");
        for (int d = 0; d < kDaysPerWeek; ++d) {
            const QJsonArray hours = days[d].toArray();
            if (hours.size() != kHoursPerDay)
                return bad("Schedule", "The schedule must be 7 days of 24 hours.");
            for (int h = 0; h < kHoursPerDay; ++h)
                r.schedule.at(d, h) = hours[h].toInt() != 0 || hours[h].toBool() ? 1 : 0;
        }
    }

    // The setup dialog's checked boxes, as typed, through its checks.
    auto typed = [&](const char* key, const std::string& fallback) -> std::optional<std::string> {
        const QJsonValue v = sent.value(key);
        if (v.isUndefined())
            return fallback;
        if (v.isString())
            return v.toString().toStdString();
        if (v.isDouble())
            return QString::number(v.toDouble(), 'g', 17).toStdString();
        return std::nullopt;
    };
    std::string cameraUrl = current.cameraUrl;
    if (!text("Camera_URL", cameraUrl))
        return bad("Camera_URL", "The camera URL must be a text.");
    if (cameraUrl == redactAddress(current.cameraUrl))
        cameraUrl = current.cameraUrl;  // sent back as shown: unchanged
    std::string previewUrl = current.previewUrl;
    if (!text("Camera_Preview_URL", previewUrl))
        return bad("Camera_Preview_URL", "The preview URL must be a text.");
    if (previewUrl == redactAddress(current.previewUrl))
        previewUrl = current.previewUrl;  // sent back as shown: unchanged
    const auto rate = typed("Camera_Snapshot_Rate", std::to_string(current.snapshotRate));
    if (!rate)
        return toWebProblem({SettingsField::CameraSnapshotRate, SettingsCode::NotANumber,
                             "Snapshot pictures a second must be a whole number."});
    const auto preroll = typed("Motion_Preroll_Seconds", std::to_string(current.motionPrerollSeconds));
    const auto keep = typed("Keep_Days", std::to_string(current.keepDays));
    if (!preroll)
        return toWebProblem({SettingsField::MotionPrerollSeconds, SettingsCode::NotANumber,
                             "Pre-record seconds must be a whole number."});
    if (!keep)
        return toWebProblem({SettingsField::KeepDays, SettingsCode::NotANumber, "Days to keep recordings must be a whole number."});
    if (auto problem = takeSetupTexts({cameraUrl, *preroll, *keep, *rate, previewUrl}, r))
        return toWebProblem(*problem);

    MailTexts mail{r.smtpServer, r.smtpSender, r.smtpReceiver, r.smtpCopy, r.smtpEmailAccount, r.smtpEmailPassword};
    const struct {
        const char* key;
        std::string& field;
    } mailFields[] = {{"SMTP_Server", mail.smtpServer},   {"SMTP_Sender", mail.smtpSender},
                      {"SMTP_Receiver", mail.smtpReceiver}, {"SMTP_Copy", mail.smtpCopy},
                      {"SMTP_EmailAccount", mail.smtpEmailAccount}};
    for (const auto& f : mailFields)
        if (!text(f.key, f.field))
            return bad(f.key, "The field must be a text.");
    const QJsonValue mailPassword = sent.value("SMTP_EmailPassword");
    if (mailPassword.isString())
        mail.smtpEmailPassword = mailPassword.toString().toStdString();
    else if (!mailPassword.isUndefined() && !mailPassword.isNull())
        return bad("SMTP_EmailPassword", "The password must be a text.");
    if (auto problem = takeMailTexts(mail, r))
        return toWebProblem(*problem);
    // The web page's own settings are not changed from the page.
    out = r;
    return std::nullopt;
}

}  // namespace ipcam

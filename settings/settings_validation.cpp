#include "settings/settings_validation.h"

#include <QHostAddress>
#include <QString>
#include <algorithm>

#include "camera/mjpeg_http.h"
#include "mail/mail_message.h"

namespace ipcam {

namespace {

constexpr const char* kNothingSaved = ". Please correct it; nothing was saved.";

std::string trimmed(const std::string& text) { return QString::fromStdString(text).trimmed().toStdString(); }

// A whole number from 0 to `max`, blanks around it allowed.
std::optional<SettingsProblem> wholeNumberUpTo(SettingsField field, const std::string& typed, int max,
                                               const std::string& text, int& value) {
    const std::string digits = trimmed(typed);
    if (digits.empty())
        return SettingsProblem{field, SettingsCode::Empty, text};
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return SettingsProblem{field, SettingsCode::NotANumber, text};
    bool ok = false;
    value = QString::fromStdString(digits).toInt(&ok);
    if (!ok || value > max)
        return SettingsProblem{field, SettingsCode::OutOfRange, text};
    return std::nullopt;
}

}  // namespace

const char* settingsKey(SettingsField field) {
    switch (field) {
    case SettingsField::CameraUrl: return "Camera_URL";
    case SettingsField::PreviewUrl: return "Camera_Preview_URL";
    case SettingsField::MotionPrerollSeconds: return "Motion_Preroll_Seconds";
    case SettingsField::KeepDays: return "Keep_Days";
    case SettingsField::CameraSnapshotRate: return "Camera_Snapshot_Rate";
    case SettingsField::SmtpServer: return "SMTP_Server";
    case SettingsField::SmtpSender: return "SMTP_Sender";
    case SettingsField::SmtpReceiver: return "SMTP_Receiver";
    case SettingsField::SmtpCopy: return "SMTP_Copy";
    case SettingsField::SmtpEmailAccount: return "SMTP_EmailAccount";
    case SettingsField::SmtpEmailPassword: return "SMTP_EmailPassword";
    case SettingsField::WebAddress: return "Web_Address";
    case SettingsField::File: return "";
    }
    return "";
}

// A camera URL as typed: trimmed, credentials %-escaped; empty stays empty.
std::optional<SettingsProblem> cameraAddress(SettingsField field, const char* name, const std::string& typed,
                                             std::string& url) {
    url = trimmed(typed);
    if (url.empty()) return std::nullopt;
    std::string reason;
    const auto escaped = escapeCameraUrl(url, &reason);
    if (!escaped) {
        return SettingsProblem{field, SettingsCode::BadAddress,
                               std::string("The ") + name + " is not usable: " + reason + kNothingSaved};
    }
    url = *escaped;
    return std::nullopt;
}

std::optional<SettingsProblem> takeSetupTexts(const SetupTexts& texts, CameraSettings& record) {
    std::string cameraUrl;
    if (auto problem = cameraAddress(SettingsField::CameraUrl, "camera URL", texts.cameraUrl, cameraUrl))
        return problem;
    std::string previewUrl;
    if (auto problem = cameraAddress(SettingsField::PreviewUrl, "preview URL", texts.previewUrl, previewUrl))
        return problem;
    int preroll = 0;
    if (auto problem = wholeNumberUpTo(SettingsField::MotionPrerollSeconds, texts.motionPrerollSeconds,
                                       kMaxPrerollSeconds,
                                       "Pre-record seconds must be a whole number from 0 to " +
                                           std::to_string(kMaxPrerollSeconds) + kNothingSaved,
                                       preroll))
        return problem;
    int keepDays = 0;
    if (auto problem = wholeNumberUpTo(SettingsField::KeepDays, texts.keepDays, kMaxKeepDays,
                                       "Days to keep recordings must be a whole number from 0 to " +
                                           std::to_string(kMaxKeepDays) +
                                           " (0 = only when the disk runs short)" + kNothingSaved,
                                       keepDays))
        return problem;
    int snapshotRate = 0;
    const std::string rateText = "Snapshot pictures a second must be a whole number from " +
                                 std::to_string(kMinSnapshotRate) + " to " + std::to_string(kMaxSnapshotRate) +
                                 kNothingSaved;
    if (auto problem = wholeNumberUpTo(SettingsField::CameraSnapshotRate, texts.snapshotRate, kMaxSnapshotRate,
                                       rateText, snapshotRate))
        return problem;
    if (snapshotRate < kMinSnapshotRate)
        return SettingsProblem{SettingsField::CameraSnapshotRate, SettingsCode::OutOfRange, rateText};
    record.cameraUrl = cameraUrl;
    record.previewUrl = previewUrl;
    record.motionPrerollSeconds = static_cast<uint8_t>(preroll);
    record.keepDays = static_cast<uint16_t>(keepDays);
    record.snapshotRate = static_cast<uint8_t>(snapshotRate);
    return std::nullopt;
}

std::optional<SettingsProblem> takeMailTexts(const MailTexts& texts, CameraSettings& record) {
    struct Field {
        SettingsField field;
        const char* caption;  // the box's caption in the e-mail dialog
        const std::string& typed;
        std::string& stored;
    };
    const Field fields[] = {
        {SettingsField::SmtpServer, "SMTP Server", texts.smtpServer, record.smtpServer},
        {SettingsField::SmtpSender, "Sender(From)", texts.smtpSender, record.smtpSender},
        {SettingsField::SmtpReceiver, "Receiver(To)", texts.smtpReceiver, record.smtpReceiver},
        {SettingsField::SmtpCopy, "Copy(Cc)", texts.smtpCopy, record.smtpCopy},
        {SettingsField::SmtpEmailAccount, "Email Account", texts.smtpEmailAccount, record.smtpEmailAccount},
        {SettingsField::SmtpEmailPassword, "Email Password", texts.smtpEmailPassword, record.smtpEmailPassword},
    };
    for (const Field& f : fields) {
        if (hasControlCharacter(f.typed)) {
            return SettingsProblem{f.field, SettingsCode::ControlCharacter,
                                   std::string("The field \"") + f.caption +
                                       "\" holds a control character (such as a line break)" + kNothingSaved};
        }
    }
    for (const Field& f : fields)
        f.stored = f.typed;
    return std::nullopt;
}

std::optional<WebListenAddress> parseWebAddress(const std::string& text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size() || text.size() > 64)
        return std::nullopt;
    const std::string portText = text.substr(colon + 1);
    if (portText.size() > 5 || !std::all_of(portText.begin(), portText.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const int port = std::stoi(portText);
    if (port < 1 || port > 65535)
        return std::nullopt;
    std::string host = text.substr(0, colon);
    QHostAddress address;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        if (!address.setAddress(QString::fromStdString(host)) || address.protocol() != QAbstractSocket::IPv6Protocol)
            return std::nullopt;
    } else if (!address.setAddress(QString::fromStdString(host)) ||
               address.protocol() != QAbstractSocket::IPv4Protocol) {
        return std::nullopt;
    }
    // Only the plain dotted (or IPv6) form: "1" or "0x7f.1" are not taken.
    if (address.toString().toStdString() != host && address.protocol() == QAbstractSocket::IPv4Protocol)
        return std::nullopt;
    return WebListenAddress{host, static_cast<uint16_t>(port)};
}

std::optional<SettingsProblem> checkWebAddress(const std::string& text) {
    if (text.empty() || parseWebAddress(text))
        return std::nullopt;
    return SettingsProblem{SettingsField::WebAddress, SettingsCode::BadAddress,
                           "The web page address must be an IP address and a port, such as 127.0.0.1:8088 "
                           "(empty: no web page)" + std::string(kNothingSaved)};
}

std::optional<SettingsProblem> validateSettings(const CameraSettings& record) {
    CameraSettings copy = record;
    if (auto problem = takeSetupTexts({record.cameraUrl, std::to_string(record.motionPrerollSeconds),
                                       std::to_string(record.keepDays), std::to_string(record.snapshotRate), record.previewUrl},
                                      copy))
        return problem;
    if (auto problem = takeMailTexts({record.smtpServer, record.smtpSender, record.smtpReceiver, record.smtpCopy,
                                      record.smtpEmailAccount, record.smtpEmailPassword},
                                     copy))
        return problem;
    return checkWebAddress(record.webAddress);
}

}  // namespace ipcam

#include "settings/settings_store.h"
#include "base/activity_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>

#include "base/secrets.h"
#include "camera/mjpeg_http.h"
#include "settings/ini_file.h"

namespace ipcam {

namespace {

std::string sectionName(int slot) { return "IPCAM_" + std::to_string(slot + 1); }

std::string scheduleKey(int day, int hour) {
    return "TimeBlock" + std::to_string(day) + "_" + std::to_string(hour);
}

uint8_t lowByte(int32_t v) { return static_cast<uint8_t>(static_cast<uint32_t>(v) & 0xFFu); }
uint8_t flag(int32_t v) { return v != 0 ? 1 : 0; }

// The record's passwords, so that the activity log masks them wherever
// they might appear.
void registerSecrets(const CameraSettings& s) {
    setSecrets("IPCAM_Password", {s.cameraPassword});
    setSecrets("Camera_URL", cameraUrlSecrets(s.cameraUrl));
    setSecrets("Camera_Preview_URL", cameraUrlSecrets(s.previewUrl));
    setSecrets("SMTP_EmailPassword", {s.smtpEmailPassword});
    setSecrets("Web_Password_Hash", {s.webPasswordHash});
}

}  // namespace

int32_t decimalLong(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' || text[i] == '\r' ||
                               text[i] == '\v' || text[i] == '\f'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Unsigned arithmetic wraps modulo 2^32, as 32-bit arithmetic does.
    uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10u + static_cast<uint32_t>(text[i] - '0');
    if (negative)
        value = 0u - value;
    return static_cast<int32_t>(value);
}

SettingsStore::SettingsStore(std::string iniPath) : path_(std::move(iniPath)) {}

std::string SettingsStore::pathForProgram(const std::string& programPath) {
    const size_t slash = programPath.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = programPath.rfind('.');
    // A dot at the start of the name (a hidden file) does not begin an extension.
    if (dot != std::string::npos && dot > nameStart)
        return programPath.substr(0, dot) + ".INI";
    return programPath + ".INI";
}

bool SettingsStore::exists() const {
    struct stat info {};
    return ::stat(path_.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

void SettingsStore::loadStrict(CameraSettings& s, int slot) const {
    const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno != ENOENT)
        throw SettingsReadError("The settings file " + path_ + " cannot be read: " + std::strerror(errno));
    if (fd >= 0)
        ::close(fd);
    load(s, slot);
}

void SettingsStore::load(CameraSettings& s, int slot) const {
    const IniFile ini = IniFile::read(path_);
    const std::string section = sectionName(slot);
    auto text = [&](const char* key) { return ini.readString(section, key); };
    auto integer = [&](const char* key) { return ini.readInteger(section, key, 0); };

    s.hostAddress = text("Host_Addr");
    s.hostPort = static_cast<uint16_t>(static_cast<uint32_t>(decimalLong(text("Host_Port"))) & 0xFFFFu);
    s.cameraPassword = text("IPCAM_Password");
    s.descriptor = text("Descriptor");
    s.aviDirectory = text("AVI_Directory");

    s.motionDetectionEnabled = flag(integer("Motion_Detection_Enabled"));
    s.motionSensitivity = lowByte(integer("Motion_sensitivity"));
    s.resolution = lowByte(integer("Resolution"));
    s.frequency = lowByte(integer("Frequency"));
    s.quality = lowByte(integer("Quality"));
    s.brightness = lowByte(integer("Brightness"));
    s.orientation = lowByte(integer("Orientation"));

    for (int d = 0; d < kDaysPerWeek; ++d)
        for (int h = 0; h < kHoursPerDay; ++h)
            s.schedule.at(d, h) = lowByte(ini.readInteger(section, scheduleKey(d, h), 0));

    s.alarmEmailEnabled = flag(integer("Alarm_Email_Enabled"));
    s.smtpServer = text("SMTP_Server");
    s.smtpSender = text("SMTP_Sender");
    s.smtpReceiver = text("SMTP_Receiver");
    s.smtpCopy = text("SMTP_Copy");
    s.smtpEmailAccount = text("SMTP_EmailAccount");
    s.smtpEmailPassword = text("SMTP_EmailPassword");
    s.smtpAuthEnabled = flag(integer("SMTP_Auth_Enabled"));
    // A hand-edited number out of range is taken at the nearest end.
    s.motionPrerollSeconds = static_cast<uint8_t>(std::clamp(integer("Motion_Preroll_Seconds"), 0, kMaxPrerollSeconds));
    s.keepDays = static_cast<uint16_t>(std::clamp(integer("Keep_Days"), 0, kMaxKeepDays));
    s.cameraUrl = text("Camera_URL");
    s.previewUrl = text("Camera_Preview_URL");
    s.snapshotRate = static_cast<uint8_t>(std::clamp(ini.readInteger(section, "Camera_Snapshot_Rate", kDefaultSnapshotRate),
                                                     kMinSnapshotRate, kMaxSnapshotRate));
    s.webAddress = text("Web_Address");
    s.webUser = text("Web_User");
    if (s.webUser.empty()) s.webUser = "admin";
    s.webPasswordHash = text("Web_Password_Hash");
    s.webTlsCert = text("Web_TLS_Cert");
    s.webTlsKey = text("Web_TLS_Key");
    registerSecrets(s);
}

void SettingsStore::save(const CameraSettings& s, int slot) const {
    IniFile ini;
    try {
        ini = IniFile::readForUpdate(path_);
    } catch (const IniWriteError& e) {
        throw SettingsWriteError(std::string("The settings could not be saved: ") + e.what());
    }
    registerSecrets(s);
    const std::string section = sectionName(slot);
    // A text with a line break is refused before anything is written, so
    // the file never holds something other than what the record holds.
    auto text = [&](const char* key, const std::string& value) {
        try {
            ini.writeString(section, key, value);
        } catch (const IniWriteError& e) {
            throw SettingsWriteError(std::string("The settings could not be saved: ") + e.what());
        }
    };
    auto number = [&](const std::string& key, unsigned value) { ini.writeString(section, key, std::to_string(value)); };

    text("Host_Addr", s.hostAddress);
    number("Host_Port", s.hostPort);
    text("IPCAM_Password", s.cameraPassword);
    text("Descriptor", s.descriptor);
    text("AVI_Directory", s.aviDirectory);

    number("Motion_Detection_Enabled", s.motionDetectionEnabled);
    number("Motion_sensitivity", s.motionSensitivity);
    number("Resolution", s.resolution);
    number("Frequency", s.frequency);
    number("Quality", s.quality);
    number("Brightness", s.brightness);
    number("Orientation", s.orientation);

    for (int d = 0; d < kDaysPerWeek; ++d)
        for (int h = 0; h < kHoursPerDay; ++h)
            number(scheduleKey(d, h), s.schedule.at(d, h));

    number("Alarm_Email_Enabled", s.alarmEmailEnabled);
    text("SMTP_Server", s.smtpServer);
    text("SMTP_Sender", s.smtpSender);
    text("SMTP_Receiver", s.smtpReceiver);
    text("SMTP_Copy", s.smtpCopy);
    text("SMTP_EmailAccount", s.smtpEmailAccount);
    text("SMTP_EmailPassword", s.smtpEmailPassword);
    number("SMTP_Auth_Enabled", s.smtpAuthEnabled);
    number("Motion_Preroll_Seconds", s.motionPrerollSeconds);
    number("Keep_Days", s.keepDays);
    text("Camera_URL", s.cameraUrl);
    text("Camera_Preview_URL", s.previewUrl);
    number("Camera_Snapshot_Rate", s.snapshotRate);
    text("Web_Address", s.webAddress);
    text("Web_User", s.webUser);
    text("Web_Password_Hash", s.webPasswordHash);
    text("Web_TLS_Cert", s.webTlsCert);
    text("Web_TLS_Key", s.webTlsKey);

    try {
        ini.writeTo(path_);
    } catch (const IniWriteError& e) {
        throw SettingsWriteError(std::string("The settings could not be saved: ") + e.what());
    }
    qCInfo(lcSettings).noquote() << "Settings saved to" << QString::fromStdString(path_);
}

}  // namespace ipcam

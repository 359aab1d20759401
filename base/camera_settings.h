#pragma once
// One camera slot's settings: the in-memory image of its section of the
// settings file. Plain value type; the main window owns the table.

#include <array>
#include <cstdint>
#include <string>

namespace ipcam {

constexpr int kDaysPerWeek = 7;
constexpr int kHoursPerDay = 24;

// A Motion recording may begin with at most this many seconds of the
// pictures before the motion.
constexpr int kMaxPrerollSeconds = 10;
// ... and of at most this many MiB (10 s of a 1920 x 1080 camera at 25/s).
constexpr int kMaxPrerollMiB = 64;
// Recordings may be kept for at most this many days (0 keeps them until the
// disk runs short).
constexpr int kMaxKeepDays = 3650;
// A camera that answers one picture a request is asked at most this often
// a second (Camera_Snapshot_Rate).
constexpr int kMinSnapshotRate = 1;
constexpr int kMaxSnapshotRate = 30;
constexpr int kDefaultSnapshotRate = 2;

// 7 x 24 bytes, day-major, day 0 = Sunday .. 6 = Saturday. Non-zero = record
// during that hour.
struct WeekSchedule {
    std::array<uint8_t, kDaysPerWeek * kHoursPerDay> bytes{};

    uint8_t at(int day, int hour) const { return bytes[static_cast<size_t>(day * kHoursPerDay + hour)]; }
    uint8_t& at(int day, int hour) { return bytes[static_cast<size_t>(day * kHoursPerDay + hour)]; }
    bool operator==(const WeekSchedule&) const = default;
};

struct CameraSettings {
    std::string hostAddress;      // Host_Addr
    uint16_t hostPort = 0;        // Host_Port
    std::string cameraPassword;   // IPCAM_Password
    std::string descriptor;       // Descriptor
    std::string aviDirectory;     // AVI_Directory
    uint8_t motionDetectionEnabled = 0;  // Motion_Detection_Enabled (0/1)
    uint8_t motionSensitivity = 0;       // Motion_sensitivity
    uint8_t resolution = 0;              // 0 = 640x480, 1 = 320x240, 2 = 160x120
    uint8_t frequency = 0;               // 0 = 50 Hz, 1 = 60 Hz
    uint8_t quality = 0;                 // 0 High, 1 Middle, 2 Low
    uint8_t brightness = 0;              // 0 High, 1 Middle, 2 Low
    uint8_t orientation = 0;             // 0 Normal, 1 Upside Down
    WeekSchedule schedule;               // TimeBlock<d>_<h>
    uint8_t alarmEmailEnabled = 0;       // Alarm_Email_Enabled
    std::string smtpServer;              // SMTP_Server
    std::string smtpSender;              // SMTP_Sender
    std::string smtpReceiver;            // SMTP_Receiver
    std::string smtpCopy;                // SMTP_Copy
    std::string smtpEmailAccount;        // SMTP_EmailAccount
    std::string smtpEmailPassword;       // SMTP_EmailPassword
    uint8_t smtpAuthEnabled = 0;         // SMTP_Auth_Enabled
    uint8_t motionPrerollSeconds = 0;    // Motion_Preroll_Seconds (0 = off, up to kMaxPrerollSeconds)
    uint16_t keepDays = 0;               // Keep_Days (0 = off, up to kMaxKeepDays)
    // Camera_URL: empty for the legacy camera (Host_Addr, Host_Port,
    // IPCAM_Password); http://[user:password@]host[:port]/path for a
    // standard MJPEG camera.
    std::string cameraUrl;
    // Camera_Preview_URL: empty, or a second, smaller stream of the same
    // camera (http:// MJPEG or rtsp://) that the preview and motion
    // detection use; the recording stays with Camera_URL.
    std::string previewUrl;
    // Camera_Snapshot_Rate: pictures a second asked of a camera that answers
    // one picture a request (kMinSnapshotRate to kMaxSnapshotRate).
    uint8_t snapshotRate = kDefaultSnapshotRate;
    // The web page: "host:port" to listen on (empty: no web page), the one
    // user and the salted hash of the password, and a PEM certificate and
    // key (both set: HTTPS only).
    std::string webAddress;         // Web_Address
    std::string webUser = "admin";  // Web_User
    std::string webPasswordHash;    // Web_Password_Hash
    std::string webTlsCert;         // Web_TLS_Cert
    std::string webTlsKey;          // Web_TLS_Key

    bool operator==(const CameraSettings&) const = default;
};

// The values a first run writes, on top of a zero-filled record.
// `fallbackDirectory` is the directory the recorder falls back to (the
// process's working directory at start-up).
inline void applyFirstRunDefaults(CameraSettings& s, const std::string& fallbackDirectory) {
    s.hostAddress = "192.168.0.114";
    s.hostPort = 80;
    s.cameraPassword = "pxwqe";
    s.aviDirectory = fallbackDirectory;
    s.motionDetectionEnabled = 0;
    s.resolution = 1;
    s.frequency = 1;
    s.quality = 1;
    s.brightness = 1;
    s.orientation = 0;
    s.schedule = WeekSchedule{};
}

}  // namespace ipcam

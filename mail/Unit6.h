#pragma once
// The alarm e-mail worker: one thread that sleeps until an alarm wakes it,
// then sends one e-mail with the alarm snapshot through the SMTP client.
// One job per wake-up, no queue: an alarm that comes while a job runs is
// dropped. A failed job disarms alarm e-mails (alarmEmailArmed := false) and
// asks the user-interface thread to show the warning.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/worker_shared.h"
#include "mail/mail_message.h"
#include "base/camera_settings.h"

class QObject;

namespace ipcam {

inline constexpr const char* kAlarmMailFailureText =
    "Fail to send alarm email. Please check the setting of \"Alarm Email Setup\"";
inline constexpr const char* kAlarmSnapshotName = "jpeg_view01.jpg";

// The alarm message for one job, rebuilt from the settings every time.
MailMessage buildAlarmMessage(const CameraSettings& settings, const std::string& cameraTitle,
                              const std::string& snapshotPath, const MailDate& date);

// The key of the first alarm e-mail setting ("SMTP_Server", "SMTP_Sender",
// "SMTP_Receiver", "SMTP_Copy", "SMTP_EmailAccount", "SMTP_EmailPassword")
// that holds a control character, which no mail command or header line may
// carry; empty when all are fine.
std::string alarmMailFieldWithControlCharacter(const CameraSettings& settings);

class TEmailThread {
public:
    // The box text (always kAlarmMailFailureText) and what failed.
    using WarningFn = std::function<void(const std::string& text, const std::string& reason)>;

    // `showWarning` is called on the worker thread when an alarm e-mail
    // failed; it hands the news over and returns at once: the worker never
    // waits on whoever shows it.
    // `snapshotPath` is where raiseAlarm() writes the picture and where the
    // job reads the attachment from.
    TEmailThread(WorkerShared& shared, WarningFn showWarning, std::string snapshotPath);
    // terminate().
    ~TEmailThread();
    TEmailThread(const TEmailThread&) = delete;
    TEmailThread& operator=(const TEmailThread&) = delete;

    // User-interface thread, on motion: when alarm e-mails are enabled in the
    // published settings and armed, and no job runs, writes `picture` whole
    // to the snapshot path (temporary name, then rename) and wakes the
    // worker. Returns whether a job was started.
    bool raiseAlarm(const std::vector<uint8_t>& picture);

    // Starts one job unless one is running (then nothing happens).
    void wake();
    // Whether a job is running or about to run.
    bool busy() const;
    // Waits until no job runs; false on time-out.
    bool waitIdle(int timeoutMs) const;

    // Stops the worker: breaks a send in progress and never touches `shared`
    // or calls the warning again. Waits a short moment for the thread, then
    // leaves it behind rather than hang program exit. Idempotent.
    void terminate();

    // Read at the start of a job: the mail server port when the server text
    // names none (25 unless a test says otherwise); the time-outs for
    // connecting and for the TLS handshake and each reply; the port that
    // means TLS from the first byte (465) and the certificates to trust
    // (empty: the system's).
    void setSmtpPort(uint16_t port);
    void setTimeouts(int connectMs, int replyMs);
    void setTls(uint16_t implicitTlsPort, std::string trustedCertificatesFile);

    // Number of jobs that ended with the message accepted by the server.
    int sentCount() const;
    // What made the last failed job fail (empty before any failure).
    std::string lastFailure() const;

private:
    struct Core;
    static void run(const std::shared_ptr<Core>& core);
    std::shared_ptr<Core> core_;
    WorkerShared& shared_;
};



}  // namespace ipcam

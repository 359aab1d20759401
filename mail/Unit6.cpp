#include "mail/Unit6.h"
#include "base/activity_log.h"

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>

#include "mail/smtp_client.h"

namespace ipcam {

namespace {

constexpr int kDefaultTimeoutMs = 30000;
constexpr int kTerminateWaitMs = 1000;

// Writes the whole picture under a temporary name and renames it into
// place, so a reader never sees half a picture.
bool writeSnapshot(const std::string& path, const std::vector<uint8_t>& picture) {
    const std::string temp = path + ".part";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) return false;
        out.write(reinterpret_cast<const char*>(picture.data()), static_cast<std::streamsize>(picture.size()));
        out.flush();
        if (!out) {
            out.close();
            std::remove(temp.c_str());
            return false;
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace

MailMessage buildAlarmMessage(const CameraSettings& settings, const std::string& cameraTitle,
                              const std::string& snapshotPath, const MailDate& date) {
    MailMessage m;
    m.from.address = settings.smtpSender;
    m.from.name = cameraTitle;
    m.to.push_back({"", settings.smtpReceiver});
    if (settings.smtpCopy != " ") m.cc = parseAddressList(settings.smtpCopy);
    m.contentType = "text/image";  // replaced by the multipart type on the wire
    m.priority = MailPriority::Highest;
    m.subject = "Alarm Email ";
    m.date = date;
    m.charset = "ASCII";
    m.body.emplace_back("Hello,\nAttached Jpeg file is captured by IP Camera.");
    m.attachments.push_back({snapshotPath, "", ""});
    return m;
}

std::string alarmMailFieldWithControlCharacter(const CameraSettings& settings) {
    const std::pair<const char*, const std::string*> fields[] = {
        {"SMTP_Server", &settings.smtpServer},
        {"SMTP_Sender", &settings.smtpSender},
        {"SMTP_Receiver", &settings.smtpReceiver},
        {"SMTP_Copy", &settings.smtpCopy},
        {"SMTP_EmailAccount", &settings.smtpEmailAccount},
        {"SMTP_EmailPassword", &settings.smtpEmailPassword},
    };
    for (const auto& [key, value] : fields) {
        if (hasControlCharacter(*value)) return key;
    }
    return {};
}

struct TEmailThread::Core {
    mutable std::mutex mutex;
    mutable std::condition_variable cv;
    bool wakeRequested = false;
    bool jobRunning = false;
    bool terminating = false;
    bool exited = false;
    int sent = 0;
    std::string lastFailure;
    WorkerShared* shared = nullptr;  // null once terminating
    WarningFn warn;
    std::string snapshotPath;
    uint16_t port = kSmtpDefaultPort;
    uint16_t implicitTlsPort = kSmtpImplicitTlsPort;
    std::string trustedCertificatesFile;
    int connectTimeoutMs = kDefaultTimeoutMs;
    int replyTimeoutMs = kDefaultTimeoutMs;
    SmtpClient client;  // used by the worker thread only (abort() aside)
};

TEmailThread::TEmailThread(WorkerShared& shared, WarningFn showWarningBlocking, std::string snapshotPath)
    : core_(std::make_shared<Core>()), shared_(shared) {
    core_->shared = &shared;
    core_->warn = std::move(showWarningBlocking);
    core_->snapshotPath = std::move(snapshotPath);
    std::thread(&TEmailThread::run, core_).detach();
}

TEmailThread::~TEmailThread() { terminate(); }

void TEmailThread::run(const std::shared_ptr<Core>& core) {
    std::unique_lock lock(core->mutex);
    while (true) {
        core->cv.wait(lock, [&] { return core->terminating || core->wakeRequested; });
        if (core->terminating) break;
        core->wakeRequested = false;
        core->jobRunning = true;
        const CameraSettings settings = core->shared->settings();
        const std::string title = core->shared->cameraTitle();
        SmtpClient& client = core->client;
        client.clearAbort();  // under the lock: terminate() aborts only after this
        const uint16_t defaultPort = core->port;
        client.implicitTlsPort = core->implicitTlsPort;
        client.trustedCertificatesFile = core->trustedCertificatesFile;
        client.connectTimeoutMs = core->connectTimeoutMs;
        client.replyTimeoutMs = core->replyTimeoutMs;
        const std::string snapshotPath = core->snapshotPath;
        lock.unlock();

        if (client.connected()) client.disconnect();
        const auto server = parseSmtpServer(settings.smtpServer, defaultPort);
        if (server) {
            client.host = server->host;
            client.port = server->port;
        }
        client.loginMethod = settings.smtpAuthEnabled ? SmtpLoginMethod::Login : SmtpLoginMethod::None;
        client.userName = settings.smtpEmailAccount;
        client.password = settings.smtpEmailPassword;
        const MailMessage message = buildAlarmMessage(settings, title, snapshotPath, currentMailDate());

        // A setting with a control character (a hand-edited file) would
        // carry its own commands into the dialogue: nothing is sent.
        const std::string badField = alarmMailFieldWithControlCharacter(settings);
        std::string reason;
        bool ok = false;
        if (!badField.empty()) {
            reason = badField + " holds a control character (such as a line break)";
        } else if (!server) {
            reason = "SMTP_Server holds no valid port after the host name";
        } else {
            ok = client.connect() && client.send(message);
            if (!ok) reason = client.lastError();
        }
        if (ok) {
            qCInfo(lcMail).noquote() << "Alarm mail sent to" << QString::fromStdString(settings.smtpReceiver) << "via" << QString::fromStdString(settings.smtpServer);
        } else {
            qCWarning(lcMail).noquote() << "Alarm mail to" << QString::fromStdString(settings.smtpReceiver) << "via" << QString::fromStdString(settings.smtpServer) << "failed:" << QString::fromStdString(reason);
        }
        if (ok) {
            client.disconnect();
        } else {
            // Disarm before the box: the user may re-arm while it is open.
            lock.lock();
            const bool showBox = !core->terminating;
            core->lastFailure = reason;
            if (core->shared != nullptr) core->shared->alarmEmailArmed = false;
            lock.unlock();
            if (showBox && core->warn) core->warn(kAlarmMailFailureText, reason);
            client.disconnect();
        }

        lock.lock();
        if (ok) ++core->sent;
        core->jobRunning = false;
        core->cv.notify_all();
    }
    core->exited = true;
    core->cv.notify_all();
}

bool TEmailThread::raiseAlarm(const std::vector<uint8_t>& picture) {
    if (shared_.settings().alarmEmailEnabled == 0 || !shared_.alarmEmailArmed) return false;
    // A job in progress reads the snapshot: leave it alone; this alarm is
    // dropped like any alarm that comes while a job runs.
    if (busy()) return false;
    if (!writeSnapshot(core_->snapshotPath, picture)) {
        // Never send an older picture as this alarm's: without a snapshot
        // the job fails and the user is told.
        std::remove(core_->snapshotPath.c_str());
    }
    wake();
    return true;
}

void TEmailThread::wake() {
    std::lock_guard lock(core_->mutex);
    if (core_->terminating || core_->jobRunning || core_->wakeRequested) return;
    core_->wakeRequested = true;
    core_->cv.notify_all();
}

bool TEmailThread::busy() const {
    std::lock_guard lock(core_->mutex);
    return core_->jobRunning || core_->wakeRequested;
}

bool TEmailThread::waitIdle(int timeoutMs) const {
    std::unique_lock lock(core_->mutex);
    return core_->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return !core_->jobRunning && !core_->wakeRequested; });
}

void TEmailThread::terminate() {
    std::unique_lock lock(core_->mutex);
    if (!core_->terminating) {
        core_->terminating = true;
        core_->wakeRequested = false;
        core_->shared = nullptr;
        core_->cv.notify_all();
        core_->client.abort();
    }
    // The thread holds its own reference to the core, so leaving it behind
    // (blocked in a warning box, say) is safe.
    core_->cv.wait_for(lock, std::chrono::milliseconds(kTerminateWaitMs), [&] { return core_->exited; });
}

void TEmailThread::setSmtpPort(uint16_t port) {
    std::lock_guard lock(core_->mutex);
    core_->port = port;
}

void TEmailThread::setTls(uint16_t implicitTlsPort, std::string trustedCertificatesFile) {
    std::lock_guard lock(core_->mutex);
    core_->implicitTlsPort = implicitTlsPort;
    core_->trustedCertificatesFile = std::move(trustedCertificatesFile);
}

void TEmailThread::setTimeouts(int connectMs, int replyMs) {
    std::lock_guard lock(core_->mutex);
    core_->connectTimeoutMs = connectMs;
    core_->replyTimeoutMs = replyMs;
}

int TEmailThread::sentCount() const {
    std::lock_guard lock(core_->mutex);
    return core_->sent;
}

std::string TEmailThread::lastFailure() const {
    std::lock_guard lock(core_->mutex);
    return core_->lastFailure;
}

}  // namespace ipcam

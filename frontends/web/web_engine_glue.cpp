#include "frontends/web/web_engine_glue.h"

#include <QBuffer>
#include <QDateTime>
#include <QFile>

#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "base/activity_log.h"
#include "base/secrets.h"
#include "engine/recorder_engine.h"
#include "recording/recording_catalog.h"
#include "settings/settings_store.h"

namespace ipcam {

namespace {

std::string& logFilePath() {
    static std::string path;
    return path;
}

// A PEM file of at most 1 MiB; empty when it cannot be read.
std::string readPem(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly) || file.size() > 1024 * 1024)
        return {};
    return file.readAll().toStdString();
}

// The number in "Free Space :812345M Bytes.", in bytes; -1 when there is none.
int64_t freeBytesOf(const QString& diskSpaceText) {
    const qsizetype colon = diskSpaceText.indexOf(QLatin1Char(':'));
    if (colon < 0)
        return -1;
    qsizetype end = colon + 1;
    while (end < diskSpaceText.size() && diskSpaceText[end].isDigit())
        ++end;
    bool ok = false;
    const qint64 mb = diskSpaceText.mid(colon + 1, end - colon - 1).toLongLong(&ok);
    return ok ? mb * 1024 * 1024 : -1;
}

// The web page's own settings, as one text to compare.
std::string webSettingsOf(const CameraSettings& s) {
    return s.webAddress + '\n' + s.webUser + '\n' + s.webPasswordHash + '\n' + s.webTlsCert + '\n' + s.webTlsKey;
}

}  // namespace

void WebEngineGlue::followSettings(std::unique_ptr<WebEngineGlue>& web, RecorderEngine& engine, Options options) {
    const std::string now = webSettingsOf(engine.controller().settings());
    if (web && web->startedWith_ == now)
        return;
    if (!web && engine.controller().settings().webAddress.empty())
        return;
    if (web)
        qCInfo(lcWeb).noquote() << "The web page's settings changed: it starts anew";
    web.reset();
    web = startFromSettings(engine, std::move(options));
}

void setWebLogFile(const std::string& path) { logFilePath() = path; }
const std::string& webLogFile() { return logFilePath(); }

std::unique_ptr<WebEngineGlue> WebEngineGlue::startFromSettings(RecorderEngine& engine, Options options) {
    const CameraSettings& s = engine.controller().settings();
    if (s.webAddress.empty())
        return nullptr;
    const auto address = parseWebAddress(s.webAddress);
    if (!address) {
        qCWarning(lcWeb).noquote() << "The web page is not started: its address" << QString::fromStdString(s.webAddress)
                                   << "is not an IP address and port (Web_Address)";
        return nullptr;
    }
    if (s.webPasswordHash.empty()) {
        qCWarning(lcWeb).noquote() << "The web page is not started: no password is set (run ipcam-recorder "
                                      "--set-web-password)";
        return nullptr;
    }
    WebServerOptions server;
    server.host = address->host;
    server.port = address->port;
    server.user = s.webUser.empty() ? "admin" : s.webUser;
    server.passwordHash = s.webPasswordHash;
    server.logFile = options.logFile.empty() ? webLogFile() : options.logFile;
    if (!s.webTlsCert.empty() || !s.webTlsKey.empty()) {
        server.tlsCertPem = s.webTlsCert.empty() ? std::string() : readPem(s.webTlsCert);
        server.tlsKeyPem = s.webTlsKey.empty() ? std::string() : readPem(s.webTlsKey);
        if (server.tlsCertPem.empty() || server.tlsKeyPem.empty()) {
            qCWarning(lcWeb).noquote() << "The web page is not started: HTTPS needs both Web_TLS_Cert and Web_TLS_Key "
                                          "as readable PEM files";
            return nullptr;
        }
    }
    const std::string user = server.user;
    auto glue = std::make_unique<WebEngineGlue>(engine, std::move(options), std::move(server));
    glue->startedWith_ = webSettingsOf(s);
    std::string error;
    if (!glue->start(&error)) {
        qCWarning(lcWeb).noquote() << "The web page is not started:" << QString::fromStdString(error);
        return nullptr;
    }
    qCInfo(lcWeb).noquote() << "Web page on" << QString::fromStdString((glue->server().tls() ? "https://" : "http://") + s.webAddress)
                            << "for user" << QString::fromStdString(user);
    return glue;
}

WebEngineGlue::WebEngineGlue(RecorderEngine& engine, Options options, WebServerOptions server)
    : engine_(engine), options_(std::move(options)) {
    WebCommands commands;
    // Each command runs on the engine's thread; the server's thread goes on at once.
    auto post = [this](void (RecorderEngine::*command)()) {
        return [this, command] {
            QMetaObject::invokeMethod(this, [this, command] { (engine_.*command)(); }, Qt::QueuedConnection);
        };
    };
    commands.record = post(&RecorderEngine::record);
    commands.stop = post(&RecorderEngine::stop);
    commands.reload = post(&RecorderEngine::reload);
    commands.applySettings = [this](const CameraSettings& record) { return applySettings(record); };
    server_ = std::make_unique<WebServer>(std::move(server), state_, std::move(commands));

    RecorderEngine* e = &engine_;
    linkText_ = engine_.linkInfo().toStdString();
    connect(e, &RecorderEngine::previewUpdated, this, &WebEngineGlue::pictureShown);
    connect(e, &RecorderEngine::linkInfoChanged, this, [this](const QString& text) {
        linkText_ = text.toStdString();
        if (text.startsWith(QLatin1String("Connecting to")))
            refused_ = false;
        refreshStatus();
    });
    connect(e, &RecorderEngine::warningRaised, this, [this](const QString& text) {
        if (!engine_.linkUp() && text.contains(QLatin1String("password"), Qt::CaseInsensitive))
            refused_ = true;
        refreshStatus();
    });
    connect(e, &RecorderEngine::linkChanged, this, [this](bool up) {
        if (up)
            refused_ = false;
        refreshStatus();
    });
    connect(e, &RecorderEngine::recordingChanged, this, [this](int kind) {
        if (kind != 0)
            fileStart_ = engine_.clock().now();
        refreshStatus();
    });
    connect(e, &RecorderEngine::diskSpaceChanged, this, &WebEngineGlue::refreshStatus);
    connect(e, &RecorderEngine::folderChanged, this, [this](const QString& folder, const QString&) {
        folder_ = folder.toStdString();
        refreshStatus();
    });
    // The counters of a running recording move every second.
    tick_.setInterval(1000);
    connect(&tick_, &QTimer::timeout, this, &WebEngineGlue::refreshStatus);
    refreshStatus();
}

WebEngineGlue::~WebEngineGlue() { server_->stop(); }

bool WebEngineGlue::start(std::string* error) {
    if (!server_->start(error))
        return false;
    tick_.start();
    return true;
}

void WebEngineGlue::refreshStatus() {
    if (engine_.closed())
        return;
    MainController& c = engine_.controller();
    const CameraSettings& s = c.settings();
    WebStatus st;
    if (engine_.linkUp())
        st.link = "Up";
    else if (refused_)
        st.link = "Refused";
    else if (linkText_.empty())
        st.link = "Stopped";
    else if (linkText_.rfind("Connecting to", 0) == 0)
        st.link = "Connecting";
    else if (linkText_.find("is off-line.") != std::string::npos)
        st.link = "Offline";
    else
        st.link = "Down";
    st.linkText = maskSecrets(linkText_);
    st.cameraHost = s.cameraUrl.empty() ? s.hostAddress : redactAddress(s.cameraUrl);
    st.cameraTitle = s.descriptor;
    const RecordingSession& r = c.recorder().session();
    st.recordingKind = r.RecordKind;
    if (r.RecordKind != 0) {
        // The name the file will have: its start, A for an alarm.
        char date[16], time[16];
        std::snprintf(date, sizeof date, "%04d%02d%02d", fileStart_.year, fileStart_.month, fileStart_.day);
        std::snprintf(time, sizeof time, "%02d%02d%02d", fileStart_.hour, fileStart_.minute, fileStart_.second);
        RecordingName name;
        name.date = date;
        name.time = time;
        name.mark = r.AlarmMark ? RecordingMark::Alarm : RecordingMark::Timed;
        name.format = c.codedCamera() ? RecordingFormat::Mkv : RecordingFormat::Avi;
        st.recordingFile = name.relativePath();
        st.recordingPictures = r.RecordFrames;
        st.recordingSeconds = r.RecordSeconds;
    }
    st.freeBytes = freeBytesOf(engine_.diskSpace());
    st.folder = folder_.empty() ? s.aviDirectory : folder_;
    state_.setStatus(st);
    state_.setSettings(s);
}

void WebEngineGlue::pictureShown() {
    MainController& c = engine_.controller();
    if (!c.codedCamera()) {
        // The camera's own JPEG bytes, as they came.
        const std::vector<uint8_t>& bytes = c.link().FrameBuffer;
        if (!bytes.empty())
            state_.publish(std::make_shared<const std::vector<uint8_t>>(bytes));
        return;
    }
    // A coded-video camera has no JPEG of its own: the shown picture is
    // made one, for a viewer, or once a second for the snapshot.
    const int64_t now = QDateTime::currentMSecsSinceEpoch();
    if (state_.viewerCount() == 0 && now - lastEncodedMs_ < 1000)
        return;
    lastEncodedMs_ = now;
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    if (engine_.preview().save(&buffer, "JPG", 80))
        state_.publish(std::make_shared<const std::vector<uint8_t>>(jpeg.begin(), jpeg.end()));
}

std::optional<SettingsProblem> WebEngineGlue::applySettings(const CameraSettings& record) {
    // Runs on a server thread: the engine's thread saves and applies, this
    // one waits (a while at most) for the outcome.
    struct Outcome {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        std::optional<SettingsProblem> problem;
        std::string error;
    };
    auto outcome = std::make_shared<Outcome>();
    QMetaObject::invokeMethod(
        this,
        [this, record, outcome] {
            std::optional<SettingsProblem> problem;
            std::string error;
            try {
                problem = validateSettings(record);
                if (!problem) {
                    engine_.controller().settings() = record;
                    engine_.saveSettings();
                    if (options_.unattended)
                        engine_.reloadSettings();
                    refreshStatus();
                }
            } catch (const std::exception& e) {
                error = e.what();
            }
            {
                std::lock_guard lock(outcome->mutex);
                outcome->problem = problem;
                outcome->error = error;
                outcome->finished = true;
            }
            outcome->done.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(outcome->mutex);
    for (int i = 0; i < 100 && !outcome->finished && !state_.closed(); ++i)
        outcome->done.wait_for(lock, std::chrono::milliseconds(100));
    if (!outcome->finished)
        throw std::runtime_error("The recorder did not take the settings in time.");
    if (!outcome->error.empty())
        throw std::runtime_error(outcome->error);
    return outcome->problem;
}

}  // namespace ipcam

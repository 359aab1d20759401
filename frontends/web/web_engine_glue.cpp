#include "frontends/web/web_engine_glue.h"

#include <QDateTime>
#include <QFile>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <utility>

#include "base/activity_log.h"
#include "base/secrets.h"
#include "camera/jpeg_encoder.h"
#include "engine/engine_texts.h"
#include "engine/recorder_engine.h"
#include "frontends/web/fmp4_muxer.h"

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

// The web page's own settings, as one text to compare.
std::string webSettingsOf(const CameraSettings& s) {
    return s.webAddress + '\n' + s.webUser + '\n' + s.webPasswordHash + '\n' + s.webTlsCert + '\n' + s.webTlsKey;
}

}  // namespace

void WebEngineGlue::followSettings(std::unique_ptr<WebEngineGlue>& web, RecorderEngine& engine, Options options) {
    const std::string now = webSettingsOf(engine.settings());
    if (web && web->startedWith_ == now)
        return;
    if (!web && engine.settings().webAddress.empty())
        return;
    if (web)
        qCInfo(lcWeb).noquote() << "The web page's settings changed: it starts anew";
    web.reset();
    web = startFromSettings(engine, std::move(options));
}

void setWebLogFile(const std::string& path) { logFilePath() = path; }
const std::string& webLogFile() { return logFilePath(); }

std::unique_ptr<WebEngineGlue> WebEngineGlue::startFromSettings(RecorderEngine& engine, Options options) {
    const CameraSettings s = engine.settings();
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
    commands.reload = post(&RecorderEngine::reconnect);
    commands.askPicture = [this] { askPicture(); };
    commands.applySettings = [this](const CameraSettings& record) { return applySettings(record); };
    server_ = std::make_unique<WebServer>(std::move(server), state_, std::move(commands));

    RecorderEngine* e = &engine_;
    connect(e, &RecorderEngine::stateChanged, this, &WebEngineGlue::refreshStatus);
    // The camera's own JPEG bytes, as they came: shared, not copied.
    connect(e, &RecorderEngine::pictureArrived, this, [this](std::shared_ptr<const std::vector<uint8_t>> jpeg) {
        lastJpegMs_ = QDateTime::currentMSecsSinceEpoch();
        state_.publish(std::move(jpeg));
    });
    connect(e, &RecorderEngine::previewUpdated, this, &WebEngineGlue::previewShown);
    // The live video's packets, while a viewer takes them: shared, not copied.
    connect(e, &RecorderEngine::videoPacket, this,
            [this](std::shared_ptr<const MediaPacket> packet) { state_.publishVideo(packet); });
    // A viewer that comes or goes is followed at once.
    state_.setViewersChanged([this] {
        QMetaObject::invokeMethod(this, &WebEngineGlue::followViewers, Qt::QueuedConnection);
    });
    // The settings (they change seldom) and the viewers, once a second.
    tick_.setInterval(1000);
    connect(&tick_, &QTimer::timeout, this, [this] {
        refreshSettings();
        followViewers();
    });
    if (auto newest = engine_.lastPicture())
        state_.publish(newest);
    refreshStatus();
    refreshSettings();
}

WebEngineGlue::~WebEngineGlue() {
    server_->stop();
    if (previewAsked_ && !engine_.closed())
        engine_.setPreviewWanted(false, RecorderEngine::PreviewTaker::Web);
    engine_.setLiveVideoWanted(false);
}

bool WebEngineGlue::start(std::string* error) {
    if (!server_->start(error))
        return false;
    tick_.start();
    return true;
}

void WebEngineGlue::refreshStatus() {
    const EngineState& e = engine_.state();
    WebStatus st;
    switch (e.link) {
    case LinkState::Stopped: st.link = "Stopped"; break;
    case LinkState::Connecting: st.link = "Connecting"; break;
    case LinkState::Opening: st.link = "Opening"; break;
    case LinkState::Up: st.link = "Up"; break;
    case LinkState::Down: st.link = "Down"; break;
    case LinkState::Offline: st.link = "Offline"; break;
    case LinkState::Refused: st.link = "Refused"; break;
    }
    // The state changes with every picture; its words seldom do: they are
    // masked again only when they changed.
    std::string linkWords = e.link == LinkState::Up ? linkLineText(e) : linkSummary(e);
    if (linkWords != linkWords_ || e.cameraHost != cameraHost_) {
        linkWords_ = std::move(linkWords);
        cameraHost_ = e.cameraHost;
        linkText_ = maskSecrets(linkWords_);
        shownHost_ = redactAddress(cameraHost_);
    }
    st.linkText = linkText_;
    st.cameraHost = shownHost_;
    st.cameraTitle = e.cameraTitle;
    st.recordingKind = e.recordingKind;
    st.recordingFile = e.recordingFile;
    st.recordingPictures = e.recordingPictures;
    st.recordingSeconds = e.recordingSeconds;
    st.freeBytes = e.freeBytes;
    st.folder = e.folder.inUse;
    state_.setStatus(st);
    if (e.liveVideo != liveTracks_) {
        // Once a connection: the codec string as the muxer's header names it.
        liveTracks_ = e.liveVideo;
        std::string why;
        const auto muxer = liveTracks_ ? Fmp4Muxer::open(liveTracks_, &why) : nullptr;
        if (liveTracks_ && !muxer)
            qCInfo(lcWeb).noquote() << "Web page: no live video as MP4," << QString::fromStdString(why);
        state_.setLiveVideo({liveTracks_, muxer ? muxer->codec() : std::string()});
    }
}

void WebEngineGlue::refreshSettings() { state_.setSettings(engine_.settings()); }

// A coded-video camera sends no JPEG of its own: the shown picture is made
// one only while somebody watches (a picture viewer, at most ten a second)
// or once for a snapshot asked for.
void WebEngineGlue::previewShown() {
    const int64_t now = QDateTime::currentMSecsSinceEpoch();
    if (now - lastJpegMs_ < 2000) {
        if (std::exchange(pictureAsked_, false))
            followViewers();
        return;
    }
    if (!pictureAsked_ && (state_.viewerCount() == 0 || now - lastEncodedMs_ < kPictureIntervalMs))
        return;
    lastEncodedMs_ = now;
    std::vector<uint8_t> jpeg = encodeJpeg(engine_.preview(), 80);
    if (jpeg.empty())
        return;
    state_.publish(std::make_shared<const std::vector<uint8_t>>(std::move(jpeg)));
    if (std::exchange(pictureAsked_, false))
        followViewers();
}

// A snapshot was asked for (on a server thread): the next preview picture
// is made one, decoded for it if nobody looked.
void WebEngineGlue::askPicture() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            // A camera that sends JPEGs of its own needs no picture made.
            if (QDateTime::currentMSecsSinceEpoch() - lastJpegMs_ < 2000)
                return;
            pictureAsked_ = true;
            followViewers();
        },
        Qt::QueuedConnection);
}

// The page wants the preview decoded (beside a window that shows it, or
// none) while it has a viewer and the camera sends no JPEG of its own, or a
// snapshot is due (a coded-video camera's pictures come only from the preview; a JPEG
// camera's viewers get its own bytes, so decoding them would be work for
// nobody).
void WebEngineGlue::followViewers() {
    engine_.setLiveVideoWanted(state_.videoViewerCount() > 0);
    const bool ownJpegs = QDateTime::currentMSecsSinceEpoch() - lastJpegMs_ < 2000;
    const bool wanted = (state_.viewerCount() > 0 && !ownJpegs) || pictureAsked_;
    if (wanted != previewAsked_) {
        previewAsked_ = wanted;
        engine_.setPreviewWanted(wanted, RecorderEngine::PreviewTaker::Web);
    }
}

std::optional<SettingsProblem> WebEngineGlue::applySettings(const CameraSettings& record) {
    // Runs on a server thread: the engine's thread checks, saves and
    // applies; this one waits (a while at most) for the outcome.
    struct Outcome {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        std::optional<SettingsProblem> problem;
    };
    auto outcome = std::make_shared<Outcome>();
    QMetaObject::invokeMethod(
        this,
        [this, record, outcome] {
            // The page never changes the web page's own settings.
            CameraSettings whole = record;
            const CameraSettings current = engine_.settings();
            whole.webAddress = current.webAddress;
            whole.webUser = current.webUser;
            whole.webPasswordHash = current.webPasswordHash;
            whole.webTlsCert = current.webTlsCert;
            whole.webTlsKey = current.webTlsKey;
            auto problem = engine_.applySettings(whole);
            refreshSettings();
            {
                std::lock_guard lock(outcome->mutex);
                outcome->problem = problem;
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
    return outcome->problem;
}

}  // namespace ipcam

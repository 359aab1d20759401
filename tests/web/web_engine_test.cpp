// The web page on the real engine: a standard MJPEG camera (the simulator),
// the engine unattended as the headless service runs it, the page's glue and
// server on loopback, spoken to by a plain HTTP client on a thread of its
// own while the engine's event loop runs on.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <csignal>
#include <future>
#include <thread>

extern "C" {
#include <libavcodec/codec_par.h>
}

#include "engine/recorder_engine.h"
#include "frontends/web/web_engine_glue.h"
#include "frontends/web/web_password.h"
#include "ipcam_sim/simulator_thread.h"
#include "playback/recorded_file.h"
#include "recording/recording_catalog.h"
#include "settings/settings_store.h"
#include "support/child_process.h"

namespace ipcam {
namespace {

using namespace std::chrono_literals;

bool waitUntil(const std::function<bool()>& done, int timeoutMs = 15000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

quint16 freePort() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

std::vector<QByteArray> readSent(const QString& path) {
    QFile f(path);
    std::vector<QByteArray> out;
    if (!f.open(QIODevice::ReadOnly))
        return out;
    const QByteArray all = f.readAll();
    qsizetype at = 0;
    while (at + 4 <= all.size()) {
        uint32_t n = 0;
        for (int i = 3; i >= 0; --i)
            n = (n << 8) | static_cast<uint8_t>(all[at + i]);
        if (at + 4 + static_cast<qsizetype>(n) > all.size())
            break;
        out.push_back(all.mid(at + 4, n));
        at += 4 + n;
    }
    return out;
}

const std::string kAuth = "Authorization: Basic " + QByteArray("admin:pw").toBase64().toStdString() + "\r\n";

// One request from a thread of its own (the engine's loop runs meanwhile);
// `until` ends the read early (the live stream never ends by itself). Asked
// in HTTP/1.0, the body comes without chunked framing.
std::string fetch(uint16_t port, const std::string& method, const std::string& target, const std::string& body = {},
                  std::function<bool(const std::string&)> until = {}) {
    auto done = std::async(std::launch::async, [=] {
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        if (!socket.waitForConnected(3000))
            return std::string();
        std::string request = method + " " + target + " HTTP/1.0\r\nHost: x\r\n" + kAuth +
                              "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        socket.write(request.data(), static_cast<qint64>(request.size()));
        std::string raw;
        while ((!until || !until(raw)) && socket.waitForReadyRead(5000))
            raw += socket.readAll().toStdString();
        return raw;
    });
    waitUntil([&] { return done.wait_for(0ms) == std::future_status::ready; }, 20000);
    return done.get();
}

std::string bodyOf(const std::string& raw) {
    const size_t at = raw.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : raw.substr(at + 4);
}

bool wasSent(const std::vector<QByteArray>& sent, const std::string& picture) {
    return std::any_of(sent.begin(), sent.end(), [&](const QByteArray& p) { return p.toStdString() == picture; });
}

TEST(WebOnTheEngine, LiveRecordAndRecordingsAreTheCamerasOwnBytes) {
    QTemporaryDir dir;
    sim::SimulatorOptions so;
    so.fps = 25;
    so.streamPort = freePort();
    so.httpPort = freePort();
    so.mjpegPath = "/stream";
    so.keepSentFile = dir.filePath("sent.bin");
    sim::SimulatorThread simulator(so);
    QString simError;
    ASSERT_TRUE(simulator.start(&simError)) << simError.toStdString();

    const std::string ini = dir.filePath("ipcam-recorder.INI").toStdString();
    QDir(dir.path()).mkdir("rec");
    CameraSettings s;
    applyFirstRunDefaults(s, dir.path().toStdString());
    s.hostAddress = "127.0.0.1";
    s.cameraUrl = "http://127.0.0.1:" + std::to_string(so.streamPort) + "/stream";
    s.snapshotRate = 7;  // kept by a save from the page that does not send it
    s.aviDirectory = dir.filePath("rec").toStdString();
    SettingsStore(ini).save(s);
    EngineOptions eo;
    eo.settingsPath = ini;
    eo.snapshotPath = dir.filePath("jpeg_view01.jpg").toStdString();
    eo.probePort = so.httpPort;
    eo.timerScale = 0.02;
    RecorderEngine engine(eo);
    engine.setPreviewWanted(false);  // as the headless service runs it
    engine.start();

    WebServerOptions wo;
    wo.passwordHash = hashWebPassword("pw", 1000);
    WebEngineGlue web(engine, {true, {}}, wo);
    std::string error;
    ASSERT_TRUE(web.start(&error)) << error;
    const uint16_t port = web.server().port();
    ASSERT_TRUE(waitUntil([&] { return web.state().status().link == "Up" && web.state().newest(); }));

    const std::string snapshot = bodyOf(fetch(port, "GET", "/api/snapshot.jpg"));
    EXPECT_TRUE(wasSent(readSent(so.keepSentFile), snapshot));

    // A viewer that reads gets picture after picture, each as the camera sent it.
    const std::string live = fetch(port, "GET", "/api/live.mjpeg", {}, [](const std::string& raw) {
        size_t parts = 0;
        for (size_t at = raw.find("--ipcamframe"); at != std::string::npos; at = raw.find("--ipcamframe", at + 1))
            ++parts;
        return parts >= 4;
    });
    const std::vector<QByteArray> sent = readSent(so.keepSentFile);
    int pictures = 0;
    for (size_t at = live.find("--ipcamframe"); at != std::string::npos; at = live.find("--ipcamframe", at + 1)) {
        const size_t length = live.find("Content-Length: ", at);
        const size_t start = live.find("\r\n\r\n", at);
        if (length == std::string::npos || start == std::string::npos)
            break;
        const size_t n = std::stoul(live.substr(length + 16));
        if (start + 4 + n > live.size())
            break;
        EXPECT_TRUE(wasSent(sent, live.substr(start + 4, n))) << "part " << pictures;
        ++pictures;
    }
    EXPECT_GE(pictures, 3);

    // A viewer that never reads holds up nothing: Record, pictures, Stop.
    auto stalled = std::async(std::launch::async, [port] {
        QTcpSocket socket;
        socket.setReadBufferSize(1);
        socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        socket.waitForConnected(3000);
        const std::string request = "GET /api/live.mjpeg HTTP/1.1\r\nHost: x\r\n" + kAuth + "\r\n";
        socket.write(request.data(), static_cast<qint64>(request.size()));
        socket.waitForBytesWritten(1000);
        std::this_thread::sleep_for(3s);
    });
    ASSERT_TRUE(waitUntil([&] { return web.state().viewerCount() == 1; }));
    // The viewers get the camera's own bytes: nothing is decoded for them.
    int decoded = 0;
    QObject::connect(&engine, &RecorderEngine::previewUpdated, [&decoded] { ++decoded; });
    EXPECT_NE(fetch(port, "POST", "/api/record").find(" 202 "), std::string::npos);
    const EngineState& state = engine.state();
    ASSERT_TRUE(waitUntil([&] { return state.recordingKind == 1 && state.recordingPictures >= 40; }));
    EXPECT_EQ(decoded, 0);
    EXPECT_NE(bodyOf(fetch(port, "GET", "/api/status")).find("\"recordingKind\":1"), std::string::npos);
    EXPECT_NE(fetch(port, "POST", "/api/stop").find(" 202 "), std::string::npos);
    ASSERT_TRUE(waitUntil([&] { return !listRecordings(s.aviDirectory).empty(); }));
    waitUntil([&] { return stalled.wait_for(0ms) == std::future_status::ready; });

    const RecordingName name = listRecordings(s.aviDirectory).front().recordings.front().name;
    const std::string list = bodyOf(fetch(port, "GET", "/api/recordings"));
    EXPECT_NE(list.find("\"name\":\"" + name.relativePath() + "\""), std::string::npos) << list;
    const std::string path = *resolveRecording(s.aviDirectory, name.relativePath());
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(bodyOf(fetch(port, "GET", "/api/recordings/" + name.relativePath())), file.readAll().toStdString());
    RecordedFile recorded;
    ASSERT_EQ(recorded.openRecordedFile(QString::fromStdString(path)), RecordedFile::OpenStatus::Opened);
    QByteArray third;
    ASSERT_TRUE(recorded.readPicture(2, third));
    EXPECT_EQ(bodyOf(fetch(port, "GET", "/api/picture/" + name.relativePath() + "?n=2")), third.toStdString());

    // New settings from the page: saved to the file, the camera connected anew.
    const std::string saved = fetch(port, "POST", "/api/settings", R"({"Keep_Days":"3"})");
    EXPECT_NE(saved.find(" 200 "), std::string::npos) << saved;
    CameraSettings back;
    SettingsStore(ini).load(back);
    EXPECT_EQ(back.keepDays, 3);
    EXPECT_EQ(back.cameraUrl, s.cameraUrl);
    EXPECT_EQ(back.snapshotRate, 7);
    EXPECT_TRUE(waitUntil([&] { return engine.state().link == LinkState::Up; }));
    engine.close();
}

#ifdef IPCAM_RTSP_SIM
// The boxes at the top of an MP4 byte stream, as (type, payload); a box cut
// short at the end is left out.
std::vector<std::pair<std::string, std::string>> topBoxes(const std::string& mp4) {
    std::vector<std::pair<std::string, std::string>> out;
    size_t at = 0;
    while (at + 8 <= mp4.size()) {
        uint32_t size = 0;
        for (int i = 0; i < 4; ++i)
            size = (size << 8) | static_cast<uint8_t>(mp4[at + size_t(i)]);
        if (size < 8 || at + size > mp4.size())
            break;
        out.emplace_back(mp4.substr(at + 4, 4), mp4.substr(at + 8, size - 8));
        at += size;
    }
    return out;
}

// The H.264 NAL unit types in an mdat of length-prefixed units.
std::vector<int> nalTypes(const std::string& mdat) {
    std::vector<int> types;
    size_t at = 0;
    while (at + 5 <= mdat.size()) {
        uint32_t n = 0;
        for (int i = 0; i < 4; ++i)
            n = (n << 8) | static_cast<uint8_t>(mdat[at + size_t(i)]);
        if (n == 0 || at + 4 + n > mdat.size())
            break;
        types.push_back(mdat[at + 4] & 0x1f);
        at += 4 + n;
    }
    return types;
}

// An RTSP camera (H.264): the page offers its video as fragmented MP4 by
// stream copy, and a JPEG of the preview for a snapshot, with nobody looking
// at the preview (as the headless service runs). A viewer that stops
// reading loses packets, holds no more than its bound and holds up nothing.
TEST(WebOnTheEngine, RtspCameraLiveVideoIsFragmentedMp4AndAStalledViewerIsBounded) {
    QTemporaryDir dir;
    test::ChildProcess camera;
    const quint16 cameraPort = freePort();
    ASSERT_TRUE(camera.start(IPCAM_RTSP_SIM, {"--port", std::to_string(cameraPort), "--size", "1280x720", "--fps",
                                              "25", "--gop", "10", "--scene", "ball"}));
    const QString ready = QString::fromStdString(camera.readLine(std::chrono::seconds(15)).value_or(""));
    ASSERT_TRUE(ready.startsWith("ready ")) << ready.toStdString();

    const std::string ini = dir.filePath("ipcam-recorder.INI").toStdString();
    QDir(dir.path()).mkdir("rec");
    CameraSettings s;
    applyFirstRunDefaults(s, dir.path().toStdString());
    s.hostAddress = "127.0.0.1";
    s.cameraUrl = ready.mid(6).toStdString();
    s.aviDirectory = dir.filePath("rec").toStdString();
    SettingsStore(ini).save(s);
    EngineOptions eo;
    eo.settingsPath = ini;
    eo.snapshotPath = dir.filePath("jpeg_view01.jpg").toStdString();
    eo.timerScale = 0.02;
    RecorderEngine engine(eo);
    engine.setPreviewWanted(false);  // a window minimised: the page alone wants pictures
    engine.start();
    WebServerOptions wo;
    wo.passwordHash = hashWebPassword("pw", 1000);
    WebEngineGlue web(engine, {false, {}}, wo);
    std::string error;
    ASSERT_TRUE(web.start(&error)) << error;
    const uint16_t port = web.server().port();
    ASSERT_TRUE(waitUntil([&] { return !web.state().liveVideo().codec.empty(); }));
    EXPECT_EQ(web.state().liveVideo().codec.rfind("avc1.", 0), 0u) << web.state().liveVideo().codec;
    const std::string status = bodyOf(fetch(port, "GET", "/api/status"));
    EXPECT_NE(status.find("\"liveKinds\":[\"mp4\",\"mjpeg\"]"), std::string::npos) << status;
    EXPECT_NE(status.find("\"liveVideo\":\"avc1."), std::string::npos) << status;

    // The snapshot: a JPEG made of the preview, decoded for it.
    const std::string snapshot = bodyOf(fetch(port, "GET", "/api/snapshot.jpg"));
    ASSERT_GT(snapshot.size(), 2u);
    EXPECT_EQ(snapshot.substr(0, 2), "\xFF\xD8");

    // A picture viewer: JPEGs of the preview, decoded while it watches.
    const std::string pictures = fetch(port, "GET", "/api/live.mjpeg", {}, [](const std::string& raw) {
        return raw.find("\xFF\xD9\r\n--ipcamframe", raw.find("\xFF\xD9\r\n--ipcamframe") + 1) != std::string::npos;
    });
    EXPECT_NE(pictures.find("Content-Type: image/jpeg\r\nContent-Length: "), std::string::npos);
    EXPECT_NE(pictures.find("\r\n\r\n\xFF\xD8"), pictures.rfind("\r\n\r\n\xFF\xD8"));

    // ftyp, moov, then fragments; the first begins with a key frame.
    const std::string mp4 = bodyOf(fetch(port, "GET", "/api/live.mp4", {}, [](const std::string& raw) {
        return topBoxes(bodyOf(raw)).size() >= 8;
    }));
    const auto boxes = topBoxes(mp4);
    ASSERT_GE(boxes.size(), 8u);
    EXPECT_EQ(boxes[0].first, "ftyp");
    EXPECT_EQ(boxes[1].first, "moov");
    for (size_t i = 2; i < boxes.size(); ++i)
        EXPECT_EQ(boxes[i].first, i % 2 ? "mdat" : "moof") << i;
    const std::vector<int> first = nalTypes(boxes[3].second);
    EXPECT_NE(std::find(first.begin(), first.end(), 5), first.end()) << "no IDR picture in the first fragment";

    // A viewer that never reads: what it is offered beyond its bound is
    // dropped (200 MB of key frames here), and the camera's packets go on.
    auto stalled = std::async(std::launch::async, [port] {
        QTcpSocket socket;
        socket.setReadBufferSize(1);
        socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        socket.waitForConnected(3000);
        const std::string request = "GET /api/live.mp4 HTTP/1.1\r\nHost: x\r\n" + kAuth + "\r\n";
        socket.write(request.data(), static_cast<qint64>(request.size()));
        socket.waitForBytesWritten(1000);
        std::this_thread::sleep_for(3s);
    });
    ASSERT_TRUE(waitUntil([&] { return web.state().videoViewerCount() == 1; }));
    int packets = 0;
    QObject::connect(&engine, &RecorderEngine::videoPacket, &engine, [&] { ++packets; });
    auto big = std::make_shared<MediaPacket>();
    big->tracks = web.state().liveVideo().tracks;
    big->track = big->tracks->videoTrack;
    big->key = true;
    big->data.assign(512 * 1024, 0x55);  // one IDR slice's NAL unit
    big->data[0] = big->data[1] = 0;
    big->data[2] = 1;
    big->data[3] = 0x65;
    size_t most = 0;
    for (int i = 0; i < 400; ++i) {
        big->dts = big->pts = 3600 * i;
        web.state().publishVideo(std::make_shared<const MediaPacket>(*big));
        most = std::max(most, web.state().videoLoad().queuedBytes);
    }
    EXPECT_LE(most, VideoQueue::kMaxBytes);
    EXPECT_GT(web.state().videoLoad().dropped, 0u);
    EXPECT_TRUE(waitUntil([&] { return packets > 25; }));
    EXPECT_EQ(engine.state().link, LinkState::Up);
    waitUntil([&] { return stalled.wait_for(0ms) == std::future_status::ready; });

    // With a preview stream the live video is the preview stream's; the
    // viewers of the one before are ended.
    test::ChildProcess small;
    ASSERT_TRUE(small.start(IPCAM_RTSP_SIM, {"--port", std::to_string(freePort()), "--size", "320x180", "--gop", "10"}));
    const QString smallReady = QString::fromStdString(small.readLine(std::chrono::seconds(15)).value_or(""));
    ASSERT_TRUE(smallReady.startsWith("ready ")) << smallReady.toStdString();
    const auto viewer = web.state().addVideoViewer();
    CameraSettings withPreview = engine.settings();
    withPreview.previewUrl = smallReady.mid(6).toStdString();
    ASSERT_FALSE(engine.applySettings(withPreview, false));
    EXPECT_TRUE(waitUntil([&] {
        const auto tracks = web.state().liveVideo().tracks;
        return tracks && tracks->tracks[size_t(tracks->videoTrack)].params->width == 320;
    }));
    EXPECT_TRUE(viewer->closed());
    web.state().removeVideoViewer(viewer);
    engine.close();
    small.terminate();
    camera.terminate();
}
#endif

}  // namespace
}  // namespace ipcam

namespace ipcam {
namespace {

// The program itself: --set-web-password stores only a slow hash; the
// headless service starts the page only with one (read again on SIGHUP),
// and then answers on it.
TEST(WebInTheProgram, PasswordSetFromStandardInputThenTheHeadlessServiceServesThePage) {
    const QString recorder = QCoreApplication::applicationDirPath() + "/../ipcam-recorder";
    ASSERT_TRUE(QFile::exists(recorder));
    QTemporaryDir dir;
    const QString ini = dir.filePath("ipcam-recorder.INI");
    const quint16 webPort = freePort();
    CameraSettings s;
    applyFirstRunDefaults(s, dir.path().toStdString());
    s.hostAddress = "127.0.0.1";
    s.hostPort = freePort();  // nothing there: the link stays down
    s.cameraPassword = "cam-pass-3";
    s.webAddress = "127.0.0.1:" + std::to_string(webPort);
    SettingsStore(ini.toStdString()).save(s);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE"})
        env.remove(name);
    auto runHeadless = [&](QProcess& p) {
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(dir.path());
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(recorder, {"--headless", "--settings", ini});
        return p.waitForStarted(5000);
    };
    // No password yet: the page does not start, and the log says why.
    QProcess service;
    ASSERT_TRUE(runHeadless(service));
    QString out;
    waitUntil([&] {
        out += QString::fromUtf8(service.readAll());
        return out.contains("The web page is not started");
    });
    EXPECT_TRUE(out.contains("The web page is not started: no password is set")) << out.toStdString();

    QProcess setter;
    setter.start(recorder, {"--settings", ini, "--set-web-password"});
    ASSERT_TRUE(setter.waitForStarted(5000));
    setter.write("s3cret pass\n");
    setter.closeWriteChannel();
    ASSERT_TRUE(setter.waitForFinished(20000));
    EXPECT_EQ(setter.exitCode(), 0) << setter.readAllStandardError().toStdString();
    CameraSettings back;
    SettingsStore(ini.toStdString()).load(back);
    EXPECT_EQ(back.webPasswordHash.rfind("pbkdf2-sha256$600000$", 0), 0u) << back.webPasswordHash;
    EXPECT_TRUE(verifyWebPassword("s3cret pass", back.webPasswordHash));
    EXPECT_EQ(back.cameraPassword, "cam-pass-3");  // the rest as it was
    QFile file(ini);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_FALSE(file.readAll().contains("s3cret"));

    // Read again (SIGHUP, systemctl reload): now the page starts.
    ::kill(static_cast<pid_t>(service.processId()), SIGHUP);
    const bool listening = waitUntil([&] {
        out += QString::fromUtf8(service.readAll());
        return out.contains("Web page on http://127.0.0.1:");
    });
    std::string denied, status;
    if (listening) {
        auto ask = [&](const std::string& auth) {
            auto done = std::async(std::launch::async, [&] {
                QTcpSocket socket;
                socket.connectToHost(QStringLiteral("127.0.0.1"), webPort);
                socket.waitForConnected(3000);
                const std::string request = "GET /api/status HTTP/1.0\r\nHost: x\r\n" + auth + "\r\n";
                socket.write(request.data(), static_cast<qint64>(request.size()));
                std::string raw;
                while (socket.waitForReadyRead(5000))
                    raw += socket.readAll().toStdString();
                return raw;
            });
            waitUntil([&] { return done.wait_for(0ms) == std::future_status::ready; });
            return done.get();
        };
        denied = ask("");
        status = ask("Authorization: Basic " + QByteArray("admin:s3cret pass").toBase64().toStdString() + "\r\n");
    }
    service.terminate();
    EXPECT_TRUE(service.waitForFinished(15000));
    out += QString::fromUtf8(service.readAll());
    ASSERT_TRUE(listening) << out.toStdString();
    EXPECT_EQ(denied.rfind("HTTP/1.1 401", 0), 0u) << denied;
    EXPECT_EQ(status.rfind("HTTP/1.1 200", 0), 0u) << status;
    EXPECT_NE(status.find("\"cameraHost\":\"127.0.0.1\""), std::string::npos) << status;
    EXPECT_EQ(service.exitCode(), 0);
    EXPECT_FALSE(out.contains("pbkdf2")) << "the hash reached the log";
    EXPECT_FALSE(out.contains("s3cret"));
}

}  // namespace
}  // namespace ipcam

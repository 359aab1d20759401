// The web page's server on loopback, spoken to by a plain HTTP client over a
// real socket: what a request without credentials gets, sessions and CSRF,
// recording names from outside, byte ranges, failed sign-ins, the settings
// round trip, a live viewer that does not read, and MKV recordings played as
// fragmented MP4.

#include <gtest/gtest.h>

#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

extern "C" {
#include <libavformat/avformat.h>
}

#include "frontends/web/web_password.h"
#include "frontends/web/web_server.h"
#include "frontends/web/web_state.h"
#include "playback/recording_source.h"
#include "recording/media_fixtures.h"
#include "recording/mkv_file.h"
#include "settings/settings_validation.h"
#include "support/log_capture.h"
#include "support/test_certificates.h"

namespace ipcam {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Response {
    int status = 0;
    std::string head;  // status line and headers
    std::string body;
    std::string header(const std::string& name) const {
        const std::string key = "\r\n" + name + ": ";
        auto at = head.find(key);
        if (at == std::string::npos)
            return {};
        at += key.size();
        return head.substr(at, head.find("\r\n", at) - at);
    }
};

// One request on a connection of its own; the answer read until the server closes.
Response send(uint16_t port, const std::string& method, const std::string& target,
              const std::string& headers = {}, const std::string& body = {}) {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    EXPECT_TRUE(socket.waitForConnected(3000));
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nConnection: close\r\n" + headers;
    if (!body.empty() || method == "POST")
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    request += "\r\n" + body;
    socket.write(request.data(), static_cast<qint64>(request.size()));
    std::string raw;
    while (socket.state() == QAbstractSocket::ConnectedState && socket.waitForReadyRead(5000))
        raw += socket.readAll().toStdString();
    raw += socket.readAll().toStdString();
    Response r;
    const size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos)
        return r;
    r.head = raw.substr(0, end);
    r.body = raw.substr(end + 4);
    if (r.head.size() > 12)
        r.status = std::stoi(r.head.substr(9, 3));
    return r;
}

std::string basic(const std::string& user, const std::string& password) {
    return "Authorization: Basic " + QByteArray::fromStdString(user + ":" + password).toBase64().toStdString() + "\r\n";
}

const std::string kPassword = "correct horse";
const std::string kCameraPassword = "cam-secret-7";

class WebServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("ipcam-web-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "rec" / "20261209");
        file_.resize(5000);
        for (size_t i = 0; i < file_.size(); ++i)
            file_[i] = static_cast<char>(i * 7 + 3);
        std::ofstream(root_ / "rec" / "20261209" / "221500T.AVI", std::ios::binary) << file_;
        std::ofstream(root_ / "secret.txt") << "outside-secret";
        fs::create_symlink(root_ / "secret.txt", root_ / "rec" / "20261209" / "221501T.AVI");

        CameraSettings s;
        s.hostAddress = "127.0.0.1";
        s.cameraPassword = kCameraPassword;
        s.aviDirectory = (root_ / "rec").string();
        s.keepDays = 5;
        s.cameraUrl = "http://viewer:" + kCameraPassword + "@127.0.0.1:8081/video";
        state_.setSettings(s);
        WebStatus st;
        st.folder = s.aviDirectory;
        st.link = "Up";
        state_.setStatus(st);
        state_.publish(std::make_shared<const std::vector<uint8_t>>(jpeg_));

        WebServerOptions o;
        o.passwordHash = hashWebPassword(kPassword, 1000);
        o.failedSignInDelay = 150ms;
        o.timeoutSeconds = 1;
        o.sessionIdle = sessionIdle_;
        o.openRecording = [this](const std::string& path) {
            ++opened_;
            return openRecording(QString::fromStdString(path));
        };
        WebCommands c;
        c.record = [this] { ++records_; };
        c.stop = [] {};
        c.reload = [] {};
        c.applySettings = [this](const CameraSettings& r) -> std::optional<SettingsProblem> {
            applied_ = r;
            state_.setSettings(r);
            return std::nullopt;
        };
        server_ = std::make_unique<WebServer>(o, state_, c);
        std::string error;
        ASSERT_TRUE(server_->start(&error)) << error;
        port_ = server_->port();
    }
    void TearDown() override {
        server_.reset();
        fs::remove_all(root_);
    }
    // Signs in; the session cookie and its CSRF token.
    std::pair<std::string, std::string> signIn() {
        const Response r = send(port_, "POST", "/signin", "Content-Type: application/x-www-form-urlencoded\r\n",
                                "user=admin&password=correct+horse");
        EXPECT_EQ(r.status, 303);
        EXPECT_EQ(r.header("Location"), "/");
        const std::string cookie = r.header("Set-Cookie");
        EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
        EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);
        const std::string token = cookie.substr(0, cookie.find(';'));
        EXPECT_EQ(token.size(), std::string("ipcam_session=").size() + 32);  // 128 bits
        const std::string header = "Cookie: " + token + "\r\n";
        const Response session = send(port_, "GET", "/api/session", header);
        const std::string key = "\"csrf\":\"";
        const size_t at = session.body.find(key);
        EXPECT_NE(at, std::string::npos);
        return {header, session.body.substr(at + key.size(), 32)};
    }

    fs::path root_;
    std::string file_;
    std::vector<uint8_t> jpeg_{0xFF, 0xD8, 0xFF, 0xE0, 'p', 'i', 'c', 0xFF, 0xD9};
    WebState state_;
    std::unique_ptr<WebServer> server_;
    uint16_t port_ = 0;
    std::atomic<int> records_{0};
    std::atomic<int> opened_{0};  // recordings opened to learn their length
    CameraSettings applied_;
    std::chrono::milliseconds sessionIdle_ = 30min;
};

struct WebServerIdleTest : WebServerTest {
    WebServerIdleTest() { sessionIdle_ = 400ms; }
};

TEST_F(WebServerIdleTest, AnIdleSessionEnds) {
    const auto [cookie, csrf] = signIn();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(send(port_, "GET", "/api/status", cookie).status, 200);  // used: kept
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(send(port_, "GET", "/api/status", cookie).status, 401);
}

TEST_F(WebServerTest, WithoutCredentialsNoRouteGivesData) {
    const char* api[] = {"/api/status", "/api/snapshot.jpg", "/api/live.mjpeg", "/api/live.mp4", "/api/recordings",
                         "/api/recordings/20261209/221500T.AVI", "/api/picture/20261209/221500T.AVI?n=0",
                         "/api/settings", "/api/log", "/api/session", "/api/play/20261209/221500T.MKV"};
    for (const char* path : api) {
        const Response r = send(port_, "GET", path);
        EXPECT_EQ(r.status, 401) << path;
        EXPECT_EQ(r.body.find("pic"), std::string::npos) << path;
        EXPECT_EQ(r.body.find("221500"), std::string::npos) << path;
        EXPECT_EQ(r.body.find(kCameraPassword), std::string::npos) << path;
        EXPECT_EQ(r.header("Cache-Control"), "no-store") << path;
    }
    for (const char* path : {"/api/record", "/api/stop", "/api/reload", "/api/settings"})
        EXPECT_EQ(send(port_, "POST", path).status, 401) << path;
    // A made-up session or a wrong Basic password is no better.
    EXPECT_EQ(send(port_, "GET", "/api/status", "Cookie: ipcam_session=0123456789abcdef0123456789abcdef\r\n").status,
              401);
    for (const char* path : {"/", "/app.js", "/index.html"}) {
        const Response r = send(port_, "GET", path);
        EXPECT_EQ(r.status, 303) << path;
        EXPECT_EQ(r.header("Location"), "/signin") << path;
        EXPECT_TRUE(r.body.empty()) << path;
    }
    const Response page = send(port_, "GET", "/signin");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.header("Content-Security-Policy"), "default-src 'self'; media-src 'self' blob:; frame-ancestors 'none'");
    EXPECT_EQ(page.header("X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(send(port_, "GET", "/style.css").status, 200);
    EXPECT_EQ(records_, 0);
}

TEST_F(WebServerTest, SessionsNeedTheCsrfTokenBasicOnlyOnTheApi) {
    const auto [cookie, csrf] = signIn();
    const Response status = send(port_, "GET", "/api/status", cookie);
    EXPECT_EQ(status.status, 200);
    EXPECT_NE(status.body.find("\"link\":\"Up\""), std::string::npos);
    const Response snapshot = send(port_, "GET", "/api/snapshot.jpg", cookie);
    EXPECT_EQ(snapshot.body, std::string(jpeg_.begin(), jpeg_.end()));
    EXPECT_EQ(send(port_, "GET", "/", cookie).status, 200);

    EXPECT_EQ(send(port_, "POST", "/api/record", cookie).status, 403);
    EXPECT_EQ(send(port_, "POST", "/api/record", cookie + "X-CSRF-Token: " + std::string(32, '0') + "\r\n").status, 403);
    EXPECT_EQ(records_, 0);
    EXPECT_EQ(send(port_, "POST", "/api/record", cookie + "X-CSRF-Token: " + csrf + "\r\n").status, 202);
    EXPECT_EQ(records_, 1);
    // HTTP Basic with the same user and password: no token on /api/, none elsewhere.
    EXPECT_EQ(send(port_, "POST", "/api/record", basic("admin", kPassword)).status, 202);
    EXPECT_EQ(records_, 2);
    EXPECT_EQ(send(port_, "POST", "/signout", basic("admin", kPassword)).status, 403);
    EXPECT_EQ(send(port_, "GET", "/api/status", basic("admin", kPassword)).status, 200);

    const Response out = send(port_, "POST", "/signout", cookie + "X-CSRF-Token: " + csrf + "\r\n");
    EXPECT_EQ(out.status, 303);
    EXPECT_NE(out.header("Set-Cookie").find("Max-Age=0"), std::string::npos);
    EXPECT_EQ(send(port_, "GET", "/api/status", cookie).status, 401);
}

// A page of another site may make the browser send the cookie, never do anything with it.
TEST_F(WebServerTest, RequestsFromAnotherSiteAreRefused) {
    const auto [cookie, csrf] = signIn();
    const std::string token = cookie + "X-CSRF-Token: " + csrf + "\r\n";
    for (const char* from : {"Origin: http://evil.example\r\n", "Origin: http://127.0.0.1:1\r\n", "Origin: null\r\n",
                             "Referer: http://evil.example/page\r\n"}) {
        EXPECT_EQ(send(port_, "POST", "/api/record", token + from).status, 403) << from;
        EXPECT_EQ(send(port_, "POST", "/signin", std::string("Content-Type: application/x-www-form-urlencoded\r\n") + from,
                       "user=admin&password=correct+horse")
                      .status,
                  403)
            << from;
    }
    EXPECT_EQ(records_, 0);
    // The page's own origin, or a page of its own as Referer, or neither named (no browser).
    for (const std::string& from : {"Origin: http://127.0.0.1:" + std::to_string(port_) + "\r\n",
                                   "Referer: http://127.0.0.1:" + std::to_string(port_) + "/#live\r\n", std::string()})
        EXPECT_EQ(send(port_, "POST", "/api/record", token + from).status, 202) << from;
    EXPECT_EQ(records_, 3);
    // Scripts with HTTP Basic send no Origin and stay welcome.
    EXPECT_EQ(send(port_, "POST", "/api/record", basic("admin", kPassword) + "Origin: http://evil.example\r\n").status, 202);
    EXPECT_EQ(records_, 4);
}

TEST_F(WebServerTest, OnlyNamesTheCatalogListsReachAFile) {
    const std::string auth = basic("admin", kPassword);
    const Response list = send(port_, "GET", "/api/recordings", auth);
    EXPECT_NE(list.body.find("20261209/221500T.AVI"), std::string::npos);
    EXPECT_EQ(list.body.find("221501T"), std::string::npos);  // the link is no recording
    // Listed again, the unchanged file is not opened again; once it changes, it is.
    EXPECT_EQ(opened_, 1);
    EXPECT_EQ(send(port_, "GET", "/api/recordings", auth).body, list.body);
    EXPECT_EQ(opened_, 1);
    std::ofstream(root_ / "rec" / "20261209" / "221500T.AVI", std::ios::binary | std::ios::app) << "more";
    EXPECT_NE(send(port_, "GET", "/api/recordings", auth).body.find("\"size\":5004"), std::string::npos);
    EXPECT_EQ(opened_, 2);
    for (const char* target :
         {"/api/recordings/../secret.txt", "/api/recordings/%2e%2e/secret.txt", "/api/recordings/20261209/..%2f..%2fsecret.txt",
          "/api/recordings/20261209/%2e%2e/%2e%2e/secret.txt", "/api/recordings/" "%2f" "etc/passwd",
          "/api/recordings//etc/passwd", "/api/recordings/20261209/221501T.AVI", "/api/picture/20261209/221501T.AVI?n=0",
          "/api/recordings/20261209/221500T.AVI/../../../secret.txt"}) {
        const Response r = send(port_, "GET", target, auth);
        EXPECT_EQ(r.status, 404) << target;
        EXPECT_EQ(r.body.find("outside-secret"), std::string::npos) << target;
        EXPECT_EQ(r.body.find("root:"), std::string::npos) << target;
    }
}

TEST_F(WebServerTest, RangesAreByteExact) {
    const std::string auth = basic("admin", kPassword);
    const std::string target = "/api/recordings/20261209/221500T.AVI";
    const Response whole = send(port_, "GET", target, auth);
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.body, file_);
    EXPECT_EQ(whole.header("Accept-Ranges"), "bytes");
    struct Case {
        const char* range;
        size_t first, last;
    } cases[] = {{"bytes=10-19", 10, 19}, {"bytes=4990-", 4990, 4999}, {"bytes=-7", 4993, 4999},
                 {"bytes=4000-9999", 4000, 4999}, {"bytes=0-0", 0, 0}};
    for (const Case& c : cases) {
        const Response r = send(port_, "GET", target, auth + "Range: " + c.range + "\r\n");
        EXPECT_EQ(r.status, 206) << c.range;
        EXPECT_EQ(r.body, file_.substr(c.first, c.last - c.first + 1)) << c.range;
        EXPECT_EQ(r.header("Content-Range"),
                  "bytes " + std::to_string(c.first) + "-" + std::to_string(c.last) + "/5000") << c.range;
    }
    const Response beyond = send(port_, "GET", target, auth + "Range: bytes=5000-\r\n");
    EXPECT_EQ(beyond.status, 416);
    EXPECT_EQ(beyond.header("Content-Range"), "bytes */5000");
}

TEST_F(WebServerTest, WrongPasswordsAreRefusedSlowedAndLoggedWithoutThePassword) {
    test::LogCapture log;
    const std::string form = "Content-Type: application/x-www-form-urlencoded\r\n";
    auto attempt = [&](const std::string& password) {
        const auto start = std::chrono::steady_clock::now();
        const Response r = send(port_, "POST", "/signin", form, "user=admin&password=" + password);
        return std::make_pair(r, std::chrono::steady_clock::now() - start);
    };
    auto [first, firstTook] = attempt("guess-one");
    EXPECT_EQ(first.status, 303);
    EXPECT_EQ(first.header("Location"), "/signin?failed=1");
    EXPECT_TRUE(first.header("Set-Cookie").empty());
    EXPECT_GE(firstTook, 150ms);
    // Straight after, even the right password waits its turn.
    EXPECT_EQ(attempt("correct+horse").first.status, 429);
    std::this_thread::sleep_for(200ms);
    auto [second, secondTook] = attempt("guess-two");
    EXPECT_EQ(second.status, 303);
    EXPECT_GE(secondTook, 300ms);  // the delay grows
    EXPECT_EQ(send(port_, "GET", "/api/status", basic("admin", "guess-three")).status, 401);
    std::this_thread::sleep_for(1300ms);
    EXPECT_EQ(attempt("correct+horse").first.status, 303);
    EXPECT_NE(log.text().find("wrong user name or password from 127.0.0.1"), std::string::npos);
    EXPECT_EQ(log.text().find("guess"), std::string::npos);
    EXPECT_EQ(log.text().find("correct"), std::string::npos);
}

TEST_F(WebServerTest, RequestsAreBoundedAndSlowClientsDropped) {
    const Response huge = send(port_, "GET", "/api/status", "X-Filler: " + std::string(20000, 'a') + "\r\n" +
                                                               basic("admin", kPassword));
    EXPECT_GE(huge.status, 400);
    EXPECT_EQ(send(port_, "GET", "/" + std::string(20000, 'b')).status >= 400, true);
    // A client that sends half a request and waits is dropped.
    QTcpSocket slow;
    slow.connectToHost(QStringLiteral("127.0.0.1"), port_);
    ASSERT_TRUE(slow.waitForConnected(3000));
    slow.write("GET /api/status HTTP/1.1\r\nHost: x\r\n");
    slow.waitForBytesWritten(1000);
    EXPECT_TRUE(slow.waitForDisconnected(5000));
}

TEST_F(WebServerTest, SettingsGoThroughTheSameChecksAndPasswordsStayHome) {
    const std::string auth = basic("admin", kPassword);
    const Response got = send(port_, "GET", "/api/settings", auth);
    EXPECT_EQ(got.status, 200);
    EXPECT_EQ(got.body.find(kCameraPassword), std::string::npos);
    EXPECT_NE(got.body.find("\"IPCAM_Password\":null"), std::string::npos);
    EXPECT_NE(got.body.find("\"Keep_Days\":5"), std::string::npos);

    const std::string json = "Content-Type: application/json\r\n";
    const Response bad = send(port_, "POST", "/api/settings", auth + json, R"({"Keep_Days":"99999"})");
    EXPECT_EQ(bad.status, 400);
    CameraSettings scratch;
    const auto expected = takeSetupTexts({.cameraUrl = "", .motionPrerollSeconds = "0", .keepDays = "99999", .previewUrl = ""}, scratch);
    ASSERT_TRUE(expected);
    EXPECT_NE(bad.body.find("\"field\":\"Keep_Days\""), std::string::npos);
    EXPECT_NE(bad.body.find("\"code\":\"OutOfRange\""), std::string::npos);
    EXPECT_NE(bad.body.find(expected->text.substr(0, 40)), std::string::npos);
    EXPECT_EQ(send(port_, "POST", "/api/settings", auth + json, R"({"SMTP_Server":"a\r\nRCPT TO:x"})").status, 400);

    // Sent back as shown (masked URL, null passwords): the secrets stay as they were.
    const std::string shownUrl = got.body.substr(got.body.find("\"Camera_URL\":") + 13);
    const Response ok = send(port_, "POST", "/api/settings", auth + json,
                             "{\"Camera_URL\":" + shownUrl.substr(0, shownUrl.find(',')) +
                                 ",\"IPCAM_Password\":null,\"Keep_Days\":\"7\",\"Resolution\":2}");
    EXPECT_EQ(ok.status, 200) << ok.body;
    EXPECT_EQ(applied_.keepDays, 7);
    EXPECT_EQ(applied_.resolution, 2);
    EXPECT_EQ(applied_.cameraPassword, kCameraPassword);
    EXPECT_EQ(applied_.cameraUrl, state_.settings().cameraUrl);
    EXPECT_NE(applied_.cameraUrl.find(kCameraPassword), std::string::npos);
    EXPECT_EQ(send(port_, "POST", "/api/settings", auth + json, std::string(70 * 1024, ' ')).status, 413);
}

TEST_F(WebServerTest, ALiveViewerThatDoesNotReadLosesPicturesNotMemory) {
    const std::string auth = basic("admin", kPassword);
    // A viewer that reads gets the camera's bytes as they came.
    {
        QTcpSocket reader;
        reader.connectToHost(QStringLiteral("127.0.0.1"), port_);
        ASSERT_TRUE(reader.waitForConnected(3000));
        const std::string request = "GET /api/live.mjpeg HTTP/1.1\r\nHost: x\r\n" + auth + "\r\n";
        reader.write(request.data(), static_cast<qint64>(request.size()));
        std::string got;
        while (got.find("\xFF\xD9", got.find("\r\n\r\n", got.find("--ipcamframe")) + 1) == std::string::npos &&
               reader.waitForReadyRead(3000))
            got += reader.readAll().toStdString();
        EXPECT_NE(got.find("multipart/x-mixed-replace; boundary=ipcamframe"), std::string::npos);
        EXPECT_NE(got.find("Content-Type: image/jpeg\r\nContent-Length: 9\r\n\r\n" +
                           std::string(jpeg_.begin(), jpeg_.end())),
                  std::string::npos);
    }
    // One that never reads: its queue stays at its depth and publishing goes on.
    QTcpSocket stalled;
    stalled.setReadBufferSize(1);
    stalled.connectToHost(QStringLiteral("127.0.0.1"), port_);
    ASSERT_TRUE(stalled.waitForConnected(3000));
    const std::string request = "GET /api/live.mjpeg HTTP/1.1\r\nHost: x\r\n" + auth + "\r\n";
    stalled.write(request.data(), static_cast<qint64>(request.size()));
    stalled.waitForBytesWritten(1000);
    for (int i = 0; i < 100 && state_.viewerCount() == 0; ++i)
        std::this_thread::sleep_for(20ms);
    ASSERT_GE(state_.viewerCount(), 1u);
    auto picture = std::make_shared<const std::vector<uint8_t>>(512 * 1024, 0x55);
    for (int i = 0; i < 400; ++i)
        state_.publish(picture);  // 200 MB offered; the socket buffers hold a few
    const auto viewer = state_.addViewer();
    for (int i = 0; i < 10; ++i)
        state_.publish(picture);
    EXPECT_EQ(viewer->dropped(), 10u - PictureQueue::kDepth);
    state_.removeViewer(viewer);
    // The server still answers others at once.
    EXPECT_EQ(send(port_, "GET", "/api/status", auth).status, 200);
}

// A chunked body as sent.
std::string dechunked(const std::string& body) {
    std::string out;
    size_t at = 0;
    while (at < body.size()) {
        const size_t line = body.find("\r\n", at);
        if (line == std::string::npos) break;
        const size_t n = std::stoul(body.substr(at, line - at), nullptr, 16);
        if (n == 0) break;
        out += body.substr(line + 2, n);
        at = line + 2 + n + 2;
    }
    return out;
}

// The top-level box types of an MP4 file.
std::vector<std::string> boxesOf(const std::string& mp4) {
    std::vector<std::string> boxes;
    for (size_t at = 0; at + 8 <= mp4.size();) {
        const auto* p = reinterpret_cast<const unsigned char*>(mp4.data() + at);
        const uint32_t size = (uint32_t{p[0]} << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
        boxes.push_back(mp4.substr(at + 4, 4));
        if (size < 8) break;
        at += size;
    }
    return boxes;
}

// The video packets of a media file as libavformat reads them.
struct VideoPackets {
    std::vector<std::string> bytes;
    std::vector<bool> key;
    std::vector<double> seconds;
};
VideoPackets videoPacketsOf(const std::string& path) {
    VideoPackets v;
    AVFormatContext* in = nullptr;
    if (avformat_open_input(&in, path.c_str(), nullptr, nullptr) < 0) return v;
    const int video = av_find_best_stream(in, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    AVPacket* p = av_packet_alloc();
    while (video >= 0 && av_read_frame(in, p) >= 0) {
        if (p->stream_index == video) {
            v.bytes.emplace_back(reinterpret_cast<const char*>(p->data), p->size);
            v.key.push_back(p->flags & AV_PKT_FLAG_KEY);
            v.seconds.push_back(p->pts * av_q2d(in->streams[video]->time_base));
        }
        av_packet_unref(p);
    }
    av_packet_free(&p);
    avformat_close_input(&in);
    return v;
}

// An MKV recording made with the recorder's own writer: 20261209/<time>T.MKV.
std::string writeMkv(const media_test::Camera& cam, const fs::path& folder, const std::string& time) {
    PartialMkvWriter w;
    std::string error, final;
    const auto start = makeDateTime(2026, 12, 9, std::stoi(time.substr(0, 2)), std::stoi(time.substr(2, 2)),
                                    std::stoi(time.substr(4, 2)));
    EXPECT_TRUE(w.open(folder.string(), start, false, *cam.tracks, &error)) << error;
    for (const MediaPacket& p : cam.packets)
        EXPECT_TRUE(w.append(p, &error)) << error;
    EXPECT_TRUE(w.finish((folder / "20261209").string(), time, false, &final, &error)) << error;
    return final;
}

TEST_F(WebServerTest, MkvRecordingsPlayAsFragmentedMp4FromAKeyFrame) {
    // Three seconds, a key frame each second, AAC and G.711 beside the video.
    const media_test::Camera cam = media_test::makeCamera(AV_CODEC_ID_H264, 75, 25, 25, true);
    if (!cam.tracks) GTEST_SKIP() << "no libx264 encoder";
    const std::string mkv = writeMkv(cam, root_ / "rec", "221600");
    const VideoPackets recorded = videoPacketsOf(mkv);
    ASSERT_EQ(recorded.bytes.size(), 75u);
    const std::string auth = basic("admin", kPassword);
    auto play = [&](const std::string& query, VideoPackets* packets) {
        Response r = send(port_, "GET", "/api/play/20261209/221600T.MKV" + query, auth);
        r.body = dechunked(r.body);
        const fs::path out = root_ / "played.mp4";
        std::ofstream(out, std::ios::binary) << r.body;
        *packets = videoPacketsOf(out.string());
        return r;
    };

    VideoPackets whole;
    const Response r = play("", &whole);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.header("Content-Type"), "video/mp4");
    EXPECT_EQ(r.header("X-Start-Seconds"), "0.000");
    const auto boxes = boxesOf(r.body);
    ASSERT_GE(boxes.size(), 8u);
    EXPECT_EQ(boxes[0], "ftyp");
    EXPECT_EQ(boxes[1], "moov");
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moof"), std::count(boxes.begin(), boxes.end(), "mdat"));
    EXPECT_GE(std::count(boxes.begin(), boxes.end(), "moof"), 3);  // a fragment a second at least
    EXPECT_EQ(boxes[2], "moof");
    EXPECT_EQ(boxes[3], "mdat");
    EXPECT_EQ(whole.bytes, recorded.bytes);  // stream copy: the recorded packets as they are
    ASSERT_FALSE(whole.key.empty());
    EXPECT_TRUE(whole.key[0]);

    // From the middle: the key frame before, its time told, the output from 0.
    VideoPackets middle;
    const Response m = play("?start=1.5", &middle);
    EXPECT_EQ(m.status, 200);
    EXPECT_EQ(m.header("X-Start-Seconds"), "1.000");
    ASSERT_EQ(middle.bytes.size(), 50u);
    EXPECT_TRUE(middle.key[0]);
    EXPECT_DOUBLE_EQ(middle.seconds[0], 0.0);
    EXPECT_TRUE(std::equal(middle.bytes.begin(), middle.bytes.end(), recorded.bytes.begin() + 25));
    EXPECT_EQ(send(port_, "GET", "/api/play/20261209/221600T.MKV?start=-1", auth).status, 400);
    EXPECT_EQ(send(port_, "GET", "/api/play/20261209/221600T.MKV?start=x", auth).status, 400);

    // Only names the catalog resolves; a link to a real recording is none.
    fs::create_symlink(mkv, root_ / "rec" / "20261209" / "221601T.MKV");
    for (const char* target : {"/api/play/../secret.txt", "/api/play/20261209/..%2f..%2fsecret.txt",
                               "/api/play/20261209/221601T.MKV", "/api/play/20261209/221500T.AVI",
                               "/api/play//etc/passwd", "/api/play/20261209/221600T.MKV/../../secret.txt"}) {
        const Response refused = send(port_, "GET", target, auth);
        EXPECT_EQ(refused.status, 404) << target;
        EXPECT_EQ(refused.body.find("outside-secret"), std::string::npos) << target;
    }

    // A damaged file is refused with a reason; one cut short plays up to the cut.
    std::ofstream(root_ / "rec" / "20261209" / "221700T.MKV", std::ios::binary) << std::string(4096, 'x');
    EXPECT_EQ(send(port_, "GET", "/api/play/20261209/221700T.MKV", auth).status, 422);
    std::ifstream in(mkv, std::ios::binary);
    const std::string full((std::istreambuf_iterator<char>(in)), {});
    std::ofstream(root_ / "rec" / "20261209" / "221800T.MKV", std::ios::binary) << full.substr(0, full.size() / 2);
    const Response cut = send(port_, "GET", "/api/play/20261209/221800T.MKV", auth);
    EXPECT_EQ(cut.status, 200);
    EXPECT_EQ(boxesOf(dechunked(cut.body)).at(2), "moof");

    // The recording being written is not there yet: said so.
    WebStatus st = state_.status();
    st.recordingFile = "20261209/230000T.MKV";
    state_.setStatus(st);
    const Response writing = send(port_, "GET", "/api/play/20261209/230000T.MKV", auth);
    EXPECT_EQ(writing.status, 409);
    EXPECT_NE(writing.body.find("still being written"), std::string::npos);

    // H.265: refused unless the browser says it plays it.
    const media_test::Camera hevc = media_test::makeCamera(AV_CODEC_ID_HEVC, 10, 25, 5, false);
    if (hevc.tracks) {
        writeMkv(hevc, root_ / "rec", "221900");
        const Response refused = send(port_, "GET", "/api/play/20261209/221900T.MKV", auth);
        EXPECT_EQ(refused.status, 415);
        EXPECT_NE(refused.body.find("H.265"), std::string::npos);
        const Response taken = send(port_, "GET", "/api/play/20261209/221900T.MKV?hevc=1", auth);
        EXPECT_EQ(taken.status, 200);
        EXPECT_NE(dechunked(taken.body).find("hvc1"), std::string::npos);
    }
}

// With a certificate and key the page is HTTPS only, and its cookie Secure.
TEST(WebServerTls, HttpsOnlyWithASecureCookie) {
    QTemporaryDir dir;
    test::TestCertificates certificates(dir.path().toStdString());
    const auto pair = certificates.issue("web", {"127.0.0.1"});
    auto read = [](const std::string& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    WebState state;
    WebServerOptions o;
    o.passwordHash = hashWebPassword("pw", 1000);
    o.tlsCertPem = read(pair.certFile);
    o.tlsKeyPem = read(pair.keyFile);
    WebServer server(o, state, {});
    std::string error;
    ASSERT_TRUE(server.start(&error)) << error;

    QSslSocket socket;
    QSslConfiguration tls = socket.sslConfiguration();
    tls.setCaCertificates(QSslCertificate::fromPath(QString::fromStdString(certificates.authorityFile())));
    socket.setSslConfiguration(tls);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), server.port());
    ASSERT_TRUE(socket.waitForEncrypted(5000)) << socket.errorString().toStdString();
    const std::string body = "user=admin&password=pw";
    const std::string request = "POST /signin HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body;
    socket.write(request.data(), static_cast<qint64>(request.size()));
    std::string raw;
    while (socket.waitForReadyRead(5000))
        raw += socket.readAll().toStdString();
    EXPECT_EQ(raw.rfind("HTTP/1.1 303", 0), 0u) << raw;
    EXPECT_NE(raw.find("HttpOnly; SameSite=Strict; Secure"), std::string::npos) << raw;
    // Plain HTTP gets no page.
    EXPECT_EQ(send(server.port(), "GET", "/signin").status, 0);
}

TEST(WebPassword, SaltedSlowHashComparedWhole) {
    const std::string stored = hashWebPassword("pw", 2000);
    EXPECT_EQ(stored.rfind("pbkdf2-sha256$2000$", 0), 0u);
    EXPECT_NE(stored, hashWebPassword("pw", 2000));  // a fresh salt each time
    EXPECT_TRUE(verifyWebPassword("pw", stored));
    EXPECT_FALSE(verifyWebPassword("pW", stored));
    EXPECT_FALSE(verifyWebPassword("pw", stored.substr(0, stored.size() - 4) + "AAA="));
    EXPECT_FALSE(verifyWebPassword("pw", "pw"));
    EXPECT_FALSE(verifyWebPassword("", ""));
    EXPECT_EQ(hashWebPassword("x").rfind("pbkdf2-sha256$600000$", 0), 0u);
}

TEST(WebAddress, CheckedLikeTheOtherSettings) {
    for (const char* good : {"", "127.0.0.1:8088", "0.0.0.0:80", "[::1]:8443"})
        EXPECT_FALSE(checkWebAddress(good)) << good;
    for (const char* bad : {"127.0.0.1", "localhost:8088", "127.0.0.1:0", "127.0.0.1:65536", "127.1:80", "::1:80",
                            "127.0.0.1:80x", " 127.0.0.1:80"}) {
        const auto problem = checkWebAddress(bad);
        ASSERT_TRUE(problem) << bad;
        EXPECT_EQ(problem->field, SettingsField::WebAddress);
        EXPECT_EQ(problem->code, SettingsCode::BadAddress);
        EXPECT_STREQ(settingsKey(problem->field), "Web_Address");
    }
    CameraSettings s;
    s.webAddress = "somewhere";
    ASSERT_TRUE(validateSettings(s));
    EXPECT_EQ(validateSettings(s)->field, SettingsField::WebAddress);
}

}  // namespace
}  // namespace ipcam

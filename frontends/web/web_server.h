#pragma once
// The web page's HTTP server (libmicrohttpd): its own threads, one per
// connection, so the engine's thread never waits on a browser. Every route
// but the sign-in page and its style sheet needs a session (a cookie from
// signing in) or HTTP Basic with the same user and password. Sessions are
// random 128-bit tokens; a state-changing request from a session carries
// the session's CSRF token (header X-CSRF-Token) and, like a sign-in, is
// refused when its Origin (or Referer) names another host:port than its Host;
// Basic needs neither on /api/.
// Failed sign-ins from one client address slow down (a growing delay).
// Requests are bounded (request line and headers, body), slow clients time
// out and connections are limited. Recordings are served only by a name the
// catalog resolves.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "frontends/web/web_state.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace ipcam {

class PictureSource;
class RecordedFile;

struct WebServerOptions {
    std::string host = "127.0.0.1";  // an IPv4 or IPv6 address
    uint16_t port = 0;               // 0: a free port (port() tells which)
    std::string user = "admin";
    std::string passwordHash;        // Web_Password_Hash
    std::string tlsCertPem;          // both set: HTTPS only
    std::string tlsKeyPem;
    std::string logFile;             // the activity log, for the log page
    unsigned maxConnections = 32;
    unsigned maxConnectionsPerAddress = 16;
    unsigned timeoutSeconds = 30;    // a client silent this long is dropped
    size_t maxHeaderBytes = 16 * 1024;  // request line and headers
    size_t maxBodyBytes = 64 * 1024;
    std::chrono::milliseconds failedSignInDelay{500};  // doubles with each failure, up to 32 times
    std::chrono::milliseconds sessionIdle{std::chrono::minutes(30)};  // a session unused this long ends
    // How a recording is opened to learn its length (empty: openRecording).
    std::function<std::unique_ptr<PictureSource>(const std::string& path)> openRecording;
};

class WebServer {
public:
    WebServer(WebServerOptions options, WebState& state, WebCommands commands);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Listens; false with `error` set when it cannot.
    bool start(std::string* error);
    // Ends every connection (live viewers included) and waits for its threads.
    void stop();
    uint16_t port() const { return port_; }
    bool tls() const { return !options_.tlsCertPem.empty(); }

    struct Request;
    struct Reply;

private:
    struct Session {
        std::string csrf;
        std::chrono::steady_clock::time_point lastUsed;
    };
    struct Failures {
        int count = 0;
        std::chrono::steady_clock::time_point last;
        std::chrono::steady_clock::time_point nextAllowed;
    };
    enum class Auth { None, Session, Basic };

    static int onRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                         const char* version, const char* uploadData, size_t* uploadDataSize, void** context);
    static void onCompleted(void* cls, MHD_Connection* connection, void** context, int reason);

    Reply route(Request& request);
    Reply signIn(Request& request);
    Reply signOut(Request& request);
    Reply api(Request& request);
    Reply recordingFile(Request& request, const std::string& name);
    Reply recordingPicture(Request& request, const std::string& name);
    Reply playRecording(Request& request, const std::string& name);
    Reply recordingList();
    Reply liveStream();
    Reply liveVideo();
    Reply settingsGet();
    Reply settingsPost(Request& request);
    Reply logLines();

    Auth authenticate(Request& request);
    bool fromThisPage(const Request& request) const;
    bool passwordMatches(const std::string& user, const std::string& password);
    // The wait before a client may try again, or zero; counts a failure when `failed`.
    std::chrono::milliseconds throttle(const std::string& address, bool failed);
    std::chrono::milliseconds lockedFor(const std::string& address);
    void sleepFor(std::chrono::milliseconds delay);
    std::string newSession();
    std::string recordingsFolder() const;

    WebServerOptions options_;
    WebState& state_;
    WebCommands commands_;
    MHD_Daemon* daemon_ = nullptr;
    uint16_t port_ = 0;

    std::mutex mutex_;  // sessions_, failures_, verified_
    std::condition_variable stopping_;
    bool stopped_ = false;
    std::map<std::string, Session> sessions_;
    std::map<std::string, Failures> failures_;
    // Digests of credentials checked lately, so that HTTP Basic does not pay
    // the slow hash on every request.
    std::map<std::string, std::chrono::steady_clock::time_point> verified_;
    std::string verifyKey_;
    // The AVI recording last played, open, so that each picture asked for
    // does not read its index again.
    // Each listed recording's length as learnt, kept while its size and
    // modification time stay the same, so a list opens only what changed.
    struct Length {
        uint64_t size = 0;
        int64_t modifiedNs = 0;
        bool known = false;  // false: the file could not be read as a recording
        int64_t seconds = 0;
        int pictures = 0;
        int intervalMs = 0;
    };
    std::mutex lengthsMutex_;
    std::map<std::string, Length> lengths_;  // by path
    std::mutex playedMutex_;
    std::string playedPath_;
    std::unique_ptr<RecordedFile> played_;
};

}  // namespace ipcam

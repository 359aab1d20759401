#include "frontends/web/web_server.h"
#include "frontends/web/byte_range.h"
#include "frontends/web/mp4_remux.h"
#include "frontends/web/fmp4_muxer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "base/activity_log.h"
#include "base/secrets.h"
#include "frontends/web/web_pages.h"
#include "frontends/web/web_password.h"
#include "frontends/web/web_settings_json.h"
#include "playback/recorded_file.h"
#include "playback/recording_source.h"
#include "recording/recording_catalog.h"

namespace ipcam {

namespace {

constexpr const char* kCookie = "ipcam_session";
constexpr size_t kMaxSessions = 64;
constexpr size_t kMaxFailureEntries = 1024;
constexpr auto kFailureMemory = std::chrono::minutes(15);
constexpr auto kVerifiedFor = std::chrono::minutes(5);
constexpr const char* kBoundary = "ipcamframe";
constexpr int kListedLengths = 300;  // recordings a list opens (or remembers) for their length

std::string randomHex(size_t bytes) {
    std::vector<unsigned char> raw(bytes);
    if (RAND_bytes(raw.data(), static_cast<int>(bytes)) != 1)
        throw std::runtime_error("No random bytes (OpenSSL).");
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : raw) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

bool sameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string sha256(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

// "host:port" in lower case, the scheme's port filled in when none is named.
std::string authorityWithPort(std::string authority, bool https) {
    std::transform(authority.begin(), authority.end(), authority.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const size_t bracket = authority.rfind(']');
    const size_t colon = authority.rfind(':');
    if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket))
        authority += https ? ":443" : ":80";
    return authority;
}

// Whether an Origin (or Referer) names the host and port the request was sent to.
bool sameOrigin(const std::string& origin, const std::string& host, bool https) {
    const size_t scheme = origin.find("://");
    if (scheme == std::string::npos || host.empty())
        return false;
    const std::string name = origin.substr(0, scheme);
    if (name != "http" && name != "https")
        return false;
    const size_t from = scheme + 3;
    const size_t end = origin.find_first_of("/?#", from);
    const std::string authority = origin.substr(from, end == std::string::npos ? std::string::npos : end - from);
    if (authority.empty() || authority.find('@') != std::string::npos)
        return false;
    return authorityWithPort(authority, name == "https") == authorityWithPort(host, https);
}

std::string json(const QJsonObject& object) { return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString(); }

const char* kindName(int kind) {
    switch (kind) {
    case 1: return "Manual";
    case 2: return "Daily";
    case 4: return "Motion";
    default: return "";
    }
}

}  // namespace

struct WebServer::Request {
    MHD_Connection* connection = nullptr;
    std::string method;
    std::string path;
    std::string body;
    bool bodyTooLarge = false;
    std::string address;
    std::string session;  // the session's token once authenticated by it
    std::string header(const char* name) const {
        const char* v = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
        return v ? v : "";
    }
    std::string argument(const char* name) const {
        const char* v = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, name);
        return v ? v : "";
    }
    std::string cookie(const char* name) const {
        const char* v = MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, name);
        return v ? v : "";
    }
};

struct WebServer::Reply {
    unsigned status = 200;
    std::string type = "text/plain; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    int fd = -1;  // a file's bytes from `offset`, `length` of them
    uint64_t offset = 0;
    uint64_t length = 0;
    std::shared_ptr<PictureQueue> viewer;  // the live pictures
    std::unique_ptr<Mp4Remux> remux;       // an MKV recording as fragmented MP4
    std::shared_ptr<VideoQueue> videoViewer;  // the live video, muxed by `muxer`
    std::shared_ptr<Fmp4Muxer> muxer;

    static Reply text(unsigned status, std::string body) {
        Reply r;
        r.status = status;
        r.body = std::move(body);
        return r;
    }
    static Reply jsonReply(unsigned status, const QJsonObject& object) {
        Reply r;
        r.status = status;
        r.type = "application/json";
        r.body = json(object);
        return r;
    }
    static Reply error(unsigned status, const std::string& message) {
        return jsonReply(status, QJsonObject{{"error", QString::fromStdString(message)}});
    }
    static Reply redirect(const std::string& to) {
        Reply r;
        r.status = 303;
        r.headers.emplace_back("Location", to);
        return r;
    }
};

namespace {

// One request's state across the handler's calls (the body comes in parts).
struct RequestContext {
    std::string body;
    bool tooLarge = false;
};

// The live pictures as one multipart/x-mixed-replace body: each part is the
// camera's JPEG as it came.
struct LiveStream {
    std::shared_ptr<PictureQueue> viewer;
    WebState* state = nullptr;
    std::string head;  // the part's headers, then the picture
    Picture picture;
    size_t sent = 0;  // of head + picture
};

ssize_t readLive(void* cls, uint64_t, char* buffer, size_t max) {
    auto* live = static_cast<LiveStream*>(cls);
    while (!live->picture) {
        if (live->viewer->closed())
            return MHD_CONTENT_READER_END_OF_STREAM;
        Picture next = live->viewer->pop(std::chrono::milliseconds(500));
        if (!next)
            return 0;  // asked again: a viewer that left is noticed meanwhile
        live->picture = std::move(next);
        live->head = std::string("--") + kBoundary + "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                     std::to_string(live->picture->size()) + "\r\n\r\n";
        live->sent = 0;
    }
    const size_t total = live->head.size() + live->picture->size() + 2;
    size_t n = 0;
    while (n < max && live->sent < total) {
        if (live->sent < live->head.size()) {
            const size_t k = std::min(max - n, live->head.size() - live->sent);
            std::memcpy(buffer + n, live->head.data() + live->sent, k);
            n += k;
            live->sent += k;
        } else if (live->sent < live->head.size() + live->picture->size()) {
            const size_t at = live->sent - live->head.size();
            const size_t k = std::min(max - n, live->picture->size() - at);
            std::memcpy(buffer + n, live->picture->data() + at, k);
            n += k;
            live->sent += k;
        } else {
            buffer[n++] = live->sent + 1 == total ? '\n' : '\r';
            ++live->sent;
        }
    }
    if (live->sent == total)
        live->picture.reset();
    return static_cast<ssize_t>(n);
}

void freeLive(void* cls) {
    auto* live = static_cast<LiveStream*>(cls);
    live->state->removeViewer(live->viewer);
    delete live;
}

// A recording remuxed as the browser reads it: MHD asks for the next piece
// only when the last one was sent, and frees the remuxer when the browser
// goes away.
ssize_t readRemux(void* cls, uint64_t, char* buffer, size_t max) {
    const long n = static_cast<Mp4Remux*>(cls)->read(reinterpret_cast<uint8_t*>(buffer), max);
    if (n > 0)
        return n;
    return n == 0 ? MHD_CONTENT_READER_END_OF_STREAM : MHD_CONTENT_READER_END_WITH_ERROR;
}

void freeRemux(void* cls) { delete static_cast<Mp4Remux*>(cls); }
// The live video as fragmented MP4: the init segment, then a fragment for
// each packet of the viewer's queue, muxed on the viewer's own thread. It
// ends when the queue closes (another connection of the camera, none, the
// server stopping).
struct LiveVideoStream {
    std::shared_ptr<VideoQueue> viewer;
    std::shared_ptr<Fmp4Muxer> muxer;
    WebState* state = nullptr;
    std::string out;  // muxed, not yet sent
    size_t sent = 0;
};

ssize_t readLiveVideo(void* cls, uint64_t, char* buffer, size_t max) {
    auto* live = static_cast<LiveVideoStream*>(cls);
    while (live->sent == live->out.size()) {
        live->out.clear();
        live->sent = 0;
        if (live->viewer->closed())
            return MHD_CONTENT_READER_END_OF_STREAM;
        VideoQueue::Item next = live->viewer->pop(std::chrono::milliseconds(500));
        if (!next.packet)
            return 0;  // asked again: a viewer that left is noticed meanwhile
        if (next.packet->tracks != live->muxer->tracks())
            return MHD_CONTENT_READER_END_OF_STREAM;  // another connection's video
        if (!live->muxer->write(next.packet, next.afterGap, live->out))
            return MHD_CONTENT_READER_END_WITH_ERROR;
    }
    const size_t n = std::min(max, live->out.size() - live->sent);
    std::memcpy(buffer, live->out.data() + live->sent, n);
    live->sent += n;
    return static_cast<ssize_t>(n);
}

void freeLiveVideo(void* cls) {
    auto* live = static_cast<LiveVideoStream*>(cls);
    live->state->removeVideoViewer(live->viewer);
    delete live;
}

std::string clientAddress(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr)
        return "?";
    char text[INET6_ADDRSTRLEN] = {};
    const sockaddr* sa = info->client_addr;
    if (sa->sa_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, text, sizeof text);
    else if (sa->sa_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, text, sizeof text);
    return text[0] ? text : "?";
}


}  // namespace

WebServer::WebServer(WebServerOptions options, WebState& state, WebCommands commands)
    : options_(std::move(options)), state_(state), commands_(std::move(commands)), verifyKey_(randomHex(32)) {}

WebServer::~WebServer() { stop(); }

bool WebServer::start(std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    if (!isWebPasswordHash(options_.passwordHash))
        return fail("no web password is set (ipcam-recorder --set-web-password)");
    unsigned flags = MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO;
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    const sockaddr* address = nullptr;
    if (::inet_pton(AF_INET, options_.host.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(options_.port);
        address = reinterpret_cast<const sockaddr*>(&v4);
    } else if (::inet_pton(AF_INET6, options_.host.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(options_.port);
        address = reinterpret_cast<const sockaddr*>(&v6);
        flags |= MHD_USE_IPv6;
    } else {
        return fail("the address " + options_.host + " is not an IP address");
    }
    const bool https = !options_.tlsCertPem.empty() || !options_.tlsKeyPem.empty();
    if (https) {
        if (options_.tlsCertPem.empty() || options_.tlsKeyPem.empty())
            return fail("HTTPS needs both a certificate and a key");
        if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES)
            return fail("this libmicrohttpd has no TLS");
        flags |= MHD_USE_TLS;
    }
    {
        std::lock_guard lock(mutex_);
        stopped_ = false;
    }
    std::vector<MHD_OptionItem> items = {
        {MHD_OPTION_SOCK_ADDR, 0, const_cast<sockaddr*>(address)},
        {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(options_.maxConnections), nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<intptr_t>(options_.maxConnectionsPerAddress), nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(options_.timeoutSeconds), nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(options_.maxHeaderBytes), nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&WebServer::onCompleted), this},
    };
    if (https) {
        items.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(options_.tlsCertPem.c_str())});
        items.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(options_.tlsKeyPem.c_str())});
    }
    items.push_back({MHD_OPTION_END, 0, nullptr});
    daemon_ = MHD_start_daemon(flags, options_.port, nullptr, nullptr,
                               reinterpret_cast<MHD_AccessHandlerCallback>(&WebServer::onRequest), this,
                               MHD_OPTION_ARRAY, items.data(), MHD_OPTION_END);
    if (!daemon_)
        return fail("cannot listen on " + options_.host + ":" + std::to_string(options_.port) +
                    (https ? " (or the certificate or key is not usable)" : ""));
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    port_ = info ? info->port : options_.port;
    return true;
}

void WebServer::stop() {
    if (!daemon_)
        return;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    stopping_.notify_all();
    state_.close();
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}

void WebServer::onCompleted(void*, MHD_Connection*, void** context, int) {
    delete static_cast<RequestContext*>(*context);
    *context = nullptr;
}

int WebServer::onRequest(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                         const char* uploadData, size_t* uploadDataSize, void** context) {
    auto* self = static_cast<WebServer*>(cls);
    auto* ctx = static_cast<RequestContext*>(*context);
    if (!ctx) {
        *context = new RequestContext;
        return MHD_YES;
    }
    if (*uploadDataSize != 0) {
        if (ctx->body.size() + *uploadDataSize > self->options_.maxBodyBytes)
            ctx->tooLarge = true;
        else
            ctx->body.append(uploadData, *uploadDataSize);
        *uploadDataSize = 0;
        return MHD_YES;
    }
    Request request;
    request.connection = connection;
    request.method = method ? method : "";
    request.path = url ? url : "";
    request.body = std::move(ctx->body);
    request.bodyTooLarge = ctx->tooLarge;
    request.address = clientAddress(connection);

    Reply reply;
    try {
        reply = request.bodyTooLarge ? Reply::error(413, "The request is too large.") : self->route(request);
    } catch (const std::exception& e) {
        qCWarning(lcWeb).noquote() << "Web page: a request failed:" << e.what();
        reply = Reply::error(500, "The request failed.");
    }

    MHD_Response* response = nullptr;
    if (reply.videoViewer) {
        auto* live = new LiveVideoStream{reply.videoViewer, reply.muxer, &self->state_, reply.muxer->initSegment(), 0};
        response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 64 * 1024, &readLiveVideo, live, &freeLiveVideo);
        if (!response)
            freeLiveVideo(live);
    } else if (reply.viewer) {
        auto* live = new LiveStream{reply.viewer, &self->state_, {}, nullptr, 0};
        response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 64 * 1024, &readLive, live, &freeLive);
    } else if (reply.remux) {
        response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 64 * 1024, &readRemux, reply.remux.get(),
                                                     &freeRemux);
        if (response)
            reply.remux.release();
    } else if (reply.fd >= 0) {
        response = MHD_create_response_from_fd_at_offset64(reply.length, reply.fd, reply.offset);
        if (!response)
            ::close(reply.fd);
    } else {
        response = MHD_create_response_from_buffer(reply.body.size(), reply.body.data(), MHD_RESPMEM_MUST_COPY);
    }
    if (!response)
        return MHD_NO;
    MHD_add_response_header(response, "Content-Type", reply.type.c_str());
    MHD_add_response_header(response, "Content-Security-Policy", "default-src 'self'; media-src 'self' blob:; frame-ancestors 'none'");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    // The page's own requests name it (a POST's Origin would be "null" under
    // no-referrer); other sites are told nothing.
    MHD_add_response_header(response, "Referrer-Policy", "same-origin");
    if (request.path.rfind("/api/", 0) == 0 || reply.status >= 300 || reply.type.rfind("text/html", 0) == 0)
        MHD_add_response_header(response, "Cache-Control", "no-store");
    for (const auto& [name, value] : reply.headers)
        MHD_add_response_header(response, name.c_str(), value.c_str());
    const MHD_Result queued = MHD_queue_response(connection, reply.status, response);
    MHD_destroy_response(response);
    return queued;
}

std::string WebServer::recordingsFolder() const {
    const std::string folder = state_.status().folder;
    return folder.empty() ? state_.settings().aviDirectory : folder;
}

WebServer::Reply WebServer::route(Request& request) {
    const std::string& path = request.path;
    const bool read = request.method == "GET" || request.method == "HEAD";
    // Open to everyone: the sign-in page and its style sheet.
    if (path == "/style.css" && read) {
        Reply r = Reply::text(200, webStyleSheet());
        r.type = "text/css; charset=utf-8";
        return r;
    }
    if (path == "/signin") {
        if (request.method == "POST") {
            if (!fromThisPage(request))
                return Reply::error(403, "The request is refused (made by another site).");
            return signIn(request);
        }
        Reply r = Reply::text(200, webSignInPage(!request.argument("failed").empty()));
        r.type = "text/html; charset=utf-8";
        return r;
    }

    const Auth auth = authenticate(request);
    const bool isApi = path.rfind("/api/", 0) == 0;
    if (auth == Auth::None) {
        if (isApi) {
            Reply r = Reply::error(401, "Sign in first.");
            if (request.cookie(kCookie).empty())
                r.headers.emplace_back("WWW-Authenticate", "Basic realm=\"IPCam Recorder\", charset=\"UTF-8\"");
            return r;
        }
        return Reply::redirect("/signin");
    }
    if (!read) {
        // A change from a session carries the session's CSRF token; Basic
        // needs none, on /api/ only.
        bool allowed = false;
        if (auth == Auth::Session) {
            if (!fromThisPage(request))
                return Reply::error(403, "The request is refused (made by another site).");
            std::lock_guard lock(mutex_);
            auto it = sessions_.find(request.session);
            allowed = it != sessions_.end() && sameText(it->second.csrf, request.header("X-CSRF-Token"));
        } else {
            allowed = isApi;
        }
        if (!allowed)
            return Reply::error(403, "The request is refused (no valid CSRF token).");
    }
    if (path == "/signout" && request.method == "POST")
        return signOut(request);
    if (isApi)
        return api(request);
    if (!read)
        return Reply::error(405, "Not allowed.");
    if (path == "/" || path == "/index.html") {
        Reply r = Reply::text(200, webAppPage());
        r.type = "text/html; charset=utf-8";
        return r;
    }
    if (path == "/app.js") {
        Reply r = Reply::text(200, webAppScript());
        r.type = "text/javascript; charset=utf-8";
        return r;
    }
    return Reply::text(404, "Not found.");
}

// A browser names the page a request was made from (Origin, else Referer);
// one from another host or port is refused. Neither named: not a browser's
// cross-site request (those carry Origin), so it is let through.
bool WebServer::fromThisPage(const Request& request) const {
    std::string origin = request.header("Origin");
    if (origin.empty())
        origin = request.header("Referer");
    if (origin.empty())
        return true;
    return sameOrigin(origin, request.header("Host"), tls());
}

WebServer::Auth WebServer::authenticate(Request& request) {
    const std::string token = request.cookie(kCookie);
    if (!token.empty()) {
        std::lock_guard lock(mutex_);
        auto it = sessions_.find(token);
        if (it != sessions_.end()) {
            const auto now = std::chrono::steady_clock::now();
            if (now - it->second.lastUsed <= options_.sessionIdle) {
                it->second.lastUsed = now;
                request.session = token;
                return Auth::Session;
            }
            sessions_.erase(it);
        }
    }
    char* password = nullptr;
    char* user = MHD_basic_auth_get_username_password(request.connection, &password);
    if (!user) {
        if (password)
            MHD_free(password);
        return Auth::None;
    }
    const std::string u = user, p = password ? password : "";
    MHD_free(user);
    if (password)
        MHD_free(password);
    if (lockedFor(request.address).count() > 0)
        return Auth::None;
    if (passwordMatches(u, p)) {
        throttle(request.address, false);
        return Auth::Basic;
    }
    qCWarning(lcWeb).noquote() << "Web page: wrong user name or password (HTTP Basic) from" << QString::fromStdString(request.address);
    sleepFor(throttle(request.address, true));
    return Auth::None;
}

bool WebServer::passwordMatches(const std::string& user, const std::string& password) {
    const std::string digest = sha256(verifyKey_ + '\0' + user + '\0' + password);
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(mutex_);
        auto it = verified_.find(digest);
        if (it != verified_.end() && now - it->second < kVerifiedFor)
            return true;
    }
    const bool ok = sameText(user, options_.user) & verifyWebPassword(password, options_.passwordHash);
    if (ok) {
        std::lock_guard lock(mutex_);
        if (verified_.size() > 16)
            verified_.clear();
        verified_[digest] = now;
    }
    return ok;
}

std::chrono::milliseconds WebServer::lockedFor(const std::string& address) {
    std::lock_guard lock(mutex_);
    auto it = failures_.find(address);
    const auto now = std::chrono::steady_clock::now();
    if (it == failures_.end() || now >= it->second.nextAllowed)
        return std::chrono::milliseconds(0);
    return std::chrono::duration_cast<std::chrono::milliseconds>(it->second.nextAllowed - now) +
           std::chrono::milliseconds(1);
}

std::chrono::milliseconds WebServer::throttle(const std::string& address, bool failed) {
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (!failed) {
        failures_.erase(address);
        return std::chrono::milliseconds(0);
    }
    // Forget clients that stopped failing long ago; never hold more than a bound.
    for (auto it = failures_.begin(); it != failures_.end();)
        it = now - it->second.last > kFailureMemory ? failures_.erase(it) : std::next(it);
    if (failures_.size() >= kMaxFailureEntries && !failures_.count(address))
        failures_.erase(std::min_element(failures_.begin(), failures_.end(), [](const auto& a, const auto& b) {
            return a.second.last < b.second.last;
        }));
    Failures& f = failures_[address];
    f.count = std::min(f.count + 1, 7);
    f.last = now;
    // The answer waits `delay`; the next try waits as long again after it.
    const auto delay = options_.failedSignInDelay * (1 << (f.count - 1));
    f.nextAllowed = now + 2 * delay;
    return delay;
}

void WebServer::sleepFor(std::chrono::milliseconds delay) {
    std::unique_lock lock(mutex_);
    stopping_.wait_for(lock, delay, [this] { return stopped_; });
}

std::string WebServer::newSession() {
    std::string token = randomHex(16);
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    for (auto it = sessions_.begin(); it != sessions_.end();)
        it = now - it->second.lastUsed > options_.sessionIdle ? sessions_.erase(it) : std::next(it);
    if (sessions_.size() >= kMaxSessions)
        sessions_.erase(std::min_element(sessions_.begin(), sessions_.end(), [](const auto& a, const auto& b) {
            return a.second.lastUsed < b.second.lastUsed;
        }));
    sessions_[token] = Session{randomHex(16), now};
    return token;
}

WebServer::Reply WebServer::signIn(Request& request) {
    if (const auto wait = lockedFor(request.address); wait.count() > 0) {
        qCWarning(lcWeb).noquote() << "Web page: sign-in from" << QString::fromStdString(request.address)
                                   << "refused, too many failures";
        Reply r = Reply::text(429, "Too many failed sign-ins: wait a moment.");
        r.headers.emplace_back("Retry-After", std::to_string((wait.count() + 999) / 1000));
        return r;
    }
    QString body = QString::fromStdString(request.body);
    body.replace(QLatin1Char('+'), QLatin1Char(' '));
    const QUrlQuery form(body);
    const std::string user = form.queryItemValue("user", QUrl::FullyDecoded).toStdString();
    const std::string password = form.queryItemValue("password", QUrl::FullyDecoded).toStdString();
    if (!passwordMatches(user, password)) {
        qCWarning(lcWeb).noquote() << "Web page: wrong user name or password from"
                                   << QString::fromStdString(request.address);
        sleepFor(throttle(request.address, true));
        return Reply::redirect("/signin?failed=1");
    }
    throttle(request.address, false);
    const std::string token = newSession();
    qCInfo(lcWeb).noquote() << "Web page: signed in from" << QString::fromStdString(request.address);
    Reply r = Reply::redirect("/");
    r.headers.emplace_back("Set-Cookie", std::string(kCookie) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict" +
                                             (tls() ? "; Secure" : ""));
    return r;
}

WebServer::Reply WebServer::signOut(Request& request) {
    {
        std::lock_guard lock(mutex_);
        sessions_.erase(request.session);
    }
    Reply r = Reply::redirect("/signin");
    r.headers.emplace_back("Set-Cookie", std::string(kCookie) + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict" +
                                             (tls() ? "; Secure" : ""));
    return r;
}

WebServer::Reply WebServer::api(Request& request) {
    const std::string& path = request.path;
    const bool get = request.method == "GET" || request.method == "HEAD";
    const bool post = request.method == "POST";
    if (path == "/api/session" && get) {
        std::string csrf;
        {
            std::lock_guard lock(mutex_);
            auto it = sessions_.find(request.session);
            if (it != sessions_.end())
                csrf = it->second.csrf;
        }
        return Reply::jsonReply(200, {{"user", QString::fromStdString(options_.user)},
                                      {"csrf", QString::fromStdString(csrf)}});
    }
    if (path == "/api/status" && get) {
        const WebStatus s = state_.status();
        // The live views on offer: the camera's video as MP4 when it can be
        // carried so (liveVideo names its codec), pictures always.
        const std::string codec = state_.liveVideo().codec;
        QJsonArray liveKinds;
        if (!codec.empty())
            liveKinds.append("mp4");
        liveKinds.append("mjpeg");
        return Reply::jsonReply(200, {{"link", QString::fromStdString(s.link)},
                                      {"linkText", QString::fromStdString(s.linkText)},
                                      {"cameraHost", QString::fromStdString(s.cameraHost)},
                                      {"cameraTitle", QString::fromStdString(s.cameraTitle)},
                                      {"recordingKind", s.recordingKind},
                                      {"recordingKindName", kindName(s.recordingKind)},
                                      {"recordingFile", QString::fromStdString(s.recordingFile)},
                                      {"recordingPictures", static_cast<qint64>(s.recordingPictures)},
                                      {"recordingSeconds", static_cast<qint64>(s.recordingSeconds)},
                                      {"freeBytes", static_cast<qint64>(s.freeBytes)},
                                      {"liveKinds", liveKinds},
                                      {"liveVideo", QString::fromStdString(codec)}});
    }
    if (path == "/api/snapshot.jpg" && get) {
        Picture p = state_.newest();
        if (commands_.askPicture && state_.status().link == "Up" && state_.newestAge() > std::chrono::seconds(1)) {
            // No picture lately (a coded-video camera nobody watches): one
            // of the preview made for this request (decoding may begin at the
            // next key frame); a camera's own JPEG, should one come first.
            commands_.askPicture();
            for (int i = 0; i < 100 && state_.newest() == p && !state_.closed(); ++i)
                sleepFor(std::chrono::milliseconds(50));
            p = state_.newest();
        }
        if (!p)
            return Reply::error(404, "No picture yet.");
        Reply r;
        r.type = "image/jpeg";
        r.body.assign(p->begin(), p->end());
        return r;
    }
    if (path == "/api/live.mjpeg" && get)
        return liveStream();
    if (path == "/api/live.mp4" && get)
        return liveVideo();
    if (path == "/api/recordings" && get)
        return recordingList();
    const std::string filePrefix = "/api/recordings/";
    if (path.rfind(filePrefix, 0) == 0 && get)
        return recordingFile(request, path.substr(filePrefix.size()));
    const std::string picturePrefix = "/api/picture/";
    if (path.rfind(picturePrefix, 0) == 0 && get)
        return recordingPicture(request, path.substr(picturePrefix.size()));
    const std::string playPrefix = "/api/play/";
    if (path.rfind(playPrefix, 0) == 0 && get)
        return playRecording(request, path.substr(playPrefix.size()));
    if (path == "/api/settings" && get)
        return settingsGet();
    if (path == "/api/settings" && post)
        return settingsPost(request);
    if (path == "/api/log" && get)
        return logLines();
    if (post && (path == "/api/record" || path == "/api/stop" || path == "/api/reload")) {
        const auto& command = path == "/api/record" ? commands_.record
                              : path == "/api/stop" ? commands_.stop
                                                    : commands_.reload;
        if (command)
            command();
        qCInfo(lcWeb).noquote() << "Web page:" << QString::fromStdString(path.substr(5)) << "from"
                                << QString::fromStdString(request.address);
        return Reply::jsonReply(202, {{"ok", true}});
    }
    return Reply::error(404, "Not found.");
}

WebServer::Reply WebServer::liveStream() {
    Reply r;
    r.viewer = state_.addViewer();
    r.type = std::string("multipart/x-mixed-replace; boundary=") + kBoundary;
    // The newest picture at once, so the page shows something before the next one.
    if (Picture p = state_.newest())
        r.viewer->push(p);
    return r;
}

WebServer::Reply WebServer::liveVideo() {
    const LiveVideo video = state_.liveVideo();
    if (!video.tracks || video.codec.empty())
        return Reply::error(404, "No live video: the camera's pictures are at /api/live.mjpeg.");
    std::string why;
    std::shared_ptr<Fmp4Muxer> muxer = Fmp4Muxer::open(video.tracks, &why);
    if (!muxer)
        return Reply::error(404, "No live video: " + why + ".");
    Reply r;
    r.muxer = std::move(muxer);
    r.videoViewer = state_.addVideoViewer();
    r.type = "video/mp4";
    return r;
}

WebServer::Reply WebServer::recordingList() {
    const std::string folder = recordingsFolder();
    QJsonArray list;
    int opened = 0;
    // The lengths learnt before; this list's become the next ones, so only
    // what the list holds is kept (at most kListedLengths).
    std::map<std::string, Length> before, now;
    {
        std::lock_guard lock(lengthsMutex_);
        before.swap(lengths_);
    }
    for (const RecordingDay& day : listRecordings(folder)) {
        for (const RecordingEntry& e : day.recordings) {
            QJsonObject item{{"name", QString::fromStdString(e.name.relativePath())},
                             {"day", QString::fromStdString(day.date)},
                             {"kind", e.name.alarm() ? "Alarm" : "Timed"},
                             {"format", e.name.format == RecordingFormat::Mkv ? "MKV" : "AVI"},
                             {"size", static_cast<qint64>(e.size)}};
            // The length needs the file opened: the newest few hundred, each
            // again only once its size or modification time changed.
            const auto path = opened < kListedLengths ? resolveRecording(folder, e.name.relativePath()) : std::nullopt;
            struct stat info {};
            if (path && ::stat(path->c_str(), &info) == 0) {
                ++opened;
                Length length{static_cast<uint64_t>(info.st_size),
                              static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
                auto it = before.find(*path);
                if (it != before.end() && it->second.size == length.size && it->second.modifiedNs == length.modifiedNs) {
                    length = it->second;
                } else if (auto source = options_.openRecording ? options_.openRecording(*path)
                                                                : openRecording(QString::fromStdString(*path))) {
                    length.known = true;
                    length.seconds = static_cast<int64_t>(source->secondsAt(source->frameCount()));
                    length.pictures = source->frameCount();
                    length.intervalMs = source->intervalAfter(0);
                }
                if (length.known) {
                    item["duration"] = static_cast<qint64>(length.seconds);
                    item["pictures"] = length.pictures;
                    item["intervalMs"] = length.intervalMs;
                }
                now[*path] = length;
            }
            list.append(item);
        }
    }
    {
        std::lock_guard lock(lengthsMutex_);
        lengths_.swap(now);
    }
    Reply r;
    r.type = "application/json";
    r.body = QJsonDocument(list).toJson(QJsonDocument::Compact).toStdString();
    return r;
}

WebServer::Reply WebServer::recordingFile(Request& request, const std::string& name) {
    const auto path = resolveRecording(recordingsFolder(), name);
    if (!path)
        return Reply::error(404, "No such recording.");
    const int fd = ::open(path->c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info {};
    if (fd < 0)
        return Reply::error(404, "No such recording.");
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return Reply::error(404, "No such recording.");
    }
    const uint64_t size = static_cast<uint64_t>(info.st_size);
    Reply r;
    r.type = formatOfFileName(name) == RecordingFormat::Mkv ? "video/x-matroska" : "video/x-msvideo";
    r.headers.emplace_back("Accept-Ranges", "bytes");
    if (!request.argument("download").empty()) {
        std::string file = name;
        std::replace(file.begin(), file.end(), '/', '-');
        r.headers.emplace_back("Content-Disposition", "attachment; filename=\"" + file + "\"");
    }
    uint64_t first = 0, last = size ? size - 1 : 0;
    switch (parseRange(request.header("Range"), size, first, last)) {
    case RangeResult::Unsatisfiable: {
        ::close(fd);
        Reply u = Reply::text(416, "");
        u.headers.emplace_back("Content-Range", "bytes */" + std::to_string(size));
        return u;
    }
    case RangeResult::Part:
        r.status = 206;
        r.headers.emplace_back("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                                                    std::to_string(size));
        break;
    case RangeResult::Whole:
        break;
    }
    r.fd = fd;
    r.offset = first;
    r.length = size ? last - first + 1 : 0;
    return r;
}

WebServer::Reply WebServer::recordingPicture(Request& request, const std::string& name) {
    const auto path = resolveRecording(recordingsFolder(), name);
    if (!path)
        return Reply::error(404, "No such recording.");
    if (formatOfFileName(name) != RecordingFormat::Avi)
        return Reply::error(404, "Pictures are served from AVI recordings only.");
    bool ok = false;
    const int n = QString::fromStdString(request.argument("n")).toInt(&ok);
    if (!ok)
        return Reply::error(404, "No such picture.");
    QByteArray bytes;
    {
        std::lock_guard lock(playedMutex_);
        if (!played_ || playedPath_ != *path) {
            played_ = std::make_unique<RecordedFile>();
            playedPath_.clear();
            if (played_->openRecordedFile(QString::fromStdString(*path)) != RecordedFile::OpenStatus::Opened)
                return Reply::error(404, "No such picture.");
            playedPath_ = *path;
        }
        if (!played_->readPicture(n, bytes))
            return Reply::error(404, "No such picture.");
    }
    Reply r;
    r.type = "image/jpeg";
    r.body = bytes.toStdString();
    r.headers.emplace_back("Cache-Control", "private, max-age=3600");
    return r;
}

WebServer::Reply WebServer::playRecording(Request& request, const std::string& name) {
    if (formatOfFileName(name) != RecordingFormat::Mkv)
        return Reply::error(404, "Only MKV recordings are played as video.");
    const auto path = resolveRecording(recordingsFolder(), name);
    if (!path) {
        if (!name.empty() && name == state_.status().recordingFile)
            return Reply::error(409, "This recording is still being written: it can be played once it is finished.");
        return Reply::error(404, "No such recording.");
    }
    double start = 0;
    if (const std::string text = request.argument("start"); !text.empty()) {
        char* end = nullptr;
        start = std::strtod(text.c_str(), &end);
        if (*end != '\0' || !std::isfinite(start) || start < 0)
            return Reply::error(400, "The start must be a number of seconds.");
    }
    Mp4Remux::Problem problem = Mp4Remux::Problem::None;
    std::string detail;
    auto remux = Mp4Remux::open(*path, start, request.argument("hevc") == "1", &problem, &detail);
    if (!remux) {
        qCWarning(lcWeb).noquote() << "Web page: recording" << QString::fromStdString(name)
                                   << "cannot be played:" << QString::fromStdString(detail);
        if (problem == Mp4Remux::Problem::Hevc)
            return Reply::error(415, "This recording is H.265 video, which this browser cannot play: download it "
                                     "to play it in a video player.");
        return Reply::error(422, "This recording cannot be played (" + detail + "); it can still be downloaded.");
    }
    Reply r;
    r.type = "video/mp4";
    char startText[32];
    std::snprintf(startText, sizeof startText, "%.3f", remux->startSeconds());
    r.headers.emplace_back("X-Start-Seconds", startText);
    r.remux = std::move(remux);
    return r;
}

WebServer::Reply WebServer::settingsGet() { return Reply::jsonReply(200, settingsToJson(state_.settings())); }

WebServer::Reply WebServer::settingsPost(Request& request) {
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(request.body), &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject())
        return Reply::error(400, "The settings must be a JSON object.");
    auto refuse = [](const WebSettingsProblem& p) {
        return Reply::jsonReply(400, {{"field", QString::fromStdString(p.field)},
                                      {"code", QString::fromStdString(p.code)},
                                      {"text", QString::fromStdString(p.text)}});
    };
    CameraSettings record;
    if (auto problem = settingsFromJson(doc.object(), state_.settings(), record))
        return refuse(*problem);
    if (auto problem = validateSettings(record))
        return refuse(toWebProblem(*problem));
    if (!commands_.applySettings)
        return Reply::error(503, "Settings cannot be changed here.");
    try {
        if (auto problem = commands_.applySettings(record))
            return refuse(toWebProblem(*problem));
    } catch (const std::exception& e) {
        return Reply::error(500, e.what());
    }
    qCInfo(lcWeb).noquote() << "Web page: settings saved from" << QString::fromStdString(request.address);
    return Reply::jsonReply(200, settingsToJson(state_.settings()));
}

WebServer::Reply WebServer::logLines() {
    QJsonArray lines;
    QFile file(QString::fromStdString(options_.logFile));
    if (!options_.logFile.empty() && file.open(QIODevice::ReadOnly)) {
        constexpr qint64 kTail = 64 * 1024;
        if (file.size() > kTail)
            file.seek(file.size() - kTail);
        QList<QByteArray> all = file.read(kTail).split('\n');
        if (file.size() > kTail && !all.isEmpty())
            all.removeFirst();  // most likely cut
        const qsizetype from = std::max<qsizetype>(0, all.size() - 201);
        for (qsizetype i = from; i < all.size(); ++i)
            if (!all[i].isEmpty())
                lines.append(QString::fromUtf8(all[i]));
    }
    Reply r;
    r.type = "application/json";
    r.body = QJsonDocument(QJsonObject{{"lines", lines}}).toJson(QJsonDocument::Compact).toStdString();
    return r;
}

}  // namespace ipcam

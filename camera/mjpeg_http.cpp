#include "camera/mjpeg_http.h"
#include "base/secrets.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <utility>

namespace ipcam {

namespace {

constexpr size_t npos = std::string::npos;
constexpr size_t kBoundaryLimit = 200;  // RFC 2046 allows 70; some cameras write more
constexpr size_t kChunkLineLimit = 1024;

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), lowerAscii);
    return out;
}

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lowerAscii(x) == lowerAscii(y); });
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
    return s;
}

bool isTchar(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != npos;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> percentDecode(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        if (i + 2 >= s.size() || hexDigit(s[i + 1]) < 0 || hexDigit(s[i + 2]) < 0) return std::nullopt;
        out += static_cast<char>(hexDigit(s[i + 1]) * 16 + hexDigit(s[i + 2]));
        i += 2;
    }
    return out;
}

// Escapes spaces, control characters, bytes past ASCII and any of `also`.
std::string percentEscape(std::string_view s, std::string_view also) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || also.find(c) != npos) {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        } else {
            out += c;
        }
    }
    return out;
}

std::string hostPort(const CameraUrl& url) {
    std::string out = url.host.find(':') != npos ? "[" + url.host + "]" : url.host;
    if (url.port != (url.rtsp ? 554 : 80)) out += ":" + std::to_string(url.port);
    return out;
}

// A quoted string or a bare value at `at`, which moves past it; a bare
// value ends at a blank or at one of `stops`.
std::string readValue(std::string_view s, size_t& at, std::string_view stops) {
    std::string v;
    if (at < s.size() && s[at] == '"') {
        for (++at; at < s.size() && s[at] != '"'; ++at) {
            if (s[at] == '\\' && at + 1 < s.size()) ++at;
            v += s[at];
        }
        if (at < s.size()) ++at;
        return v;
    }
    for (; at < s.size() && !isBlank(s[at]) && stops.find(s[at]) == npos; ++at) v += s[at];
    return v;
}

struct MediaType {
    std::string type;  // lower case, without parameters
    std::string boundary;
};

MediaType parseMediaType(std::string_view value) {
    MediaType m;
    size_t at = value.find(';');
    m.type = lower(trim(value.substr(0, at)));
    while (at < value.size()) {
        ++at;  // the ';'
        while (at < value.size() && isBlank(value[at])) ++at;
        const size_t nameBegin = at;
        while (at < value.size() && value[at] != '=' && value[at] != ';') ++at;
        const std::string_view name = trim(value.substr(nameBegin, at - nameBegin));
        if (at >= value.size() || value[at] != '=') continue;
        ++at;
        while (at < value.size() && isBlank(value[at])) ++at;
        const std::string v = readValue(value, at, ";");
        if (iequals(name, "boundary") && m.boundary.empty()) m.boundary = v;
        at = std::min(value.find(';', at), value.size());
    }
    return m;
}

struct Challenge {
    std::string scheme;  // lower case
    std::vector<std::pair<std::string, std::string>> params;  // names in lower case
    std::string param(std::string_view name) const {
        for (const auto& [n, v] : params) {
            if (n == name) return v;
        }
        return {};
    }
};

// WWW-Authenticate: challenges, each a scheme and its name=value pairs, all
// separated by commas (several may share one header).
std::vector<Challenge> parseChallenges(std::string_view v) {
    std::vector<Challenge> out;
    size_t at = 0;
    while (at < v.size()) {
        if (!isTchar(v[at])) {
            ++at;
            continue;
        }
        const size_t begin = at;
        while (at < v.size() && isTchar(v[at])) ++at;
        const std::string token = lower(v.substr(begin, at - begin));
        size_t look = at;
        while (look < v.size() && isBlank(v[look])) ++look;
        if (look < v.size() && v[look] == '=' && !out.empty()) {
            at = look + 1;
            while (at < v.size() && isBlank(v[at])) ++at;
            out.back().params.emplace_back(token, readValue(v, at, ","));
        } else {
            out.push_back({token, {}});
        }
    }
    return out;
}

const EVP_MD* digestAlgorithm(std::string_view algorithm) {
    for (std::string_view name : {"", "MD5", "MD5-sess"}) {
        if (iequals(algorithm, name)) return EVP_md5();
    }
    for (std::string_view name : {"SHA-256", "SHA-256-sess"}) {
        if (iequals(algorithm, name)) return EVP_sha256();
    }
    return nullptr;
}

std::string hexHash(const EVP_MD* md, std::string_view data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), out, &n, md, nullptr);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < n; ++i) {
        hex += kHex[out[i] >> 4];
        hex += kHex[out[i] & 15];
    }
    return hex;
}

std::string base64(std::string_view s) {
    std::string out(4 * ((s.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(s.data()), static_cast<int>(s.size()));
    out.resize(static_cast<size_t>(std::max(n, 0)));
    return out;
}

// A quoted string for a header we send; control characters never go out.
std::string quoted(std::string_view s) {
    std::string out = "\"";
    for (const char c : s) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) continue;
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string randomNonce() {
    unsigned char bytes[8];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        std::random_device random;
        for (auto& b : bytes) b = static_cast<unsigned char>(random());
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char b : bytes) {
        hex += kHex[b >> 4];
        hex += kHex[b & 15];
    }
    return hex;
}

}  // namespace

std::optional<CameraUrl> parseCameraUrl(std::string_view url, std::string* error) {
    const auto fail = [error](const char* text) -> std::optional<CameraUrl> {
        if (error != nullptr) *error = text;
        return std::nullopt;
    };
    url = trim(url);
    const size_t schemeEnd = url.find("://");
    const bool rtsp = schemeEnd != npos && iequals(url.substr(0, schemeEnd), "rtsp");
    if (schemeEnd == npos || !(rtsp || iequals(url.substr(0, schemeEnd), "http"))) {
        return fail("only http:// and rtsp:// camera addresses are supported");
    }
    std::string_view rest = url.substr(schemeEnd + 3);
    const size_t authorityEnd = rest.find_first_of("/?#");
    std::string_view authority = rest.substr(0, authorityEnd);
    std::string_view tail = authorityEnd == npos ? std::string_view() : rest.substr(authorityEnd);
    // An '@' after the host part: most likely a user name or password that
    // holds a '/', '?' or '#' as it is, which ended the host part early.
    // Where the host begins would only be a guess, so the address is
    // refused; the reason names the character, never the password.
    if (tail.find('@') != npos) {
        static constexpr std::string_view kEscape[][2] = {{"/", "%2F"}, {"?", "%3F"}, {"#", "%23"}};
        const auto& e = *std::find_if(std::begin(kEscape), std::end(kEscape),
                                      [&](const auto& x) { return x[0].front() == tail.front(); });
        if (error != nullptr) {
            *error = "the user name or password holds a \"" + std::string(e[0]) + "\", which must be written " +
                     std::string(e[1]) + " (an \"@\" in the path or query: %40)";
        }
        return std::nullopt;
    }
    tail = tail.substr(0, tail.find('#'));

    CameraUrl out;
    out.rtsp = rtsp;
    if (rtsp) out.port = 554;
    if (const size_t at = authority.rfind('@'); at != npos) {
        const std::string_view userinfo = authority.substr(0, at);
        authority = authority.substr(at + 1);
        const size_t colon = userinfo.find(':');
        auto user = percentDecode(userinfo.substr(0, colon));
        auto password = percentDecode(colon == npos ? std::string_view() : userinfo.substr(colon + 1));
        if (!user || !password) return fail("the user name or password holds a broken %-escape");
        if (std::any_of(user->begin(), user->end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
            return fail("the user name holds a control character");
        }
        out.user = std::move(*user);
        out.password = std::move(*password);
    }

    std::string_view port;
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == npos) return fail("the camera's IPv6 address lacks its closing bracket");
        const std::string_view address = authority.substr(1, close - 1);
        if (address.find(':') == npos || address.find_first_not_of("0123456789abcdefABCDEF:.") != npos) {
            return fail("the camera's IPv6 address is not one");
        }
        out.host = address;
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty() && after.front() != ':') return fail("the camera's IPv6 address is not one");
        port = after.empty() ? after : after.substr(1);
    } else {
        const size_t colon = authority.find(':');
        if (colon != npos && authority.find(':', colon + 1) != npos) {
            return fail("an IPv6 camera address is written in brackets: http://[address]/");
        }
        out.host = authority.substr(0, colon);
        port = colon == npos ? std::string_view() : authority.substr(colon + 1);
        if (out.host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_~") != npos) {
            return fail("the camera's host name holds a character no host name holds");
        }
    }
    if (out.host.empty()) return fail("the camera address names no host");
    if (!port.empty()) {
        const unsigned long number =
            port.size() <= 5 && port.find_first_not_of("0123456789") == npos ? std::stoul(std::string(port)) : 0;
        if (number == 0 || number > 65535) return fail("the camera's port is a number from 1 to 65535");
        out.port = static_cast<uint16_t>(number);
    }
    if (tail.empty()) {
        out.path = "/";
    } else {
        out.path = percentEscape(tail, {});
        if (out.path.front() == '?') out.path.insert(0, "/");
    }
    return out;
}

namespace {

std::string urlText(const CameraUrl& url, bool withPassword) {
    std::string out = url.rtsp ? "rtsp://" : "http://";
    if (!url.user.empty() || !url.password.empty()) {
        out += percentEscape(url.user, ":@/?#%");
        if (!url.password.empty()) out += withPassword ? ":" + percentEscape(url.password, ":@/?#%") : ":***";
        out += "@";
    }
    return out + hostPort(url) + url.path;
}

}  // namespace

std::string redactedUrl(const CameraUrl& url) {
    std::string out = urlText(url, false);
    // Many cameras take their credentials in the query: no value is shown.
    if (const size_t query = out.find('?'); query != npos) {
        out = out.substr(0, query + 1) + maskQueryValues(out.substr(query + 1));
    }
    return out;
}

std::optional<std::string> escapeCameraUrl(std::string_view url, std::string* error) {
    url = trim(url);
    std::string reason;
    if (parseCameraUrl(url, &reason)) return std::string(url);
    const size_t slashes = url.find("://");
    const size_t at = url.rfind('@');
    if (slashes != npos && at != npos && at > slashes) {
        // The credentials run from "//" to the last '@'; the user name ends
        // at the first ':'.
        const std::string_view userinfo = url.substr(slashes + 3, at - slashes - 3);
        const size_t colon = userinfo.find(':');
        std::string escaped(url.substr(0, slashes + 3));
        escaped += percentEscape(userinfo.substr(0, colon), "/?#@");
        if (colon != npos) escaped += ":" + percentEscape(userinfo.substr(colon + 1), "/?#@");
        escaped += url.substr(at);
        if (parseCameraUrl(escaped, nullptr)) return escaped;
    }
    if (error != nullptr) *error = reason;
    return std::nullopt;
}

std::vector<std::string> cameraUrlSecrets(std::string_view url) {
    std::vector<std::string> out;
    url = trim(url);
    const size_t slashes = url.find("://");
    const size_t at = url.rfind('@');
    if (slashes != npos && at != npos && at > slashes) {
        // The password as written, whether the address parses or not.
        const std::string_view userinfo = url.substr(slashes + 3, at - slashes - 3);
        if (const size_t colon = userinfo.find(':'); colon != npos) {
            const std::string_view written = userinfo.substr(colon + 1);
            const std::string decoded = percentDecode(written).value_or(std::string(written));
            out.emplace_back(written);
            out.push_back(decoded);
            out.push_back(percentEscape(decoded, ":@/?#%"));
        }
    }
    if (const auto parsed = parseCameraUrl(url, nullptr); parsed && !parsed->password.empty()) {
        out.push_back(parsed->password);
        out.push_back(percentEscape(parsed->password, ":@/?#%"));
    }
    return out;
}

std::string fullUrl(const CameraUrl& url) { return urlText(url, true); }

MjpegHttpStream::MjpegHttpStream(CameraUrl url, size_t pictureLimit, NonceFn cnonce)
    : url_(std::move(url)), pictureLimit_(pictureLimit), cnonce_(cnonce ? std::move(cnonce) : NonceFn(randomNonce)) {}

void MjpegHttpStream::reset() {
    state_ = State::Waiting;
    error_.clear();
    phase_ = Phase::Head;
    head_.clear();
    headScan_ = 0;
    chunked_ = false;
    chunk_ = Chunk::Size;
    chunkLeft_ = 0;
    chunkLine_.clear();
    trailerBytes_ = 0;
    decoded_.clear();
    boundary_.clear();
    learning_ = false;
    contentType_.clear();
    bodyLength_.reset();
    learnFrom_ = 0;
    learnSawPicture_ = false;
    buf_.clear();
    pos_ = 0;
    scanFrom_ = 0;
    beginPart();
    dropped_ = 0;
    answered_ = false;
    onePictureAnswer_ = false;
    picture_.clear();
}

std::string MjpegHttpStream::request() {
    const std::string path = percentEscape(url_.path, {});
    std::string r = "GET " + path + " HTTP/1.1\r\n";
    r += "Host: " + hostPort(url_) + "\r\n";
    r += "User-Agent: IPCam Recorder/1.5\r\n";
    r += onePicture_ ? "Accept: image/jpeg\r\n" : "Accept: multipart/x-mixed-replace, image/jpeg\r\n";
    r += onePicture_ ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    sentCredentials_ = signIn_.auth != Auth::None;
    sentAnswer_ = sentCredentials_ && challengeUnanswered_;
    challengeUnanswered_ = false;
    if (signIn_.auth == Auth::Basic) {
        r += "Authorization: Basic " + base64(url_.user + ":" + url_.password) + "\r\n";
    } else if (signIn_.auth == Auth::Digest) {
        SignIn& d = signIn_;
        const EVP_MD* md = digestAlgorithm(d.algorithm);
        const bool session = d.algorithm.size() > 5 && iequals(d.algorithm.substr(d.algorithm.size() - 5), "-sess");
        char nc[9];
        std::snprintf(nc, sizeof nc, "%08x", ++d.nonceCount);
        const std::string cnonce = d.qop.empty() && !session ? std::string() : cnonce_();
        std::string ha1 = hexHash(md, url_.user + ":" + d.realm + ":" + url_.password);
        if (session) ha1 = hexHash(md, ha1 + ":" + d.nonce + ":" + cnonce);
        std::string a2 = "GET:" + path;
        if (d.qop == "auth-int") a2 += ":" + hexHash(md, "");
        const std::string ha2 = hexHash(md, a2);
        const std::string response =
            d.qop.empty() ? hexHash(md, ha1 + ":" + d.nonce + ":" + ha2)
                          : hexHash(md, ha1 + ":" + d.nonce + ":" + nc + ":" + cnonce + ":" + d.qop + ":" + ha2);
        r += "Authorization: Digest username=" + quoted(url_.user) + ", realm=" + quoted(d.realm) +
             ", nonce=" + quoted(d.nonce) + ", uri=" + quoted(path);
        if (!d.algorithm.empty()) r += ", algorithm=" + d.algorithm;
        r += ", response=\"" + response + "\"";
        if (!d.opaque.empty()) r += ", opaque=" + quoted(d.opaque);
        if (!d.qop.empty()) r += ", qop=" + d.qop + ", nc=" + nc;
        if (!cnonce.empty()) r += ", cnonce=" + quoted(cnonce);
        r += "\r\n";
    }
    return r + "\r\n";
}

std::string MjpegHttpStream::errorText() const { return error_; }

void MjpegHttpStream::takeSignIn(const MjpegHttpStream& other) {
    signIn_ = other.signIn_;
    // Kept credentials: a refusal of them is a new challenge, not a wrong password.
    challengeUnanswered_ = false;
}

CameraStream::State MjpegHttpStream::fail(State state, std::string text) {
    state_ = state;
    error_ = std::move(text);
    return state_;
}

std::string MjpegHttpStream::camera() const { return "The camera at " + hostPort(url_); }

// What the camera said, fit for a one-line text: printable ASCII only, never
// the password, at most 80 characters.
std::string MjpegHttpStream::peerText(std::string_view text) const {
    std::string out;
    for (const char c : text) {
        if (c >= 0x20 && c < 0x7F) out += c;
    }
    if (!url_.password.empty()) {
        for (size_t at = out.find(url_.password); at != npos; at = out.find(url_.password, at + 3)) {
            out.replace(at, url_.password.size(), "***");
        }
    }
    if (out.size() > 80) out = out.substr(0, 77) + "...";
    return out;
}

CameraStream::State MjpegHttpStream::feed(std::span<const uint8_t> bytes, const PictureFn& picture) {
    if (state_ != State::Waiting && state_ != State::Streaming) return state_;
    std::string rest;
    if (phase_ == Phase::Head) {
        head_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        const size_t first = head_.find_first_not_of("\r\n");  // blank lines before the status line
        head_.erase(0, std::min(first, head_.size()));
        // Something that is no HTTP answer fails at once, not after 16 KiB.
        constexpr std::string_view kHttp = "HTTP/";
        const size_t n = std::min(head_.size(), kHttp.size());
        if (!iequals(std::string_view(head_).substr(0, n), kHttp.substr(0, n))) {
            return fail(State::Failed, camera() + " did not answer in HTTP");
        }
        size_t end = npos;
        for (size_t i = headScan_; i < head_.size() && end == npos; ++i) {
            if (head_[i] != '\n') continue;
            if (i + 1 < head_.size() && head_[i + 1] == '\n') end = i + 2;
            if (i + 2 < head_.size() && head_[i + 1] == '\r' && head_[i + 2] == '\n') end = i + 3;
        }
        if (end == npos) {
            if (head_.size() > kHeaderLimit) {
                return fail(State::Failed, camera() + " sent an answer header longer than 16 KiB");
            }
            headScan_ = head_.size() >= 3 ? head_.size() - 3 : 0;
            return state_;
        }
        if (end > kHeaderLimit) return fail(State::Failed, camera() + " sent an answer header longer than 16 KiB");
        rest = head_.substr(end);
        head_.resize(end);
        takeHead(head_);
        head_ = std::string();
        if (state_ != State::Streaming && !learning_) return state_;
        phase_ = Phase::Body;
        bytes = std::span(reinterpret_cast<const uint8_t*>(rest.data()), rest.size());
    }
    if (chunked_) {
        feedChunked(bytes);
        feedParts(std::span(reinterpret_cast<const uint8_t*>(decoded_.data()), decoded_.size()), picture);
        decoded_.clear();
    } else {
        feedParts(bytes, picture);
    }
    return state_;
}

void MjpegHttpStream::takeHead(std::string_view head) {
    std::vector<std::string_view> lines;
    for (size_t at = 0; at < head.size();) {
        const size_t lf = std::min(head.find('\n', at), head.size());
        std::string_view line = head.substr(at, lf - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        at = lf + 1;
    }
    // HTTP/1.x, the three-digit status, the reason phrase.
    const std::string_view status = lines.empty() ? std::string_view() : lines.front();
    if (status.size() < 12 || !iequals(status.substr(0, 7), "HTTP/1.") || hexDigit(status[7]) < 0 ||
        hexDigit(status[7]) > 9 || !isBlank(status[8])) {
        fail(State::Failed, camera() + " did not answer in HTTP");
        return;
    }
    const std::string_view afterVersion = trim(status.substr(9));
    const std::string_view code = afterVersion.substr(0, 3);
    if (code.size() != 3 || code.find_first_not_of("0123456789") != npos ||
        (afterVersion.size() > 3 && !isBlank(afterVersion[3]))) {
        fail(State::Failed, camera() + " did not answer in HTTP");
        return;
    }
    const std::string_view reason = trim(afterVersion.substr(3));

    // Header names in any case; a folded line continues the header before it.
    std::vector<std::pair<std::string, std::string>> headers;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        if (trim(line).empty()) continue;
        if (isBlank(line.front())) {
            if (!headers.empty()) headers.back().second += " " + std::string(trim(line));
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == npos) continue;
        headers.emplace_back(lower(trim(line.substr(0, colon))), std::string(trim(line.substr(colon + 1))));
    }
    std::string contentType, transferEncoding, contentLength;
    std::vector<std::string> challenges;
    for (const auto& [name, value] : headers) {
        if (name == "content-type") contentType = value;
        if (name == "content-length") contentLength = value;
        if (name == "transfer-encoding") transferEncoding += (transferEncoding.empty() ? "" : ",") + value;
        if (name == "www-authenticate") challenges.push_back(value);
    }

    if (code == "401") {
        takeChallenge(challenges);
        return;
    }
    if (code != "200") {
        fail(State::Failed, camera() + " answered " + std::string(code) + (reason.empty() ? "" : " " + peerText(reason)));
        return;
    }
    // Chunked (also under HTTP/1.0, as some cameras send it), or the bytes as they come.
    for (size_t at = 0; at < transferEncoding.size();) {
        const size_t comma = std::min(transferEncoding.find(',', at), transferEncoding.size());
        const std::string_view coding = trim(std::string_view(transferEncoding).substr(at, comma - at));
        at = comma + 1;
        if (coding.empty() || iequals(coding, "identity")) continue;
        if (iequals(coding, "chunked") && !chunked_) {
            chunked_ = true;
            continue;
        }
        fail(State::Failed, camera() + " sent the stream in a transfer coding this program cannot read (" +
                                peerText(transferEncoding) + ")");
        return;
    }
    const MediaType media = parseMediaType(contentType);
    const bool multipart = media.type == "multipart/x-mixed-replace" || media.type == "multipart/mixed";
    if (!multipart || trim(media.boundary).empty()) {
        // A web page is no stream; anything else (application/octet-stream,
        // image/jpeg, no type, multipart with no boundary) is told by its body.
        if (media.type.starts_with("text/")) {
            fail(State::Failed, camera() + " answered with " + peerText(media.type) + ", not a stream of pictures");
            return;
        }
        learning_ = true;
        contentType_ = media.type;
        if (!chunked_ && !contentLength.empty() && contentLength.size() <= 15 &&
            contentLength.find_first_not_of("0123456789") == npos) {
            bodyLength_ = std::stoull(contentLength);
        }
        return;
    }
    // Declared with or without the delimiter's leading dashes: kept without.
    std::string_view boundary = trim(media.boundary);
    const size_t dashes = boundary.find_first_not_of('-');
    if (dashes != npos) boundary.remove_prefix(dashes);
    if (boundary.empty() || boundary.size() > kBoundaryLimit) {
        fail(State::Failed, camera() + " sent " + media.type + " without a usable boundary");
        return;
    }
    boundary_ = boundary;
    state_ = State::Streaming;
}

void MjpegHttpStream::takeChallenge(const std::vector<std::string>& headers) {
    if (url_.user.empty() && url_.password.empty()) {
        fail(State::Rejected, camera() + " asks for a user name and password");
        return;
    }
    const Challenge* digest = nullptr;
    const Challenge* basic = nullptr;
    std::string qop;
    std::string schemes;
    std::vector<Challenge> all;
    for (const std::string& header : headers) {
        for (Challenge& c : parseChallenges(header)) all.push_back(std::move(c));
    }
    for (const Challenge& c : all) {
        schemes += (schemes.empty() ? "" : ", ") + c.scheme;
        if (c.scheme == "basic" && basic == nullptr) basic = &c;
        if (c.scheme != "digest" || digest != nullptr || c.param("nonce").empty() ||
            digestAlgorithm(c.param("algorithm")) == nullptr) {
            continue;
        }
        // qop: none (the original Digest), or a list to choose from.
        const std::string offered = lower(c.param("qop"));
        std::vector<std::string_view> list;
        for (size_t at = 0; at < offered.size();) {
            const size_t comma = std::min(offered.find(',', at), offered.size());
            list.push_back(trim(std::string_view(offered).substr(at, comma - at)));
            at = comma + 1;
        }
        const auto has = [&list](std::string_view q) { return std::find(list.begin(), list.end(), q) != list.end(); };
        if (offered.empty() || has("auth") || has("auth-int")) {
            digest = &c;
            qop = offered.empty() ? "" : has("auth") ? "auth" : "auth-int";
        }
    }
    const bool stale = digest != nullptr && iequals(digest->param("stale"), "true");
    // An answer made for the last challenge was refused; credentials kept from
    // an earlier connection may just have gone out of date.
    if (sentAnswer_ && !stale) {
        fail(State::Rejected, camera() + " refused the user name or password");
        return;
    }
    if (digest == nullptr && basic == nullptr) {
        if (sentCredentials_) {
            fail(State::Rejected, camera() + " refused the user name or password");
        } else {
            fail(State::Failed, camera() + " asks for a sign-in this program cannot give (" +
                                    (schemes.empty() ? std::string("none named") : peerText(schemes)) + ")");
        }
        return;
    }
    if (digest != nullptr) {
        if (signIn_.auth != Auth::Digest || digest->param("nonce") != signIn_.nonce) signIn_.nonceCount = 0;
        signIn_.auth = Auth::Digest;
        signIn_.realm = digest->param("realm");
        signIn_.nonce = digest->param("nonce");
        signIn_.opaque = digest->param("opaque");
        signIn_.algorithm = digest->param("algorithm");
        signIn_.qop = qop;
    } else {
        signIn_.auth = Auth::Basic;
        signIn_.realm = basic->param("realm");
    }
    challengeUnanswered_ = true;
    state_ = State::Challenged;
}

void MjpegHttpStream::feedChunked(std::span<const uint8_t> bytes) {
    const auto broken = [this] { fail(State::Failed, camera() + " sent a broken chunked stream"); };
    size_t i = 0;
    while (i < bytes.size() && (state_ == State::Streaming || state_ == State::Waiting)) {
        switch (chunk_) {
            case Chunk::Size: {
                const char c = static_cast<char>(bytes[i++]);
                if (c != '\n') {
                    chunkLine_ += c;
                    if (chunkLine_.size() > kChunkLineLimit) broken();
                    break;
                }
                const std::string_view line = trim(chunkLine_);
                if (line.empty()) break;  // a stray line end between chunks
                uint64_t size = 0;
                size_t k = 0;
                for (; k < line.size() && hexDigit(line[k]) >= 0; ++k) {
                    size = size * 16 + static_cast<uint64_t>(hexDigit(line[k]));
                    if (size > kChunkLimit) break;
                }
                // The size, then perhaps blanks and extensions (ignored).
                if (k == 0 || size > kChunkLimit || (k < line.size() && line[k] != ';' && !isBlank(line[k]))) {
                    broken();
                    break;
                }
                chunkLine_.clear();
                chunkLeft_ = size;
                chunk_ = size == 0 ? Chunk::Trailer : Chunk::Data;
                break;
            }
            case Chunk::Data: {
                const size_t take = static_cast<size_t>(std::min<uint64_t>(chunkLeft_, bytes.size() - i));
                decoded_.append(reinterpret_cast<const char*>(bytes.data() + i), take);
                i += take;
                chunkLeft_ -= take;
                if (chunkLeft_ == 0) chunk_ = Chunk::DataEnd;
                break;
            }
            case Chunk::DataEnd:
                // The line end after the data; without one, the next size line starts here.
                if (bytes[i] == '\r') {
                    ++i;
                } else {
                    if (bytes[i] == '\n') ++i;
                    chunk_ = Chunk::Size;
                }
                break;
            case Chunk::Trailer: {
                const char c = static_cast<char>(bytes[i++]);
                if (++trailerBytes_ > kHeaderLimit) {
                    broken();
                } else if (c != '\n') {
                    chunkLine_ += c;
                } else {
                    if (trim(chunkLine_).empty()) chunk_ = Chunk::Done;
                    chunkLine_.clear();
                }
                break;
            }
            case Chunk::Done:
                i = bytes.size();
                break;
        }
    }
}

void MjpegHttpStream::feedParts(std::span<const uint8_t> bytes, const PictureFn& picture) {
    buf_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    // Even after a broken chunk: the bytes before it are taken as if they
    // had come on their own.
    if (learning_) {
        if (!learnBoundary(picture)) return;
    } else if (bytes.empty()) {
        return;
    }
    for (bool more = true; more;) {
        switch (part_) {
            case Part::Headers: more = stepHeaders(); break;
            case Part::Sized: more = stepSized(picture); break;
            case Part::Scan: more = stepScan(picture); break;
            case Part::Skip: more = stepSkip(); break;
        }
    }
    buf_.erase(0, pos_);
    scanFrom_ -= std::min(scanFrom_, pos_);
    pos_ = 0;
}

void MjpegHttpStream::beginPart() {
    part_ = Part::Headers;
    posAtLineStart_ = true;
    looksLikeJpeg_ = false;
    partHeaderBytes_ = 0;
    sawPartHeader_ = false;
    contentLength_.reset();
}

void MjpegHttpStream::beginData() {
    part_ = contentLength_ && *contentLength_ <= pictureLimit_ ? Part::Sized : Part::Scan;
    scanFrom_ = pos_;
    posAtLineStart_ = true;
    looksLikeJpeg_ = false;
}

CameraStream::Drops MjpegHttpStream::takeDrops() { return std::exchange(drops_, Drops{}); }

size_t MjpegHttpStream::releaseSpare(size_t keep) {
    return giveBackSpare(buf_, keep) + giveBackSpare(picture_, keep) + giveBackSpare(decoded_, keep) +
           giveBackSpare(head_, keep);
}

void MjpegHttpStream::drop(uint64_t Drops::*kind) {
    ++dropped_;
    ++(drops_.*kind);
}

void MjpegHttpStream::skipPart(uint64_t Drops::*kind) {
    drop(kind);
    part_ = Part::Skip;
    scanFrom_ = std::max(scanFrom_, pos_);
}

// A body with no declared boundary. Its boundary is the first line that
// starts "--" (at the start of a line, or right after a picture's FF D9)
// and is followed, past blank lines, by a part's headers or by FF D8. Only
// the first kLearnLimit bytes are searched, a picture's worth more once a
// part there starts FF D8, and only the body's own bytes when its length is
// given: the outcome never depends on how the bytes came. Once found, the
// parts are taken from the body's first byte on, as for a declared one.
bool MjpegHttpStream::learnBoundary(const PictureFn& picture) {
    size_t end = buf_.size();
    bool ended = chunked_ && chunk_ == Chunk::Done;
    if (bodyLength_ && *bodyLength_ <= end) {
        end = static_cast<size_t>(*bodyLength_);
        ended = true;
    }
    const auto byte = [this](size_t i) { return static_cast<uint8_t>(buf_[i]); };
    for (;; ++learnFrom_) {
        const size_t p = learnFrom_;
        if (p >= kLearnLimit + (learnSawPicture_ ? pictureLimit_ + kPartHeaderLimit : 0)) {
            refuseBody(false, end);
            return false;
        }
        if (p + 1 >= end) {
            if (ended && onePicture_) {
                takeOnePicture(end, picture);
            } else if (ended) {
                refuseBody(true, end, &picture);
            }
            return false;
        }
        const bool lineStart = p == 0 || buf_[p - 1] == '\n';
        if (lineStart && byte(p) == 0xFF && byte(p + 1) == 0xD8) learnSawPicture_ = true;
        const bool afterPicture = p >= 2 && byte(p - 2) == 0xFF && byte(p - 1) == 0xD9;
        if (buf_[p] != '-' || buf_[p + 1] != '-' || !(lineStart || afterPicture)) continue;
        std::string name;
        const Found found = delimiterAt(p, end, ended, name);
        if (found == Found::NeedMore) return false;
        if (found == Found::Yes) {
            boundary_ = std::move(name);
            learning_ = false;
            if (state_ == State::Waiting) state_ = State::Streaming;
            return true;
        }
    }
}

MjpegHttpStream::Found MjpegHttpStream::delimiterAt(size_t p, size_t end, bool ended, std::string& name) const {
    const size_t stop = std::min(end, p + 2 * kBoundaryLimit);
    const Found more = stop == end && !ended ? Found::NeedMore : Found::No;  // when the bytes run out
    size_t q = p;
    while (q < stop && buf_[q] == '-') ++q;
    const size_t nameBegin = q;
    for (; q < stop && buf_[q] != '\n'; ++q) {
        const auto c = static_cast<uint8_t>(buf_[q]);
        if ((c < 0x20 && c != '\t' && c != '\r') || c >= 0x7F) return Found::No;
    }
    if (q == stop) return more;
    std::string_view line(buf_.data() + nameBegin, q - nameBegin);
    while (!line.empty() && isSpace(line.back())) line.remove_suffix(1);
    if (line.empty() || line.size() > kBoundaryLimit || line.find('\r') != npos) return Found::No;
    for (++q;;) {  // blank lines
        if (q == stop) return more;
        if (buf_[q] == '\n') {
            ++q;
        } else if (buf_[q] == '\r') {
            if (q + 1 == stop) return more;
            if (buf_[q + 1] != '\n') return Found::No;
            q += 2;
        } else {
            break;
        }
    }
    size_t r = q;
    if (static_cast<uint8_t>(buf_[q]) == 0xFF) {
        if (q + 1 == stop) return more;
        if (static_cast<uint8_t>(buf_[q + 1]) != 0xD8) return Found::No;
    } else {
        while (r < stop && isTchar(buf_[r])) ++r;
        if (r == stop) return more;
        if (r == q || buf_[r] != ':') return Found::No;
    }
    name = line;
    return Found::Yes;
}

// A whole answer with no delimiter line in it, asked for one picture: the
// picture in it is handed on (or dropped, as a part would be), whatever
// follows it is not the answer's, and the connection waits for the next
// request's answer.
void MjpegHttpStream::takeOnePicture(size_t end, const PictureFn& picture) {
    deliver(0, end, picture);
    const uint64_t dropped = dropped_;
    reset();
    dropped_ = dropped;
    state_ = State::Streaming;
    answered_ = true;
}

// Neither a delimiter line nor, once the body ended, more than one picture
// in the bytes searched: what came back is named. A whole answer that is
// one picture is handed on first (`picture` given).
void MjpegHttpStream::refuseBody(bool ended, size_t end, const PictureFn* picture) {
    learning_ = false;
    const std::string type = contentType_.empty() ? std::string("no content type") : peerText(contentType_);
    size_t b = 0;
    while (b < end && isSpace(buf_[b])) ++b;
    if (ended && b + 1 < end && static_cast<uint8_t>(buf_[b]) == 0xFF && static_cast<uint8_t>(buf_[b + 1]) == 0xD8) {
        if (picture) {
            deliver(0, end, *picture);
            onePictureAnswer_ = true;
        }
        fail(State::Failed, camera() + " answered with a single picture (" + type + "), not a stream of pictures");
        return;
    }
    std::string text = camera() + " answered with " + type + ", not a stream of pictures";
    // Its first line, when that is text.
    const std::string_view body(buf_.data(), end);
    const size_t lineEnd = std::min(body.find('\n', b), body.size());
    const std::string_view first = trim(body.substr(b, std::min<size_t>(lineEnd - b, 40)));
    if (!first.empty() && std::all_of(first.begin(), first.end(), [](char c) { return c >= 0x20 && c < 0x7F; })) {
        text += " (it began \"" + peerText(first) + (lineEnd - b > 40 ? "...\")" : "\")");
    }
    fail(State::Failed, text);
}

bool MjpegHttpStream::isDelimiterLine(std::string_view line) const {
    while (!line.empty() && isSpace(line.back())) line.remove_suffix(1);
    const size_t dashes = line.find_first_not_of('-');
    if (dashes == npos) return false;
    line.remove_prefix(dashes);
    if (line == boundary_) return true;
    return line.size() == boundary_.size() + 2 && line.substr(boundary_.size()) == "--" &&
           line.substr(0, boundary_.size()) == boundary_;
}

// Part headers, one line at a time. Blank lines before them, a delimiter
// with no part in front of it and headers with no delimiter before them are
// all taken; a picture may start without any headers. Only Content-Length
// is used: whether a part is a picture is told by its bytes, as cameras
// label their JPEGs image/jpeg, image/jpg, or not at all.
bool MjpegHttpStream::stepHeaders() {
    const size_t avail = buf_.size() - pos_;
    if (avail == 0) return false;
    if (static_cast<uint8_t>(buf_[pos_]) == 0xFF) {
        if (avail < 2) return false;
        if (static_cast<uint8_t>(buf_[pos_ + 1]) == 0xD8) {
            beginData();
            return true;
        }
    }
    const size_t lf = buf_.find('\n', pos_);
    if (lf == npos) {
        if (partHeaderBytes_ + avail > kPartHeaderLimit) {
            skipPart(&Drops::longHeaders);
            return true;
        }
        return false;
    }
    partHeaderBytes_ += lf + 1 - pos_;
    if (partHeaderBytes_ > kPartHeaderLimit) {
        skipPart(&Drops::longHeaders);
        return true;
    }
    std::string_view line(buf_.data() + pos_, lf - pos_);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (trim(line).empty()) {
        pos_ = lf + 1;
        if (sawPartHeader_) beginData();
        return true;
    }
    if (isDelimiterLine(line)) {
        pos_ = lf + 1;
        beginPart();
        return true;
    }
    if (isBlank(line.front()) && sawPartHeader_) {  // a folded header line
        pos_ = lf + 1;
        return true;
    }
    const size_t colon = line.find(':');
    if (colon != npos && colon > 0 && std::all_of(line.begin(), line.begin() + static_cast<long>(colon), isTchar)) {
        if (iequals(line.substr(0, colon), "Content-Length")) {
            const std::string_view value = trim(line.substr(colon + 1));
            contentLength_.reset();
            if (!value.empty() && value.size() <= 15 && value.find_first_not_of("0123456789") == npos) {
                contentLength_ = static_cast<size_t>(std::stoull(std::string(value)));
            }
        }
        sawPartHeader_ = true;
        pos_ = lf + 1;
        return true;
    }
    skipPart(&Drops::noPicture);  // the part begins with something that is neither a header nor a picture
    return true;
}

// A part with a Content-Length: taken when that many bytes hold a whole
// JPEG (line ends after its FF D9 allowed); otherwise the delimiter decides.
bool MjpegHttpStream::stepSized(const PictureFn& picture) {
    const size_t length = *contentLength_;
    if (buf_.size() - pos_ < length) return false;
    size_t begin = pos_;
    size_t end = pos_ + length;
    while (begin < end && isSpace(buf_[begin])) ++begin;
    while (end > begin && (buf_[end - 1] == '\r' || buf_[end - 1] == '\n')) --end;
    const auto byte = [this](size_t i) { return static_cast<uint8_t>(buf_[i]); };
    if (end - begin >= 4 && byte(begin) == 0xFF && byte(begin + 1) == 0xD8 && byte(begin + 2) == 0xFF &&
        byte(end - 2) == 0xFF && byte(end - 1) == 0xD9) {
        deliver(begin, end, picture);
        pos_ += length;
        beginPart();
        return true;
    }
    part_ = Part::Scan;
    scanFrom_ = pos_;
    return true;
}

// A part ended by the next delimiter. The bound counts the part and its
// delimiter line, so that the same part is kept or dropped however the
// bytes came.
bool MjpegHttpStream::stepScan(const PictureFn& picture) {
    const size_t bound = pictureLimit_ + boundary_.size() + 16;
    if (!looksLikeJpeg_) {
        // Blank lines before the picture hold no delimiter: the search starts after them.
        size_t s = std::max(scanFrom_, pos_);
        while (s < buf_.size() && isSpace(buf_[s])) ++s;
        scanFrom_ = s;
        static constexpr uint8_t kStart[] = {0xFF, 0xD8, 0xFF};
        for (size_t k = 0; k < 3 && s + k < buf_.size(); ++k) {
            if (static_cast<uint8_t>(buf_[s + k]) != kStart[k]) {
                skipPart(&Drops::noPicture);
                return true;
            }
        }
        looksLikeJpeg_ = s + 3 <= buf_.size();
    }
    if (looksLikeJpeg_) {
        size_t start = 0;
        size_t end = 0;
        if (findDelimiter(start, end) == Found::Yes) {
            if (end - pos_ > bound) {
                drop(&Drops::oversized);
            } else {
                deliver(pos_, start, picture);
            }
            pos_ = end;
            beginPart();
            return true;
        }
    }
    if (buf_.size() - pos_ >= bound) {
        skipPart(&Drops::oversized);
        return true;
    }
    return false;
}

bool MjpegHttpStream::stepSkip() {
    size_t start = 0;
    size_t end = 0;
    if (findDelimiter(start, end) == Found::Yes) {
        pos_ = end;
        beginPart();
        return true;
    }
    // Keep only what a delimiter still to come may need before it.
    if (scanFrom_ >= pos_ + 2) {
        pos_ = scanFrom_ - 2;
        posAtLineStart_ = false;
    }
    return false;
}

// The next delimiter at or after scanFrom_: the boundary after two dashes,
// or at the start of a line after at most one, then perhaps the closing
// "--" and blanks, then the line's end. `start` is where the part before
// it ends, `end` where the next part begins.
MjpegHttpStream::Found MjpegHttpStream::findDelimiter(size_t& start, size_t& end) {
    const std::string_view b(buf_);
    const size_t n = b.size();
    for (size_t p = b.find(boundary_, scanFrom_); p != npos; p = b.find(boundary_, p + 1)) {
        size_t q = p;
        if (q >= pos_ + 2 && b[q - 1] == '-' && b[q - 2] == '-') {
            q -= 2;
        } else {
            if (q > pos_ && b[q - 1] == '-') --q;
            const bool lineStart = q > pos_ ? b[q - 1] == '\n' : posAtLineStart_;
            if (!lineStart) continue;
        }
        size_t e = p + boundary_.size();
        if (e < n && b[e] == '-') {
            if (e + 1 == n) {
                scanFrom_ = p;
                return Found::NeedMore;
            }
            if (b[e + 1] != '-') continue;
            e += 2;
        }
        while (e < n && isBlank(b[e])) ++e;
        if (e == n || (b[e] == '\r' && e + 1 == n)) {
            scanFrom_ = p;
            return Found::NeedMore;
        }
        if (b[e] == '\r' && b[e + 1] == '\n') {
            e += 2;
        } else if (b[e] == '\n') {
            e += 1;
        } else {
            continue;
        }
        start = q;
        if (start > pos_ && b[start - 1] == '\n') --start;
        if (start > pos_ && b[start - 1] == '\r') --start;
        end = e;
        scanFrom_ = e;
        return Found::Yes;
    }
    scanFrom_ = std::max(scanFrom_, n >= boundary_.size() ? n - boundary_.size() + 1 : 0);
    return Found::No;
}

// Hands on the JPEG in the part [begin, end): from its FF D8 to its last
// FF D9, nothing around it.
void MjpegHttpStream::deliver(size_t begin, size_t end, const PictureFn& picture) {
    while (begin < end && isSpace(buf_[begin])) ++begin;
    size_t last = end;
    while (last >= begin + 4 && !(static_cast<uint8_t>(buf_[last - 2]) == 0xFF &&
                                  static_cast<uint8_t>(buf_[last - 1]) == 0xD9)) {
        --last;
    }
    if (last < begin + 4 || last - begin > pictureLimit_) {
        drop(last < begin + 4 ? &Drops::noPicture : &Drops::oversized);
        return;
    }
    picture_.assign(buf_.begin() + static_cast<long>(begin), buf_.begin() + static_cast<long>(last));
    if (picture) picture(picture_);
    picture_.clear();
}

}  // namespace ipcam

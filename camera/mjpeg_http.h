#pragma once
// A standard network camera: an HTTP GET answered with an endless
// multipart/x-mixed-replace body, one JPEG picture a part. Cameras differ
// in how they write that body, so the client is tolerant where it can be
// and bounded everywhere: the answer header, each part's headers, each
// picture and each chunk size have a limit, and whatever the camera sends
// that is no picture is skipped rather than handed on. Some servers label
// the body application/octet-stream, image/jpeg or nothing at all and
// declare no boundary: such a body is taken for what it holds, its
// boundary learnt from its first delimiter line.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "camera/camera_stream.h"

namespace ipcam {

// http://[user[:password]@]host[:port][/path][?query]
struct CameraUrl {
    // rtsp://: a camera that sends coded video over RTSP (port 554 unless
    // given); http://: a standard MJPEG camera (port 80 unless given).
    bool rtsp = false;
    std::string host;  // a name or an address; an IPv6 address without its brackets
    uint16_t port = 80;
    std::string path = "/";  // with the query, as written (spaces and non-ASCII bytes %-escaped)
    std::string user, password;  // %-escapes decoded
};

// nullopt with a one-line reason in `error` (when given) for anything that
// is not an http:// or rtsp:// address of a host.
std::optional<CameraUrl> parseCameraUrl(std::string_view url, std::string* error);

// The address for the log: the password, when there is one, and every
// query value written "***".
std::string redactedUrl(const CameraUrl& url);
// The address as the setup dialog saves it: one that parses as it is;
// else, when there are credentials (up to the last '@'), with a '/', '?',
// '#' or '@' in the user name or password %-escaped, if that parses.
// nullopt with parseCameraUrl's reason otherwise.
std::optional<std::string> escapeCameraUrl(std::string_view url, std::string* error);
// The forms the address's password may take in a text: as written, decoded
// and escaped; for an address that does not parse, whatever lies between
// the first ':' after "//" and the last '@'.
std::vector<std::string> cameraUrlSecrets(std::string_view url);
// The address with its credentials, for the library that signs in with them.
std::string fullUrl(const CameraUrl& url);

class MjpegHttpStream final : public CameraStream {
public:
    static constexpr size_t kHeaderLimit = 16u * 1024u;      // status line and headers
    static constexpr size_t kPartHeaderLimit = 16u * 1024u;  // one part's headers
    static constexpr size_t kPictureLimit = 16u * 1024u * 1024u;
    static constexpr uint64_t kChunkLimit = 256u * 1024u * 1024u;
    // How far into a body with no declared boundary its first delimiter
    // line is looked for; once a part there starts FF D8, a picture's worth
    // more (the picture limit and a part's headers).
    static constexpr size_t kLearnLimit = 64u * 1024u;
    // The client nonce of a Digest answer; random unless given.
    using NonceFn = std::function<std::string()>;

    explicit MjpegHttpStream(CameraUrl url, size_t pictureLimit = kPictureLimit, NonceFn cnonce = {});

    // A camera asked for one picture at a time: an answer that holds a
    // single picture (its length given, or chunked) is taken rather than
    // refused, and the connection is kept alive for the next request.
    void askOnePictureAtATime(bool on) { onePicture_ = on; }
    // Whether a whole one-picture answer came since the last call: the next
    // request may go out on the same connection.
    bool takeAnswered() { return std::exchange(answered_, false); }
    // Whether the camera, asked for a stream, answered with one whole
    // picture: it was handed on, then the stream failed (the camera gives
    // one picture a request).
    bool answeredOnePicture() const { return onePictureAnswer_; }
    // What `other`'s challenges taught (the same camera): the next request
    // carries the answer at once instead of being challenged again.
    void takeSignIn(const MjpegHttpStream& other);

    void reset() override;
    // GET with the answer to the last challenge, once there was one.
    std::string request() override;
    State feed(std::span<const uint8_t> bytes, const PictureFn& picture) override;
    std::string errorText() const override;

    // Parts of this connection that were dropped: no JPEG, a JPEG without its
    // end, or larger than the picture limit.
    uint64_t droppedParts() const { return dropped_; }
    Drops takeDrops() override;
    size_t releaseSpare(size_t keep) override;

private:
    enum class Phase { Head, Body };
    enum class Chunk { Size, Data, DataEnd, Trailer, Done };
    enum class Part { Headers, Sized, Scan, Skip };
    enum class Auth { None, Basic, Digest };
    enum class Found { Yes, No, NeedMore };

    State fail(State state, std::string text);
    void takeHead(std::string_view head);
    void takeChallenge(const std::vector<std::string>& challenges);
    void feedChunked(std::span<const uint8_t> bytes);
    void feedParts(std::span<const uint8_t> bytes, const PictureFn& picture);
    bool stepHeaders();
    bool stepSized(const PictureFn& picture);
    bool stepScan(const PictureFn& picture);
    bool stepSkip();
    void beginPart();
    void beginData();
    // A part dropped, counted by its kind.
    void drop(uint64_t Drops::*kind);
    void skipPart(uint64_t Drops::*kind);
    bool learnBoundary(const PictureFn& picture);
    Found delimiterAt(size_t p, size_t end, bool ended, std::string& name) const;
    void refuseBody(bool ended, size_t end, const PictureFn* picture = nullptr);
    void takeOnePicture(size_t end, const PictureFn& picture);
    bool isDelimiterLine(std::string_view line) const;
    Found findDelimiter(size_t& start, size_t& end);
    void deliver(size_t begin, size_t end, const PictureFn& picture);
    std::string camera() const;
    std::string peerText(std::string_view text) const;

    CameraUrl url_;
    size_t pictureLimit_;
    NonceFn cnonce_;
    bool onePicture_ = false;
    bool answered_ = false;
    bool onePictureAnswer_ = false;

    // What the last challenge taught; kept over reset().
    struct SignIn {
        Auth auth = Auth::None;
        std::string realm, nonce, opaque, algorithm, qop;
        uint32_t nonceCount = 0;
    };
    SignIn signIn_;
    bool challengeUnanswered_ = false;  // learnt on the last connection, not sent yet
    bool sentCredentials_ = false;      // the last request carried an Authorization
    bool sentAnswer_ = false;           // ... made for a challenge of the connection before

    // This connection.
    State state_ = State::Waiting;
    std::string error_;
    Phase phase_ = Phase::Head;
    std::string head_;
    size_t headScan_ = 0;
    bool chunked_ = false;
    Chunk chunk_ = Chunk::Size;
    uint64_t chunkLeft_ = 0;
    std::string chunkLine_;
    size_t trailerBytes_ = 0;
    std::string decoded_;

    std::string boundary_;  // as declared or learnt, without leading dashes
    // No boundary declared: the body is kept in buf_ from its first byte
    // until a delimiter line in it is found (state_ stays Waiting).
    bool learning_ = false;
    std::string contentType_;            // as declared, for the refusal
    std::optional<uint64_t> bodyLength_; // the answer's Content-Length
    size_t learnFrom_ = 0;               // in buf_: where the search goes on
    bool learnSawPicture_ = false;       // a part before learnFrom_ starts FF D8
    Part part_ = Part::Headers;
    std::string buf_;             // body bytes not yet taken
    size_t pos_ = 0;              // in buf_: the next part header line, or the part's start
    size_t scanFrom_ = 0;         // in buf_: where the search for the next delimiter goes on
    bool posAtLineStart_ = true;  // pos_ is the start of a line (not a cut in skipped bytes)
    bool looksLikeJpeg_ = false;  // the part being scanned began FF D8 FF
    size_t partHeaderBytes_ = 0;
    bool sawPartHeader_ = false;
    std::optional<size_t> contentLength_;
    uint64_t dropped_ = 0;
    Drops drops_;  // since the last takeDrops(), over connections
    std::vector<uint8_t> picture_;
};

}  // namespace ipcam

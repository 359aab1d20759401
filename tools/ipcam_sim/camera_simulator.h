#pragma once
// A stand-in for the network camera: the picture stream on one port and the
// start page on another, driven by the Qt event loop of the thread it lives
// in. Faults can be switched on for tests.

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QRandomGenerator>
#include <QSet>
#include <QSize>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <map>
#include <vector>
#include <memory>
#include <optional>
#include <tuple>

#include "ipcam_sim/scene.h"

class QFile;
class QTcpServer;
class QTcpSocket;

namespace ipcam::sim {

// The camera's reply header, 112 bytes.
extern const QByteArray kReplyHeader;
// The answer to a wrong password.
extern const QByteArray kUnauthorizedReply;
// Written after every picture, in the same write.
extern const QByteArray kBoundaryLine;

// How the pictures (each with its boundary line) are cut into writes.
enum class WriteMode {
    Whole,   // one write per picture: its first bytes begin a read
    Split,   // the stream cut at random points into small writes a few
             // milliseconds apart: pictures and boundary lines end up
             // split across reads, and a read may hold the end of one
             // picture and the start of the next
    Joined,  // two to four pictures gathered into one write
};

// Authentication the standard MJPEG stream asks for.
enum class MjpegAuth {
    None,
    Basic,   // RFC 7617
    Digest,  // RFC 7616 with MD5, qop=auth or (digestQop off) no qop
};

// The pictures of the standard MJPEG stream.
enum class JpegFormat {
    Jfif,  // FF D8 FF E0 ...
    Exif,  // FF D8 FF E1 with a small Exif APP1 segment in place of JFIF's APP0
};

// How a standard MJPEG stream (HTTP, multipart/x-mixed-replace) is framed.
// Each picture is one write: its part headers, a blank line, the JPEG, then
// the delimiter line, so a picture is whole once its delimiter is in.
struct MjpegFraming {
    QByteArray boundary = "ipcamsimframe";  // NAME: delimiter lines are --NAME
    bool quoted = false;               // boundary="NAME" rather than boundary=NAME
    bool dashedDeclaration = false;    // boundary=--NAME: the declaration carries the
                                       // delimiter's leading "--" (delimiters stay --NAME)
    bool crlfBeforeDelimiter = true;   // "\r\n--NAME\r\n" after each JPEG, or
                                       // "--NAME\r\n" right after its FF D9
    bool firstDelimiter = true;        // "--NAME\r\n" right after the response
                                       // header; off: the first part's headers come first
    int emptyPartEvery = 0;            // every Nth picture followed by an empty part
                                       // (its delimiter twice in a row); 0: never
    bool contentLength = true;         // Content-Length in each part's headers
    bool chunked = false;              // Transfer-Encoding: chunked (under HTTP/1.0 too)
    bool http11 = false;               // status lines HTTP/1.1 rather than HTTP/1.0
    // Set: the answer says Content-Type: TEXT and declares no boundary, as
    // ffmpeg's and VLC's servers do (application/octet-stream); empty: no
    // Content-Type at all. The body is the same.
    std::optional<QByteArray> contentType;

    // The Content-Type parameter's value as declared, and the delimiter line
    // (with its CRLF before it when crlfBeforeDelimiter).
    QByteArray declaredBoundary() const;
    QByteArray delimiter() const;
};

struct SimulatorOptions {
    QHostAddress bindAddress = QHostAddress(QHostAddress::LocalHost);
    quint16 streamPort = 0;  // 0: ephemeral, see CameraSimulator::streamPort()
    quint16 httpPort = 0;
    bool startPage = true;   // serve the start page at all
    QByteArray password = "pxwqe";
    QString name = QStringLiteral("IPCam Simulator");
    int fps = 10;
    bool still = false;
    WriteMode writeMode = WriteMode::Whole;
    // When set, the pictures kept by setKeepSent are also appended to this
    // file (emptied at start), each as a 4-byte little-endian length and its
    // bytes, and flushed at once: another process can check against it what
    // the camera sent while the simulator runs. Implies setKeepSent(true).
    QString keepSentFile;

    // Non-empty (e.g. "/stream"): the stream port serves standard MJPEG over
    // HTTP at this path instead of the camera's own protocol; any other path
    // gets 404 Not Found. The options below apply to that mode only.
    QByteArray mjpegPath;
    MjpegFraming mjpeg;
    // A snapshot camera: each GET of mjpegPath answers one JPEG picture
    // (HTTP/1.1, Content-Length, kept alive) and the connection waits for
    // the next request; the framing options above do not apply.
    bool snapshot = false;
    MjpegAuth auth = MjpegAuth::None;
    bool digestQop = true;
    QByteArray user = "admin";  // with `password`
    JpegFormat jpegFormat = JpegFormat::Jfif;
    QSize pictureSize = QSize(640, 480);  // up to kMaxPictureSize

    // Every picture carries a comment segment (FF FE) right after its first
    // segment: "ipcam-sim serial=S conn=C ms=T", S counting the pictures
    // sent, C the stream connection it went on (1 = the first accepted), T
    // the wall-clock time it was written (milliseconds since the epoch),
    // and " fault=corrupt|truncated|cut" on a picture spoilt on purpose.
    // Each picture is then unique, and its bytes tell when and where it went.
    bool markPictures = false;
};

// Spoils of one picture, for soak runs.
enum class PictureFault {
    None,
    Corrupt,    // a stretch in the middle of the scan overwritten with random bytes
    Truncated,  // the picture ends after about 60 % of its bytes (no FF D9), framed as if whole
    Cut,        // half of the picture written, then the connection is closed
};

// The comment segment's text for a picture (see markPictures).
QByteArray markText(uint64_t serial, int connection, qint64 msSinceEpoch, PictureFault fault);
// `jpeg` with a comment segment holding `text` after its first segment
// (APPn) or right after FF D8 when none; unchanged when it is not a JPEG.
QByteArray withComment(const QByteArray& jpeg, const QByteArray& text);

// The largest picture size the standard MJPEG mode serves; the smallest is 16 x 16.
inline constexpr QSize kMaxPictureSize(4000, 3000);
// The realm of the MJPEG stream's authentication challenges.
extern const QByteArray kAuthRealm;

// What the camera writes right after an accepted request.
enum class HeaderMode {
    Normal,     // the 112 bytes in one write
    Split,      // in two writes with a pause between them
    Different,  // a reply header that is not the expected one
};

// The parts of a request line "GET /Webcam.jpg?Pass=..&V=..&F=..&Q=..&B=..&U=.. HTTP/1.0".
struct StreamRequestLine {
    QByteArray password;
    int v = 1, f = 0, q = 0, b = 0, u = 0;
};
// nullopt for anything that is not such a line. The password is taken up to
// the last "&V=", so it may itself hold "&" and "=".
std::optional<StreamRequestLine> parseRequestLine(const QByteArray& line);

class CameraSimulator : public QObject {
    Q_OBJECT
public:
    explicit CameraSimulator(SimulatorOptions options = {}, QObject* parent = nullptr);
    ~CameraSimulator() override;

    // Listen on both ports. False (with a reason) when a port cannot be had
    // or the bind address is not a loopback address.
    bool start(QString* error = nullptr);
    void stop();

    quint16 streamPort() const;
    quint16 httpPort() const;

    int connectionCount() const { return connections_; }     // stream connections accepted
    int streamingClients() const;                            // clients being sent pictures
    uint64_t picturesSent() const { return picturesSent_; }
    QByteArray lastRequestLine() const { return lastRequest_; }
    bool still() const { return still_; }

public slots:
    void setStill(bool still);
    void triggerMotion(int frames = 6);
    void setFps(int fps);
    void setName(const QString& name);
    // Stop sending pictures; connections stay open.
    void stall();
    void resume();
    // Close every stream connection.
    void closeConnections();
    void setHeaderMode(HeaderMode mode) { headerMode_ = mode; }
    // Write some bytes ahead of each picture in the same write, so that the
    // picture begins in the middle of a read.
    void setGarbagePrefix(bool on) { garbagePrefix_ = on; }
    // The start page accepts connections and never answers.
    void setStartPageSilent(bool on) { startPageSilent_ = on; }
    void setWriteMode(WriteMode mode) { writeMode_ = mode; }
    // Standard MJPEG mode: the framing and authentication of responses sent
    // from now on (a running stream keeps its own framing); the format and
    // size of the pictures from the next one on (the size clamped to 16 x 16
    // .. kMaxPictureSize).
    void setMjpegFraming(const MjpegFraming& framing) { options_.mjpeg = framing; }
    void setMjpegAuth(MjpegAuth auth, bool digestQop = true) {
        options_.auth = auth;
        options_.digestQop = digestQop;
    }
    void setJpegFormat(JpegFormat format) { options_.jpegFormat = format; }
    void setPictureSize(QSize size);
    // The next picture sent on each stream connection is spoilt so.
    void spoilNextPicture(PictureFault fault) { nextFault_ = fault; }
    // Outage: closes every stream connection and stops listening, so that
    // connection attempts are refused; off listens on the same port again.
    void setRefusing(bool on);
    // Writes `bytes` random bytes into every running stream at once, between
    // two pictures; pictures are skipped while more than 4 MB of it wait
    // to be sent.
    void sendNoise(qsizetype bytes);
    // Remembers the last few hundred pictures sent (with their boundary
    // lines; in MJPEG mode the JPEG bytes alone, FF D8 to FF D9), for tests
    // that compare what the client kept.
    void setKeepSent(bool on) { keepSent_ = on; }
    bool wasSent(const QByteArray& picture) const { return sent_.contains(picture); }

signals:
    void requestReceived(const QByteArray& line);

private:
    struct Client;
    void onStreamConnection();
    void onStreamData(QTcpSocket* socket);
    void onHttpConnection();
    void onHttpData(QTcpSocket* socket);
    void sendHeader(QTcpSocket* socket);
    void onMjpegRequest(QTcpSocket* socket, Client& client);
    void answerSnapshot(QTcpSocket* socket, Client& client);
    bool authorized(const QByteArray& target, const QByteArray& authorization) const;
    QByteArray challenge();
    void tick();
    void drainSplitWrites();
    QByteArray pictureFor(QSize size, JpegFormat format);
    void appendToKeepSentFile(const QByteArray& picture);

    SimulatorOptions options_;
    QTcpServer* streamServer_ = nullptr;
    QTcpServer* httpServer_ = nullptr;
    QTimer frameTimer_;
    std::map<QTcpSocket*, std::unique_ptr<Client>> clients_;
    std::vector<QTcpSocket*> clientSockets() const;

    bool still_ = false;
    bool stalled_ = false;
    int burstLeft_ = 0;
    HeaderMode headerMode_ = HeaderMode::Normal;
    bool garbagePrefix_ = false;
    bool startPageSilent_ = false;
    WriteMode writeMode_ = WriteMode::Whole;
    bool keepSent_ = false;
    QSet<QByteArray> sent_;
    QList<QByteArray> sentOrder_;
    std::unique_ptr<QFile> keepSentFile_;
    QTimer splitTimer_;
    QRandomGenerator random_{20061012};

    PictureFault nextFault_ = PictureFault::None;
    quint16 listenPort_ = 0;
    uint64_t markSerial_ = 0;

    int connections_ = 0;
    uint64_t frameNumber_ = 0;
    uint64_t picturesSent_ = 0;
    QByteArray lastRequest_;
    // Digest nonces handed out, the newest last; a few dozen stay valid.
    QList<QByteArray> nonces_;
    QByteArray opaque_;
    // Pictures of the current tick by size and format, so several clients share one.
    using PictureKey = std::tuple<int, int, JpegFormat>;
    std::map<PictureKey, QByteArray> tickPictures_;
    std::map<PictureKey, QByteArray> stillPictures_;
};

}  // namespace ipcam::sim

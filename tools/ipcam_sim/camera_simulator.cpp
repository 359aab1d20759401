#include "ipcam_sim/camera_simulator.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTime>
#include <QtEndian>

#include <algorithm>
#include <vector>

namespace ipcam::sim {

const QByteArray kReplyHeader =
    "HTTP/1.0 200 OK\r\nConnection: Close\r\nServer: Qelt\r\n"
    "Content-Type: multipart/x-mixed-replace; boundary=EOB\r\n\r\nEOB\r\n";
const QByteArray kUnauthorizedReply = "HTTP/1.0 401 Unauthorized\r\n\r\n";
const QByteArray kBoundaryLine = "\r\nEOB\r\n";
const QByteArray kAuthRealm = "ipcam-sim";

QByteArray MjpegFraming::declaredBoundary() const {
    const QByteArray value = dashedDeclaration ? "--" + boundary : boundary;
    return quoted ? '"' + value + '"' : value;
}

QByteArray MjpegFraming::delimiter() const {
    return (crlfBeforeDelimiter ? "\r\n--" : "--") + boundary + "\r\n";
}

namespace {

// Same length as the real header, one boundary name off.
const QByteArray kOtherHeader =
    "HTTP/1.0 200 OK\r\nConnection: Close\r\nServer: Qelt\r\n"
    "Content-Type: multipart/x-mixed-replace; boundary=XYZ\r\n\r\nXYZ\r\n";
const QByteArray kBadRequestReply = "HTTP/1.0 400 Bad Request\r\n\r\n";
const QByteArray kNotFoundReply = "HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n\r\n";
const QByteArray kGarbage = "--EOB\r\nContent-Type: image/jpeg\r\n\r\n";

constexpr qsizetype kMaxRequestBytes = 8192;
// A client that does not read is skipped rather than buffered without end.
constexpr qint64 kMaxPendingBytes = 4 * 1024 * 1024;
constexpr int kSplitPauseMs = 50;
constexpr qsizetype kSplitAt = 40;
// Split writes: pieces of 1 to kMaxPiece bytes, one every kPieceGapMs.
constexpr int kMaxPiece = 1500;
constexpr int kPieceGapMs = 1;
constexpr qsizetype kKeepSent = 400;
// MJPEG: chunks of at most this many bytes; Digest nonces that stay valid.
constexpr qsizetype kChunkBytes = 4096;
constexpr qsizetype kNonces = 32;

std::optional<int> digitValue(const QByteArray& text) {
    if (text.isEmpty() || text.size() > 6)
        return std::nullopt;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

QByteArray md5Hex(const QByteArray& data) {
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

QByteArray randomHex(int words) {
    QByteArray raw;
    for (int i = 0; i < words; ++i) {
        const quint32 w = QRandomGenerator::global()->generate();
        raw.append(reinterpret_cast<const char*>(&w), sizeof w);
    }
    return raw.toHex();
}

// The name=value pairs of an authentication header after its scheme, names
// in lower case, quoted values unquoted; nullopt when it does not parse.
std::optional<std::map<QByteArray, QByteArray>> parseAuthParams(const QByteArray& text) {
    std::map<QByteArray, QByteArray> out;
    const qsizetype n = text.size();
    qsizetype i = 0;
    auto skipSpace = [&] {
        while (i < n && (text[i] == ' ' || text[i] == '\t'))
            ++i;
    };
    for (;;) {
        skipSpace();
        while (i < n && text[i] == ',') {
            ++i;
            skipSpace();
        }
        if (i >= n)
            return out;
        const qsizetype nameAt = i;
        while (i < n && text[i] != '=' && text[i] != ',' && text[i] != ' ' && text[i] != '\t')
            ++i;
        const QByteArray name = text.mid(nameAt, i - nameAt).toLower();
        skipSpace();
        if (name.isEmpty() || i >= n || text[i] != '=' || out.count(name))
            return std::nullopt;
        ++i;
        skipSpace();
        QByteArray value;
        if (i < n && text[i] == '"') {
            for (++i; i < n && text[i] != '"'; ++i) {
                if (text[i] == '\\' && i + 1 < n)
                    ++i;
                value += text[i];
            }
            if (i >= n)
                return std::nullopt;
            ++i;
        } else {
            const qsizetype valueAt = i;
            while (i < n && text[i] != ',' && text[i] != ' ' && text[i] != '\t')
                ++i;
            value = text.mid(valueAt, i - valueAt);
        }
        out[name] = value;
        skipSpace();
        if (i < n && text[i] != ',')
            return std::nullopt;
    }
}

// One MJPEG part: its headers, a blank line, the JPEG and the delimiter
// line, the delimiter twice for an empty part after it.
QByteArray mjpegPart(const MjpegFraming& framing, const QByteArray& jpeg, bool emptyPartAfter) {
    QByteArray part = "Content-Type: image/jpeg\r\n";
    if (framing.contentLength)
        part += "Content-Length: " + QByteArray::number(jpeg.size()) + "\r\n";
    part += "\r\n";
    part += jpeg;
    part += framing.delimiter();
    if (emptyPartAfter)
        part += framing.delimiter();
    return part;
}

// `data` as chunks of the chunked transfer coding (no last chunk: the
// stream never ends by itself).
QByteArray chunked(const QByteArray& data) {
    QByteArray out;
    for (qsizetype at = 0; at < data.size(); at += kChunkBytes) {
        const QByteArray piece = data.mid(at, kChunkBytes);
        out += QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
    }
    return out;
}

// A run of random bytes in the middle of the picture, none of them FF and
// not right after an FF, so that no marker is made or unmade: the picture
// keeps its length and its end, its scan is wrong.
QByteArray corrupted(QByteArray jpeg, QRandomGenerator& random) {
    qsizetype at = jpeg.size() / 2;
    const qsizetype n = std::max<qsizetype>(16, jpeg.size() / 8);
    if (at < 4 || at + n + 2 > jpeg.size())
        return jpeg;
    if (static_cast<uchar>(jpeg[at - 1]) == 0xFF)
        ++at;
    for (qsizetype i = at; i < at + n; ++i)
        jpeg[i] = static_cast<char>(random.bounded(0xFF));
    return jpeg;
}

// About the first 60 %, not ending in the middle of a marker.
QByteArray truncated(const QByteArray& jpeg) {
    qsizetype n = jpeg.size() * 6 / 10;
    while (n > 2 && static_cast<uchar>(jpeg[n - 1]) == 0xFF)
        --n;
    return jpeg.left(n);
}

}  // namespace

QByteArray markText(uint64_t serial, int connection, qint64 msSinceEpoch, PictureFault fault) {
    QByteArray text = "ipcam-sim serial=" + QByteArray::number(static_cast<qulonglong>(serial)) +
                      " conn=" + QByteArray::number(connection) + " ms=" + QByteArray::number(msSinceEpoch);
    switch (fault) {
    case PictureFault::None: break;
    case PictureFault::Corrupt: text += " fault=corrupt"; break;
    case PictureFault::Truncated: text += " fault=truncated"; break;
    case PictureFault::Cut: text += " fault=cut"; break;
    }
    return text;
}

QByteArray withComment(const QByteArray& jpeg, const QByteArray& text) {
    if (jpeg.size() < 4 || static_cast<uchar>(jpeg[0]) != 0xFF || static_cast<uchar>(jpeg[1]) != 0xD8)
        return jpeg;
    qsizetype at = 2;
    const uchar marker = static_cast<uchar>(jpeg[3]);
    if (static_cast<uchar>(jpeg[2]) == 0xFF && marker >= 0xE0 && marker <= 0xEF && jpeg.size() >= 6) {
        const qsizetype length = (static_cast<uchar>(jpeg[4]) << 8) | static_cast<uchar>(jpeg[5]);
        if (2 + 2 + length <= jpeg.size())
            at = 2 + 2 + length;
    }
    const QByteArray body = text.left(65533 - 2);
    const int length = static_cast<int>(body.size()) + 2;
    QByteArray segment("\xFF\xFE", 2);
    segment += static_cast<char>(length >> 8);
    segment += static_cast<char>(length & 0xFF);
    segment += body;
    return jpeg.left(at) + segment + jpeg.mid(at);
}

std::optional<StreamRequestLine> parseRequestLine(const QByteArray& line) {
    static const QByteArray prefix = "GET /Webcam.jpg?Pass=";
    static const QByteArray suffix = " HTTP/1.0";
    if (!line.startsWith(prefix) || !line.endsWith(suffix))
        return std::nullopt;
    const QByteArray query = line.mid(prefix.size(), line.size() - prefix.size() - suffix.size());
    const qsizetype vAt = query.lastIndexOf("&V=");
    if (vAt < 0)
        return std::nullopt;
    StreamRequestLine r;
    r.password = query.left(vAt);
    // The rest: V=..&F=..&Q=..&B=..&U=..
    const QList<QByteArray> parts = query.mid(vAt + 1).split('&');
    static const char names[5] = {'V', 'F', 'Q', 'B', 'U'};
    int* fields[5] = {&r.v, &r.f, &r.q, &r.b, &r.u};
    if (parts.size() != 5)
        return std::nullopt;
    for (int i = 0; i < 5; ++i) {
        const QByteArray& p = parts[i];
        if (p.size() < 3 || p[0] != names[i] || p[1] != '=')
            return std::nullopt;
        const auto value = digitValue(p.mid(2));
        if (!value)
            return std::nullopt;
        *fields[i] = *value;
    }
    return r;
}

struct CameraSimulator::Client {
    QByteArray request;
    bool accepted = false;     // request line read and password right
    bool headerSent = false;   // pictures may follow
    int v = 1;
    QByteArray backlog;        // pictures not yet written (Split, Joined)
    int joinLeft = 0;          // Joined: pictures still to gather
    bool mjpeg = false;        // a standard MJPEG stream, framed so:
    MjpegFraming framing;
    uint64_t parts = 0;        // pictures sent on it
    int number = 0;            // 1 for the first connection accepted
};

CameraSimulator::CameraSimulator(SimulatorOptions options, QObject* parent)
    : QObject(parent),
      options_(std::move(options)),
      frameTimer_(this),
      still_(options_.still),
      writeMode_(options_.writeMode),
      splitTimer_(this),
      opaque_(randomHex(4)) {
    setPictureSize(options_.pictureSize);
    frameTimer_.setTimerType(Qt::PreciseTimer);
    connect(&frameTimer_, &QTimer::timeout, this, &CameraSimulator::tick);
    splitTimer_.setInterval(kPieceGapMs);
    connect(&splitTimer_, &QTimer::timeout, this, &CameraSimulator::drainSplitWrites);
    setFps(options_.fps);
}

CameraSimulator::~CameraSimulator() { stop(); }

bool CameraSimulator::start(QString* error) {
    auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        stop();
        return false;
    };
    if (!options_.bindAddress.isLoopback())
        return fail(QStringLiteral("refusing to listen on %1: only loopback addresses are allowed")
                        .arg(options_.bindAddress.toString()));
    streamServer_ = new QTcpServer(this);
    connect(streamServer_, &QTcpServer::newConnection, this, &CameraSimulator::onStreamConnection);
    if (!streamServer_->listen(options_.bindAddress, options_.streamPort))
        return fail(QStringLiteral("stream port %1: %2").arg(options_.streamPort).arg(streamServer_->errorString()));
    listenPort_ = streamServer_->serverPort();
    if (options_.startPage) {
        httpServer_ = new QTcpServer(this);
        connect(httpServer_, &QTcpServer::newConnection, this, &CameraSimulator::onHttpConnection);
        if (!httpServer_->listen(options_.bindAddress, options_.httpPort))
            return fail(QStringLiteral("start page port %1: %2").arg(options_.httpPort).arg(httpServer_->errorString()));
    }
    if (!options_.keepSentFile.isEmpty()) {
        keepSentFile_ = std::make_unique<QFile>(options_.keepSentFile);
        if (!keepSentFile_->open(QIODevice::WriteOnly | QIODevice::Truncate))
            return fail(QStringLiteral("keep-sent file %1: %2")
                            .arg(options_.keepSentFile, keepSentFile_->errorString()));
        keepSent_ = true;
    }
    frameTimer_.start();
    return true;
}

void CameraSimulator::stop() {
    frameTimer_.stop();
    splitTimer_.stop();
    closeConnections();
    delete streamServer_;
    streamServer_ = nullptr;
    delete httpServer_;
    httpServer_ = nullptr;
    keepSentFile_.reset();
}

quint16 CameraSimulator::streamPort() const { return streamServer_ ? listenPort_ : 0; }
quint16 CameraSimulator::httpPort() const { return httpServer_ ? httpServer_->serverPort() : 0; }

int CameraSimulator::streamingClients() const {
    int n = 0;
    for (const auto& [socket, client] : clients_)
        n += client->headerSent ? 1 : 0;
    return n;
}

void CameraSimulator::setStill(bool still) { still_ = still; }

void CameraSimulator::triggerMotion(int frames) { burstLeft_ = frames > 0 ? frames : 0; }

void CameraSimulator::setFps(int fps) {
    options_.fps = fps < 1 ? 1 : (fps > 100 ? 100 : fps);
    frameTimer_.setInterval(1000 / options_.fps);
}

void CameraSimulator::setName(const QString& name) { options_.name = name; }

void CameraSimulator::setPictureSize(QSize size) {
    options_.pictureSize = QSize(std::clamp(size.width(), 16, kMaxPictureSize.width()),
                                 std::clamp(size.height(), 16, kMaxPictureSize.height()));
}

void CameraSimulator::stall() { stalled_ = true; }

void CameraSimulator::resume() { stalled_ = false; }

void CameraSimulator::closeConnections() {
    auto clients = std::move(clients_);
    clients_.clear();
    for (auto& [socket, client] : clients) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
}

void CameraSimulator::setRefusing(bool on) {
    if (!streamServer_)
        return;
    if (on) {
        closeConnections();
        streamServer_->close();
    } else if (!streamServer_->isListening()) {
        if (!streamServer_->listen(options_.bindAddress, listenPort_))
            qWarning("ipcam-sim: cannot listen on port %u again: %s", listenPort_,
                     qPrintable(streamServer_->errorString()));
    }
}

void CameraSimulator::sendNoise(qsizetype bytes) {
    std::vector<quint32> words(static_cast<size_t>((bytes + 3) / 4));
    random_.fillRange(words.data(), static_cast<qsizetype>(words.size()));
    const QByteArray noise(reinterpret_cast<const char*>(words.data()), bytes);
    for (auto& [socket, client] : clients_) {
        if (!client->headerSent || socket->state() != QAbstractSocket::ConnectedState)
            continue;
        socket->write(client->backlog + noise);
        client->backlog.clear();
        socket->flush();
    }
}

void CameraSimulator::onStreamConnection() {
    while (QTcpSocket* socket = streamServer_->nextPendingConnection()) {
        ++connections_;
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        clients_[socket] = std::make_unique<Client>();
        clients_[socket]->number = connections_;
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onStreamData(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            clients_.erase(socket);
            socket->deleteLater();
        });
    }
}

void CameraSimulator::onStreamData(QTcpSocket* socket) {
    auto it = clients_.find(socket);
    if (it == clients_.end())
        return;
    Client& client = *it->second;
    const QByteArray data = socket->readAll();
    if (client.accepted)
        return;  // the camera ignores anything after the request line
    client.request += data;
    if (!options_.mjpegPath.isEmpty()) {
        onMjpegRequest(socket, client);
        return;
    }
    const qsizetype eol = client.request.indexOf("\r\n");
    if (eol < 0) {
        if (client.request.size() > kMaxRequestBytes) {
            socket->write(kBadRequestReply);
            socket->disconnectFromHost();
        }
        return;
    }
    const QByteArray line = client.request.left(eol);
    lastRequest_ = line;
    emit requestReceived(line);
    const auto request = parseRequestLine(line);
    if (!request) {
        socket->write(kBadRequestReply);
        socket->disconnectFromHost();
        return;
    }
    if (request->password != options_.password) {
        socket->write(kUnauthorizedReply);
        socket->disconnectFromHost();
        return;
    }
    client.accepted = true;
    client.v = request->v;
    sendHeader(socket);
}

void CameraSimulator::sendHeader(QTcpSocket* socket) {
    auto markSent = [this, socket] {
        auto it = clients_.find(socket);
        if (it != clients_.end())
            it->second->headerSent = true;
    };
    switch (headerMode_) {
    case HeaderMode::Normal:
        socket->write(kReplyHeader);
        socket->flush();
        markSent();
        break;
    case HeaderMode::Different:
        socket->write(kOtherHeader);
        socket->flush();
        markSent();
        break;
    case HeaderMode::Split:
        socket->write(kReplyHeader.left(kSplitAt));
        socket->flush();
        QTimer::singleShot(kSplitPauseMs, socket, [socket, markSent] {
            socket->write(kReplyHeader.mid(kSplitAt));
            socket->flush();
            markSent();
        });
        break;
    }
}

void CameraSimulator::onMjpegRequest(QTcpSocket* socket, Client& client) {
    const MjpegFraming framing = options_.mjpeg;
    const QByteArray version = framing.http11 ? "HTTP/1.1 " : "HTTP/1.0 ";
    // A short text/html answer, then the connection closes.
    auto refuse = [&](const QByteArray& status, const QByteArray& extraHeaders = {}) {
        const QByteArray body = "<html><head><title>" + status + "</title></head><body><h1>" + status +
                                "</h1></body></html>\r\n";
        socket->write(version + status + "\r\nServer: ipcam-sim\r\nConnection: close\r\n" + extraHeaders +
                      "Content-Type: text/html\r\nContent-Length: " + QByteArray::number(body.size()) +
                      "\r\n\r\n" + body);
        socket->disconnectFromHost();
    };
    qsizetype end = client.request.indexOf("\r\n\r\n");
    if (end < 0)
        end = client.request.indexOf("\n\n");
    if (end < 0) {
        if (client.request.size() > kMaxRequestBytes) {
            client.accepted = true;
            refuse("400 Bad Request");
        }
        return;
    }
    // One request per connection, or in snapshot mode one after another.
    const qsizetype requestEnd = end + (client.request.mid(end, 4) == "\r\n\r\n" ? 4 : 2);
    client.accepted = !options_.snapshot;
    QList<QByteArray> lines = client.request.left(end).split('\n');
    for (QByteArray& l : lines)
        if (l.endsWith('\r'))
            l.chop(1);
    const QByteArray line = lines.first();
    lastRequest_ = line;
    emit requestReceived(line);
    const QList<QByteArray> words = line.split(' ');
    if (words.size() != 3 || words[0] != "GET" || !words[2].startsWith("HTTP/1.") || words[1].isEmpty()) {
        refuse("400 Bad Request");
        return;
    }
    const QByteArray& target = words[1];
    const qsizetype query = target.indexOf('?');
    if (target != options_.mjpegPath && (query < 0 || target.left(query) != options_.mjpegPath)) {
        refuse("404 Not Found");
        return;
    }
    if (options_.auth != MjpegAuth::None) {
        QByteArray authorization;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0 && lines[i].left(colon).trimmed().toLower() == "authorization")
                authorization = lines[i].mid(colon + 1).trimmed();
        }
        if (!authorized(target, authorization)) {
            refuse("401 Unauthorized", "WWW-Authenticate: " + challenge() + "\r\n");
            return;
        }
    }
    if (options_.snapshot) {
        client.request.remove(0, requestEnd);
        answerSnapshot(socket, client);
        if (client.request.contains("\n\n") || client.request.contains("\r\n\r\n"))
            onMjpegRequest(socket, client);
        return;
    }
    QByteArray header = version +
                        "200 OK\r\nServer: ipcam-sim\r\nConnection: close\r\n"
                        "Cache-Control: no-cache, no-store, must-revalidate\r\nPragma: no-cache\r\n";
    if (!framing.contentType)
        header += "Content-Type: multipart/x-mixed-replace; boundary=" + framing.declaredBoundary() + "\r\n";
    else if (!framing.contentType->isEmpty())
        header += "Content-Type: " + *framing.contentType + "\r\n";
    if (framing.chunked)
        header += "Transfer-Encoding: chunked\r\n";
    header += "\r\n";
    if (framing.firstDelimiter) {
        const QByteArray first = "--" + framing.boundary + "\r\n";
        header += framing.chunked ? chunked(first) : first;
    }
    client.mjpeg = true;
    client.framing = framing;
    client.headerSent = true;
    socket->write(header);
    socket->flush();
}

// One picture for one request: the picture of the moment, kept like a
// streamed one.
void CameraSimulator::answerSnapshot(QTcpSocket* socket, Client& client) {
    QByteArray jpeg = pictureFor(options_.pictureSize, options_.jpegFormat);
    if (options_.markPictures)
        jpeg = withComment(jpeg, markText(++markSerial_, client.number, QDateTime::currentMSecsSinceEpoch(),
                                          PictureFault::None));
    ++client.parts;
    ++picturesSent_;
    if (keepSent_ && !sent_.contains(jpeg)) {
        sent_.insert(jpeg);
        sentOrder_.append(jpeg);
        if (sentOrder_.size() > kKeepSent)
            sent_.remove(sentOrder_.takeFirst());
    }
    appendToKeepSentFile(jpeg);
    socket->write("HTTP/1.1 200 OK\r\nServer: ipcam-sim\r\nConnection: keep-alive\r\n"
                  "Cache-Control: no-cache, no-store, must-revalidate\r\nContent-Type: image/jpeg\r\n"
                  "Content-Length: " +
                  QByteArray::number(jpeg.size()) + "\r\n\r\n" + jpeg);
    socket->flush();
}

bool CameraSimulator::authorized(const QByteArray& target, const QByteArray& authorization) const {
    const qsizetype space = authorization.indexOf(' ');
    if (space <= 0)
        return false;
    const QByteArray scheme = authorization.left(space).toLower();
    const QByteArray rest = authorization.mid(space + 1).trimmed();
    if (options_.auth == MjpegAuth::Basic) {
        const auto decoded = QByteArray::fromBase64Encoding(rest, QByteArray::AbortOnBase64DecodingErrors);
        return scheme == "basic" && decoded && decoded.decoded == options_.user + ':' + options_.password;
    }
    if (scheme != "digest")
        return false;
    const auto params = parseAuthParams(rest);
    if (!params)
        return false;
    auto get = [&](const char* name) {
        const auto it = params->find(name);
        return it == params->end() ? QByteArray() : it->second;
    };
    const QByteArray nonce = get("nonce"), algorithm = get("algorithm").toLower();
    if (get("username") != options_.user || get("realm") != kAuthRealm || get("uri") != target ||
        nonce.isEmpty() || !nonces_.contains(nonce) || get("opaque") != opaque_ ||
        !(algorithm.isEmpty() || algorithm == "md5"))
        return false;
    const QByteArray ha1 = md5Hex(options_.user + ':' + kAuthRealm + ':' + options_.password);
    const QByteArray ha2 = md5Hex("GET:" + target);
    QByteArray expected;
    if (options_.digestQop) {
        const QByteArray nc = get("nc"), cnonce = get("cnonce");
        if (get("qop") != "auth" || nc.size() != 8 || cnonce.isEmpty())
            return false;
        expected = md5Hex(ha1 + ':' + nonce + ':' + nc + ':' + cnonce + ":auth:" + ha2);
    } else {
        if (params->count("qop"))
            return false;
        expected = md5Hex(ha1 + ':' + nonce + ':' + ha2);
    }
    return get("response").toLower() == expected;
}

QByteArray CameraSimulator::challenge() {
    if (options_.auth == MjpegAuth::Basic)
        return "Basic realm=\"" + kAuthRealm + "\", charset=\"UTF-8\"";
    const QByteArray nonce = randomHex(4);
    nonces_.append(nonce);
    if (nonces_.size() > kNonces)
        nonces_.removeFirst();
    QByteArray c = "Digest realm=\"" + kAuthRealm + "\", ";
    if (options_.digestQop)
        c += "qop=\"auth\", ";
    return c + "algorithm=MD5, nonce=\"" + nonce + "\", opaque=\"" + opaque_ + '"';
}

QByteArray CameraSimulator::pictureFor(QSize size, JpegFormat format) {
    const PictureKey key{size.width(), size.height(), format};
    auto encode = [&](const std::vector<uint8_t>& rgb) {
        const QByteArray jfif = encodeJpeg(rgb, size);
        return format == JpegFormat::Exif ? withExifSegment(jfif) : jfif;
    };
    if (burstLeft_ <= 0 && still_) {
        auto& cached = stillPictures_[key];
        if (cached.isEmpty())
            cached = encode(renderScene(size, SceneKind::Still, 0, {}));
        return cached;
    }
    auto& picture = tickPictures_[key];
    if (picture.isEmpty()) {
        const QTime now = QTime::currentTime();
        const SceneKind kind = burstLeft_ > 0 ? SceneKind::Burst : SceneKind::Moving;
        const uint64_t n = burstLeft_ > 0 ? static_cast<uint64_t>(burstLeft_) : frameNumber_;
        picture = encode(renderScene(size, kind, n, {now.hour(), now.minute(), now.second()}));
    }
    return picture;
}

// A flush that fails ends its connection at once, and the client leaves
// clients_ then: loops that write go over the sockets as they were, each
// looked up again, and touch no client after its flush.
std::vector<QTcpSocket*> CameraSimulator::clientSockets() const {
    std::vector<QTcpSocket*> sockets;
    sockets.reserve(clients_.size());
    for (const auto& [socket, client] : clients_)
        sockets.push_back(socket);
    return sockets;
}

void CameraSimulator::tick() {
    if (stalled_)
        return;
    tickPictures_.clear();
    const PictureFault fault = nextFault_;
    nextFault_ = PictureFault::None;
    // Connections cut in the middle of a picture, closed after the loop.
    QList<QTcpSocket*> cut;
    // The picture for a client, marked and spoilt as asked.
    auto picture = [&](const Client& client, QSize size, JpegFormat format) {
        QByteArray jpeg = pictureFor(size, format);
        if (options_.markPictures)
            jpeg = withComment(jpeg, markText(++markSerial_, client.number, QDateTime::currentMSecsSinceEpoch(), fault));
        if (fault == PictureFault::Corrupt)
            jpeg = corrupted(jpeg, random_);
        else if (fault == PictureFault::Truncated)
            jpeg = truncated(jpeg);
        return jpeg;
    };
    for (QTcpSocket* socket : clientSockets()) {
        const auto found = clients_.find(socket);
        if (found == clients_.end())
            continue;  // its connection ended during an earlier client's flush
        Client* client = found->second.get();
        if (!client->headerSent || socket->state() != QAbstractSocket::ConnectedState)
            continue;
        if (socket->bytesToWrite() + client->backlog.size() > kMaxPendingBytes)
            continue;
        // Each picture with its boundary line appended; in MJPEG mode a
        // whole part with its delimiter, of which only the JPEG is kept.
        QByteArray out, kept;
        if (client->mjpeg) {
            const MjpegFraming& f = client->framing;
            kept = picture(*client, options_.pictureSize, options_.jpegFormat);
            ++client->parts;
            const QByteArray part =
                mjpegPart(f, kept, f.emptyPartEvery > 0 && client->parts % static_cast<uint64_t>(f.emptyPartEvery) == 0);
            out = f.chunked ? chunked(part) : part;
        } else {
            if (garbagePrefix_)
                out += kGarbage;
            out += picture(*client, sizeForV(client->v), JpegFormat::Jfif);
            out += kBoundaryLine;
            kept = out;
        }
        ++picturesSent_;
        if (keepSent_ && !sent_.contains(kept)) {
            sent_.insert(kept);
            sentOrder_.append(kept);
            if (sentOrder_.size() > kKeepSent)
                sent_.remove(sentOrder_.takeFirst());
        }
        // The file has every picture as it went out, repeats included.
        appendToKeepSentFile(kept);
        if (fault == PictureFault::Cut) {
            socket->write(client->backlog + out.left(out.size() / 2));
            client->backlog.clear();
            socket->flush();
            cut.append(socket);
            continue;
        }
        switch (writeMode_) {
        case WriteMode::Whole:
            // One write per picture, so that its first bytes begin a read
            // (after whatever an earlier mode left to write).
            socket->write(client->backlog + out);
            client->backlog.clear();
            socket->flush();
            break;
        case WriteMode::Split:
            client->backlog += out;
            if (!splitTimer_.isActive())
                splitTimer_.start();
            break;
        case WriteMode::Joined:
            client->backlog += out;
            if (client->joinLeft <= 0)
                client->joinLeft = random_.bounded(2, 5);
            if (--client->joinLeft == 0) {
                socket->write(client->backlog);
                client->backlog.clear();
                socket->flush();
            }
            break;
        }
    }
    for (QTcpSocket* socket : cut)
        socket->disconnectFromHost();
    ++frameNumber_;
    if (burstLeft_ > 0)
        --burstLeft_;
}

void CameraSimulator::appendToKeepSentFile(const QByteArray& picture) {
    if (!keepSentFile_)
        return;
    // Length and bytes in one write, pushed to the file at once.
    QByteArray record(4, '\0');
    qToLittleEndian(static_cast<quint32>(picture.size()), record.data());
    record += picture;
    if (keepSentFile_->write(record) != record.size() || !keepSentFile_->flush()) {
        qWarning("ipcam-sim: cannot write to the keep-sent file %s: %s", qPrintable(keepSentFile_->fileName()),
                 qPrintable(keepSentFile_->errorString()));
        keepSentFile_.reset();
    }
}

void CameraSimulator::drainSplitWrites() {
    bool more = false;
    for (QTcpSocket* socket : clientSockets()) {
        const auto found = clients_.find(socket);
        if (found == clients_.end())
            continue;
        Client* client = found->second.get();
        if (client->backlog.isEmpty() || socket->state() != QAbstractSocket::ConnectedState)
            continue;
        const qsizetype piece = std::min<qsizetype>(client->backlog.size(), random_.bounded(1, kMaxPiece + 1));
        socket->write(client->backlog.constData(), piece);
        client->backlog.remove(0, piece);
        more = more || !client->backlog.isEmpty();
        socket->flush();
    }
    if (!more)
        splitTimer_.stop();
}

void CameraSimulator::onHttpConnection() {
    while (QTcpSocket* socket = httpServer_->nextPendingConnection()) {
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
            *buffer += socket->readAll();
            if (buffer->size() > kMaxRequestBytes) {
                socket->abort();
                return;
            }
            if (!buffer->contains("\r\n\r\n") && !buffer->contains("\n\n"))
                return;
            if (startPageSilent_)
                return;
            if (buffer->startsWith("GET / ")) {
                socket->write(
                    "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<html><head><title>" +
                    options_.name.toUtf8() +
                    "</title></head><body><img src=\"/Webcam.jpg\"></body></html>\r\n");
            } else {
                socket->write(kNotFoundReply);
            }
            socket->disconnectFromHost();
            buffer->clear();
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

}  // namespace ipcam::sim

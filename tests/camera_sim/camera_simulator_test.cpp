// The camera simulator as a client sees it on loopback.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>

#include <functional>

#include "ipcam_sim/camera_simulator.h"

using namespace ipcam::sim;

namespace {

const QByteArray kMarker("\xFF\xD8\xFF\xE0", 4);

bool pumpUntil(const std::function<bool()>& pred, int ms = 3000) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

// A stream client that keeps every read as its own chunk.
struct Client {
    QTcpSocket socket;
    QList<QByteArray> chunks;
    bool closed = false;

    explicit Client(quint16 port, const QByteArray& password = "pxwqe", int v = 1) {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { chunks.append(socket.readAll()); });
        QObject::connect(&socket, &QTcpSocket::disconnected, [this] { closed = true; });
        socket.connectToHost(QHostAddress::LocalHost, port);
        EXPECT_TRUE(pumpUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; }));
        socket.write("GET /Webcam.jpg?Pass=" + password + "&V=" + QByteArray::number(v) + "&F=2&Q=2&B=2&U=0 HTTP/1.0\r\n");
    }
    QByteArray all() const { return chunks.join(); }
    // The pictures after the 112-byte header, cut at the boundary lines.
    QList<QByteArray> pictures() const {
        QList<QByteArray> out;
        QByteArray rest = all().mid(112);
        qsizetype at;
        while ((at = rest.indexOf(kBoundaryLine)) >= 0) {
            out.append(rest.left(at));
            rest.remove(0, at + kBoundaryLine.size());
        }
        return out;
    }
    bool waitPictures(int n, int ms = 3000) {
        return pumpUntil([&] { return pictures().size() >= n; }, ms);
    }
};

SimulatorOptions fastOptions() {
    SimulatorOptions o;
    o.fps = 50;
    return o;
}

// An HTTP client of the MJPEG mode: one request, everything it gets back.
struct HttpClient {
    QTcpSocket socket;
    QByteArray data;
    bool closed = false;

    HttpClient(quint16 port, const QByteArray& target, const QByteArray& authorization = {}) {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { data += socket.readAll(); });
        QObject::connect(&socket, &QTcpSocket::disconnected, [this] { closed = true; });
        socket.connectToHost(QHostAddress::LocalHost, port);
        EXPECT_TRUE(pumpUntil([&] { return socket.state() == QAbstractSocket::ConnectedState; }));
        QByteArray request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        if (!authorization.isEmpty())
            request += "Authorization: " + authorization + "\r\n";
        socket.write(request + "\r\n");
    }
    QByteArray head() const { return data.left(data.indexOf("\r\n\r\n") + 2); }
    QByteArray body() const { return data.mid(data.indexOf("\r\n\r\n") + 4); }
    QByteArray header(const QByteArray& name) const {
        for (const QByteArray& line : head().split('\n'))
            if (line.toLower().startsWith(name.toLower() + ':'))
                return line.mid(name.size() + 1).trimmed();
        return {};
    }
    // A refusal ends with the connection; a stream once a picture is in.
    bool waitClosed() { return pumpUntil([&] { return closed; }); }
    bool waitStreaming() { return pumpUntil([&] { return body().contains("\xFF\xD9"); }); }
};

std::map<QByteArray, QByteArray> challengeParams(const QByteArray& challenge) {
    std::map<QByteArray, QByteArray> out;
    static const QRegularExpression pair(R"re((\w+)=(?:"([^"]*)"|([^\s,]*)))re");
    for (const auto& m : pair.globalMatch(QString::fromLatin1(challenge)))
        out[m.captured(1).toLatin1()] = (m.captured(2) + m.captured(3)).toLatin1();
    return out;
}

QByteArray md5(const QByteArray& text) { return QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex(); }

// response = MD5(HA1:nonce:nc:cnonce:qop:HA2), or MD5(HA1:nonce:HA2) without qop.
QByteArray digestResponse(const QByteArray& user, const QByteArray& realm, const QByteArray& password,
                          const QByteArray& uri, const QByteArray& nonce, const QByteArray& cnonce, bool qop) {
    const QByteArray ha1 = md5(user + ':' + realm + ':' + password), ha2 = md5("GET:" + uri);
    return qop ? md5(ha1 + ':' + nonce + ":00000001:" + cnonce + ":auth:" + ha2) : md5(ha1 + ':' + nonce + ':' + ha2);
}

QByteArray digestAuthorization(const QByteArray& challenge, const QByteArray& user, const QByteArray& password) {
    auto p = challengeParams(challenge);
    const bool qop = p.count("qop") > 0;
    const QByteArray response = digestResponse(user, p["realm"], password, "/stream", p["nonce"], "a1b2c3d4", qop);
    return "Digest username=\"" + user + "\", realm=\"" + p["realm"] + "\", nonce=\"" + p["nonce"] +
           "\", uri=\"/stream\", " + (qop ? "qop=auth, nc=00000001, cnonce=\"a1b2c3d4\", " : "") + "response=\"" +
           response + "\", opaque=\"" + p["opaque"] + "\", algorithm=MD5";
}

}  // namespace

TEST(CameraSimulator, HeaderThenJfifPicturesAtTheRequestedSize) {
    CameraSimulator sim(fastOptions());
    ASSERT_TRUE(sim.start());
    const struct { int v; int w; int h; } cases[] = {{0, 160, 120}, {1, 320, 240}, {2, 640, 480}, {7, 320, 240}};
    for (const auto& c : cases) {
        Client client(sim.streamPort(), "pxwqe", c.v);
        ASSERT_TRUE(client.waitPictures(2)) << c.v;
        EXPECT_EQ(kReplyHeader.size(), 112);
        EXPECT_EQ(client.all().left(112), kReplyHeader);
        EXPECT_EQ(client.chunks.first(), kReplyHeader);  // the header is its own write
        for (const QByteArray& p : client.pictures()) {
            EXPECT_TRUE(p.startsWith(kMarker));
            const QImage img = QImage::fromData(p, "JPEG");
            ASSERT_FALSE(img.isNull());
            EXPECT_EQ(img.size(), QSize(c.w, c.h)) << c.v;
        }
    }
    EXPECT_EQ(sim.lastRequestLine(), "GET /Webcam.jpg?Pass=pxwqe&V=7&F=2&Q=2&B=2&U=0 HTTP/1.0");
}

TEST(CameraSimulator, PicturesBeginAReadWithTheBoundaryAtTheirEnd) {
    CameraSimulator sim(fastOptions());
    ASSERT_TRUE(sim.start());
    Client client(sim.streamPort(), "pxwqe", 0);
    ASSERT_TRUE(client.waitPictures(4));
    int starts = 0;
    for (qsizetype i = 1; i < client.chunks.size(); ++i)
        starts += client.chunks[i].startsWith(kMarker) ? 1 : 0;
    // A boundary written on its own ahead of a picture would begin the reads instead.
    EXPECT_GE(starts, 2);
    for (qsizetype i = 1; i < client.chunks.size(); ++i)
        EXPECT_FALSE(client.chunks[i].startsWith(kBoundaryLine)) << i;
}

TEST(CameraSimulator, WrongPasswordIsRefusedAndClosed) {
    SimulatorOptions o = fastOptions();
    o.password = "a&V=b c=\xC3\xA9";
    CameraSimulator sim(o);
    ASSERT_TRUE(sim.start());
    {
        Client wrong(sim.streamPort(), "pxwqe");
        ASSERT_TRUE(pumpUntil([&] { return wrong.closed; }));
        EXPECT_EQ(wrong.all(), kUnauthorizedReply);
        EXPECT_NE(wrong.all().left(112), kReplyHeader);
    }
    Client right(sim.streamPort(), o.password);  // sent unescaped, as the recorder does
    ASSERT_TRUE(right.waitPictures(1));
    EXPECT_EQ(right.all().left(112), kReplyHeader);
    EXPECT_EQ(sim.connectionCount(), 2);
}

TEST(CameraSimulator, RequestLineParsing) {
    const auto r = parseRequestLine("GET /Webcam.jpg?Pass=x&V=1&y&V=2&F=1&Q=3&B=2&U=1 HTTP/1.0");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->password, "x&V=1&y");
    EXPECT_EQ(r->v, 2);
    EXPECT_EQ(r->f, 1);
    EXPECT_EQ(r->q, 3);
    EXPECT_EQ(r->b, 2);
    EXPECT_EQ(r->u, 1);
    EXPECT_TRUE(parseRequestLine("GET /Webcam.jpg?Pass=&V=0&F=1&Q=1&B=1&U=0 HTTP/1.0"));
    EXPECT_FALSE(parseRequestLine("GET /Webcam.jpg?Pass=x&V=0&F=1&Q=1&B=1 HTTP/1.0"));
    EXPECT_FALSE(parseRequestLine("GET /Webcam.jpg?Pass=x&V=a&F=1&Q=1&B=1&U=0 HTTP/1.0"));
    EXPECT_FALSE(parseRequestLine("GET / HTTP/1.0"));
}

TEST(CameraSimulator, StillSceneRepeatsMovingSceneChangesMotionBurstFlashes) {
    SimulatorOptions o = fastOptions();
    o.still = true;
    CameraSimulator sim(o);
    ASSERT_TRUE(sim.start());
    Client client(sim.streamPort(), "pxwqe", 1);
    ASSERT_TRUE(client.waitPictures(4));
    const auto still = client.pictures();
    for (const QByteArray& p : still)
        EXPECT_EQ(p, still.first());

    sim.setStill(false);
    const auto before = client.pictures().size();
    ASSERT_TRUE(client.waitPictures(static_cast<int>(before) + 3));
    const auto moving = client.pictures().mid(before);
    EXPECT_NE(moving[0], moving[1]);

    sim.setStill(true);
    sim.triggerMotion(4);
    const auto atBurst = client.pictures().size();
    ASSERT_TRUE(client.waitPictures(static_cast<int>(atBurst) + 6));
    // Consecutive burst pictures differ strongly at every sample point.
    const auto burst = client.pictures().mid(atBurst, 4);
    int strongChanges = 0;
    for (qsizetype i = 1; i < burst.size(); ++i) {
        const QImage a = QImage::fromData(burst[i - 1], "JPEG");
        const QImage b = QImage::fromData(burst[i], "JPEG");
        bool allPoints = true;
        for (int x = 20; x < 320; x += 40)
            for (int y = 15; y < 240; y += 30)
                allPoints = allPoints && std::abs(qGray(a.pixel(x, y)) - qGray(b.pixel(x, y))) > 200;
        strongChanges += allPoints ? 1 : 0;
    }
    EXPECT_GE(strongChanges, 2);
    // Then the still scene again, unchanged.
    EXPECT_EQ(client.pictures().last(), still.first());
}

TEST(CameraSimulator, StallResumeAndClose) {
    CameraSimulator sim(fastOptions());
    ASSERT_TRUE(sim.start());
    Client client(sim.streamPort(), "pxwqe", 0);
    ASSERT_TRUE(client.waitPictures(1));
    sim.stall();
    QCoreApplication::processEvents();
    const auto stalledAt = client.all().size();
    pumpUntil([] { return false; }, 150);
    EXPECT_EQ(client.all().size(), stalledAt);
    EXPECT_FALSE(client.closed);
    sim.resume();
    ASSERT_TRUE(client.waitPictures(static_cast<int>(client.pictures().size()) + 1));
    sim.closeConnections();
    EXPECT_TRUE(pumpUntil([&] { return client.closed; }));
    EXPECT_EQ(sim.streamingClients(), 0);
}

TEST(CameraSimulator, HeaderFaults) {
    CameraSimulator sim(fastOptions());
    ASSERT_TRUE(sim.start());
    sim.setHeaderMode(HeaderMode::Split);
    {
        Client client(sim.streamPort());
        ASSERT_TRUE(client.waitPictures(1));
        EXPECT_LT(client.chunks.first().size(), 112);
        EXPECT_EQ(client.all().left(112), kReplyHeader);
    }
    sim.setHeaderMode(HeaderMode::Different);
    {
        Client client(sim.streamPort());
        ASSERT_TRUE(pumpUntil([&] { return client.all().size() >= 112; }));
        EXPECT_NE(client.all().left(112), kReplyHeader);
    }
}

TEST(CameraSimulator, GarbagePrefixPutsPictureStartsInsideAWrite) {
    QTemporaryDir dir;
    SimulatorOptions o = fastOptions();
    o.keepSentFile = dir.filePath("sent.bin");
    CameraSimulator sim(o);
    ASSERT_TRUE(sim.start());
    sim.setGarbagePrefix(true);
    Client client(sim.streamPort(), "pxwqe", 0);
    ASSERT_TRUE(client.waitPictures(3));
    for (qsizetype i = 1; i < client.chunks.size(); ++i)
        EXPECT_FALSE(client.chunks[i].startsWith(kMarker)) << i;
    EXPECT_GT(client.all().indexOf(kMarker), 112);

    // The keep-sent file, read while the simulator runs, holds every picture
    // received, prefix and boundary line included, in order.
    QFile file(o.keepSentFile);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QList<QByteArray> records;
    for (qsizetype at = 0; at + 4 <= bytes.size();) {
        const qsizetype size = qFromLittleEndian<quint32>(bytes.constData() + at);
        records.append(bytes.mid(at + 4, size));
        at += 4 + size;
    }
    const QList<QByteArray> received = client.pictures();
    ASSERT_GE(records.size(), received.size());
    for (qsizetype i = 0; i < received.size(); ++i) {
        EXPECT_EQ(records[i], received[i] + kBoundaryLine) << i;
        EXPECT_TRUE(sim.wasSent(records[i])) << i;
    }
}

TEST(CameraSimulator, StartPageCarriesTheName) {
    SimulatorOptions o = fastOptions();
    o.name = "Back Yard";
    CameraSimulator sim(o);
    ASSERT_TRUE(sim.start());
    ASSERT_NE(sim.httpPort(), 0);
    QTcpSocket s;
    QByteArray reply;
    bool closed = false;
    QObject::connect(&s, &QTcpSocket::readyRead, [&] { reply += s.readAll(); });
    QObject::connect(&s, &QTcpSocket::disconnected, [&] { closed = true; });
    s.connectToHost(QHostAddress::LocalHost, sim.httpPort());
    s.write("GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    ASSERT_TRUE(pumpUntil([&] { return closed; }));
    const QByteArray head = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n";
    ASSERT_TRUE(reply.startsWith(head)) << reply.constData();
    EXPECT_TRUE(reply.mid(head.size()).startsWith("<html><head><title>Back Yard</title>"));
}

TEST(CameraSimulator, RefusesNonLoopbackAddresses) {
    SimulatorOptions o;
    o.bindAddress = QHostAddress("10.1.2.3");
    CameraSimulator sim(o);
    QString why;
    EXPECT_FALSE(sim.start(&why));
    EXPECT_TRUE(why.contains("loopback"));
    EXPECT_EQ(sim.streamPort(), 0);
}

TEST(CameraSimulator, MjpegStreamAsksForDigestOrBasicCredentials) {
    // The formula as used below, on RFC 7616's MD5 example.
    EXPECT_EQ(digestResponse("Mufasa", "http-auth@example.org", "Circle of Life", "/dir/index.html",
                             "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v",
                             "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ", true),
              "8ca523f5e9506fed4657c9700eebdbec");

    SimulatorOptions o = fastOptions();
    o.mjpegPath = "/stream";
    o.auth = MjpegAuth::Digest;
    o.user = "viewer";
    o.password = "se:cr\"et";
    o.pictureSize = QSize(160, 120);
    CameraSimulator sim(o);
    ASSERT_TRUE(sim.start());
    const quint16 port = sim.streamPort();

    HttpClient other(port, "/Webcam.jpg");
    ASSERT_TRUE(other.waitClosed());
    EXPECT_TRUE(other.data.startsWith("HTTP/1.0 404 Not Found\r\n")) << other.data.constData();
    EXPECT_EQ(other.header("Content-Type"), "text/html");
    EXPECT_TRUE(other.body().startsWith("<html>"));

    // No credentials, then a wrong password: 401 with a challenge, a new nonce each time.
    HttpClient bare(port, "/stream");
    ASSERT_TRUE(bare.waitClosed());
    EXPECT_TRUE(bare.data.startsWith("HTTP/1.0 401 Unauthorized\r\n")) << bare.data.constData();
    const QByteArray challenge = bare.header("WWW-Authenticate");
    EXPECT_TRUE(challenge.startsWith("Digest ")) << challenge.constData();
    auto params = challengeParams(challenge);
    EXPECT_EQ(params["qop"], "auth");
    EXPECT_EQ(params["realm"], kAuthRealm);
    ASSERT_FALSE(params["nonce"].isEmpty());
    HttpClient wrong(port, "/stream", digestAuthorization(challenge, "viewer", "secret"));
    ASSERT_TRUE(wrong.waitClosed());
    EXPECT_TRUE(wrong.data.startsWith("HTTP/1.0 401 Unauthorized\r\n"));
    EXPECT_NE(challengeParams(wrong.header("WWW-Authenticate"))["nonce"], params["nonce"]);

    auto expectStream = [&](const QByteArray& authorization) {
        HttpClient right(port, "/stream", authorization);
        ASSERT_TRUE(right.waitStreaming()) << right.data.left(300).constData();
        EXPECT_TRUE(right.data.startsWith("HTTP/1.0 200 OK\r\n"));
        EXPECT_TRUE(right.header("Content-Type").startsWith("multipart/x-mixed-replace; boundary="));
        EXPECT_FALSE(right.closed);
    };
    expectStream(digestAuthorization(challenge, "viewer", o.password));

    sim.setMjpegAuth(MjpegAuth::Digest, false);
    HttpClient noQop(port, "/stream");
    ASSERT_TRUE(noQop.waitClosed());
    EXPECT_EQ(challengeParams(noQop.header("WWW-Authenticate")).count("qop"), 0u);
    expectStream(digestAuthorization(noQop.header("WWW-Authenticate"), "viewer", o.password));

    sim.setMjpegAuth(MjpegAuth::Basic);
    HttpClient basic(port, "/stream", "Basic " + QByteArray("viewer:secret").toBase64());
    ASSERT_TRUE(basic.waitClosed());
    EXPECT_TRUE(basic.data.startsWith("HTTP/1.0 401 Unauthorized\r\n"));
    EXPECT_TRUE(basic.header("WWW-Authenticate").startsWith("Basic realm=\"" + kAuthRealm + '"'));
    expectStream("Basic " + ("viewer:" + o.password).toBase64());
}

TEST(CameraSimulator, MjpegPartsCarryTheSentPicturesInEveryFraming) {
    SimulatorOptions o = fastOptions();
    o.mjpegPath = "/stream";
    o.pictureSize = QSize(176, 144);
    CameraSimulator sim(o);
    ASSERT_TRUE(sim.start());
    sim.setKeepSent(true);

    MjpegFraming plain;
    MjpegFraming odd;  // quoted, dashed, no CRLF, no first delimiter, no lengths, chunked
    odd.boundary = "odd:frame";
    odd.quoted = odd.dashedDeclaration = odd.chunked = true;
    odd.crlfBeforeDelimiter = odd.firstDelimiter = odd.contentLength = false;
    odd.emptyPartEvery = 2;
    MjpegFraming chunked11;
    chunked11.quoted = chunked11.chunked = chunked11.http11 = true;
    chunked11.emptyPartEvery = 3;
    const struct {
        MjpegFraming framing;
        QByteArray declaration;
        JpegFormat format;
        WriteMode writes;
    } cases[] = {{plain, "ipcamsimframe", JpegFormat::Jfif, WriteMode::Whole},
                 {odd, "\"--odd:frame\"", JpegFormat::Exif, WriteMode::Split},
                 {chunked11, "\"ipcamsimframe\"", JpegFormat::Jfif, WriteMode::Joined}};
    for (const auto& c : cases) {
        const MjpegFraming& f = c.framing;
        SCOPED_TRACE(c.declaration.constData());
        sim.setMjpegFraming(f);
        sim.setJpegFormat(c.format);
        sim.setWriteMode(c.writes);
        HttpClient client(sim.streamPort(), "/stream?x=1");

        // The body, chunks undone, cut at the delimiters; the last part may be unfinished.
        QList<QByteArray> jpegs;
        int emptyParts = 0;
        auto parse = [&] {
            jpegs.clear();
            emptyParts = 0;
            QByteArray body = client.body(), raw;
            if (f.chunked) {
                std::swap(body, raw);
                for (qsizetype at = 0, eol; (eol = raw.indexOf("\r\n", at)) > at;) {
                    const qsizetype size = raw.mid(at, eol - at).toLongLong(nullptr, 16);
                    if (eol + 2 + size + 2 > raw.size())
                        break;
                    body += raw.mid(eol + 2, size);
                    at = eol + 2 + size + 2;
                }
            }
            QByteArray declared = client.header("Content-Type").mid(QByteArray("multipart/x-mixed-replace; boundary=").size());
            if (declared.startsWith('"') && declared.endsWith('"'))
                declared = declared.mid(1, declared.size() - 2);
            const QByteArray dashes = f.dashedDeclaration ? "" : "--";
            if (f.firstDelimiter && !body.startsWith(dashes + declared + "\r\n"))
                return false;
            if (f.firstDelimiter)
                body.remove(0, dashes.size() + declared.size() + 2);
            QList<QByteArray> parts;
            const QByteArray delimiter = (f.crlfBeforeDelimiter ? "\r\n" : "") + dashes + declared + "\r\n";
            for (qsizetype at = 0, next; (next = body.indexOf(delimiter, at)) >= 0; at = next + delimiter.size())
                parts.append(body.mid(at, next - at));
            for (const QByteArray& part : parts) {
                if (part.isEmpty()) {
                    ++emptyParts;
                    continue;
                }
                const qsizetype blank = part.indexOf("\r\n\r\n");
                const QByteArray jpeg = part.mid(blank + 4);
                const QByteArray headers = part.left(blank + 2);
                EXPECT_TRUE(headers.startsWith("Content-Type: image/jpeg\r\n"));
                EXPECT_EQ(headers.contains("Content-Length: " + QByteArray::number(jpeg.size()) + "\r\n"),
                          f.contentLength);
                jpegs.append(jpeg);
            }
            return jpegs.size() >= 4;
        };
        ASSERT_TRUE(pumpUntil(parse)) << client.data.left(300).constData();
        EXPECT_TRUE(client.data.startsWith(f.http11 ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.0 200 OK\r\n"));
        EXPECT_EQ(client.header("Transfer-Encoding"), f.chunked ? "chunked" : "");
        EXPECT_EQ(client.header("Content-Type"), "multipart/x-mixed-replace; boundary=" + c.declaration);
        EXPECT_EQ(emptyParts > 0, f.emptyPartEvery > 0);
        for (const QByteArray& jpeg : jpegs) {
            EXPECT_TRUE(sim.wasSent(jpeg));
            EXPECT_TRUE(jpeg.startsWith(c.format == JpegFormat::Exif ? QByteArray("\xFF\xD8\xFF\xE1\0\x78" "Exif\0\0", 12)
                                                                      : QByteArray("\xFF\xD8\xFF\xE0", 4)));
            EXPECT_TRUE(jpeg.endsWith("\xFF\xD9"));
        }
        EXPECT_EQ(QImage::fromData(jpegs.first(), "JPEG").size(), QSize(176, 144));
    }
}

// The soak run's controls: marked pictures, spoilt ones, noise, a cut in
// the middle of a picture and an outage.
TEST(CameraSimulator, SoakFaultsMarkSpoilNoiseCutAndRefuse) {
    SimulatorOptions o = fastOptions();
    o.markPictures = true;
    CameraSimulator sim(o);
    ASSERT_TRUE(sim.start());
    const quint16 port = sim.streamPort();
    Client client(port);
    ASSERT_TRUE(client.waitPictures(2));
    const QRegularExpression mark("ipcam-sim serial=(\\d+) conn=1 ms=\\d+( fault=\\w+)?");
    auto markOf = [&](const QByteArray& picture) { return mark.match(QString::fromLatin1(picture.left(300))); };
    const auto first = markOf(client.pictures()[0]), second = markOf(client.pictures()[1]);
    ASSERT_TRUE(first.hasMatch() && second.hasMatch());
    EXPECT_EQ(second.captured(1).toInt(), first.captured(1).toInt() + 1);
    EXPECT_TRUE(client.pictures()[0].startsWith(kMarker) && client.pictures()[0].endsWith("\xFF\xD9"));

    for (const auto& [fault, name] : {std::pair{PictureFault::Corrupt, QString(" fault=corrupt")},
                                      std::pair{PictureFault::Truncated, QString(" fault=truncated")}}) {
        const int n = static_cast<int>(client.pictures().size());
        sim.spoilNextPicture(fault);
        ASSERT_TRUE(client.waitPictures(n + 2));
        QByteArray spoilt;
        for (const QByteArray& p : client.pictures().mid(n))
            if (markOf(p).captured(2) == name) spoilt = p;
        ASSERT_FALSE(spoilt.isEmpty()) << name.toStdString();
        EXPECT_EQ(spoilt.endsWith("\xFF\xD9"), fault == PictureFault::Corrupt);
    }

    const qsizetype before = client.all().size();
    sim.sendNoise(100000);
    ASSERT_TRUE(pumpUntil([&] { return client.all().size() > before + 100000; }));

    sim.spoilNextPicture(PictureFault::Cut);
    ASSERT_TRUE(pumpUntil([&] { return client.closed; }));
    EXPECT_FALSE(client.all().endsWith(kBoundaryLine));

    sim.setRefusing(true);
    QTcpSocket refused;
    refused.connectToHost(QHostAddress::LocalHost, port);
    EXPECT_TRUE(pumpUntil([&] { return refused.error() == QAbstractSocket::ConnectionRefusedError; }));
    sim.setRefusing(false);
    Client again(port);
    ASSERT_TRUE(again.waitPictures(1));
    EXPECT_TRUE(QString::fromLatin1(again.pictures()[0].left(300)).contains(" conn=2 "));
}

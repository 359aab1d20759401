// The camera simulator as a client sees it on loopback.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
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

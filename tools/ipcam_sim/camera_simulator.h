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
#include <QString>
#include <QTimer>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>

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
};

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
    // Remembers the last few hundred pictures sent (with their boundary
    // lines), for tests that compare what the client kept.
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
    void tick();
    void drainSplitWrites();
    QByteArray pictureFor(int v);
    void appendToKeepSentFile(const QByteArray& picture);

    SimulatorOptions options_;
    QTcpServer* streamServer_ = nullptr;
    QTcpServer* httpServer_ = nullptr;
    QTimer frameTimer_;
    std::map<QTcpSocket*, std::unique_ptr<Client>> clients_;

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

    int connections_ = 0;
    uint64_t frameNumber_ = 0;
    uint64_t picturesSent_ = 0;
    QByteArray lastRequest_;
    // Pictures of the current tick by V value, so several clients share one.
    std::map<int, QByteArray> tickPictures_;
    std::map<int, QByteArray> stillPictures_;
};

}  // namespace ipcam::sim

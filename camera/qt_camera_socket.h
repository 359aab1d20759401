#pragma once
// The camera socket on QTcpSocket: non-blocking, event driven. Its
// connected / readyRead / error signals become CameraSocketEvents calls on
// the thread that owns it (the user-interface thread).

#include <QObject>
#include <QTcpSocket>

#include "camera/camera_socket.h"

namespace ipcam {

class QtCameraSocket final : public QObject, public CameraSocket {
    Q_OBJECT
public:
    explicit QtCameraSocket(QObject* parent = nullptr);
    ~QtCameraSocket() override;

    void setEvents(CameraSocketEvents* events) override { events_ = events; }
    void open(const std::string& host, uint16_t port) override;
    void close() override;
    bool isOpen() const override;
    void send(const std::string& bytes) override;
    std::string errorText() const override { return errorText_.empty() ? "socket error" : errorText_; }

    // The most one read hands on: the socket stops reading from the system
    // (and TCP slows the camera) until it was taken. A read buffer grown
    // past kKeptReadBuffer is not kept for the smaller reads after it.
    static constexpr qint64 kReadLimit = 1024 * 1024;
    static constexpr size_t kKeptReadBuffer = 256 * 1024;

private:
    void onConnected();
    void onReadyRead();
    void onError(QAbstractSocket::SocketError error);

    QTcpSocket socket_;
    CameraSocketEvents* events_ = nullptr;
    // Events of a connection we have already closed are not delivered.
    bool active_ = false;
    std::vector<uint8_t> chunk_;
    std::string errorText_;
};

}  // namespace ipcam

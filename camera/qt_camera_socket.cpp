#include "camera/qt_camera_socket.h"

namespace ipcam {

QtCameraSocket::QtCameraSocket(QObject* parent) : QObject(parent) {
    connect(&socket_, &QTcpSocket::connected, this, &QtCameraSocket::onConnected);
    connect(&socket_, &QTcpSocket::readyRead, this, &QtCameraSocket::onReadyRead);
    connect(&socket_, &QTcpSocket::errorOccurred, this, &QtCameraSocket::onError);
    socket_.setReadBufferSize(kReadLimit);
}

QtCameraSocket::~QtCameraSocket() {
    events_ = nullptr;
    socket_.abort();
}

void QtCameraSocket::open(const std::string& host, uint16_t port) {
    socket_.abort();
    active_ = true;
    errorText_.clear();
    socket_.connectToHost(QString::fromStdString(host), port);
}

void QtCameraSocket::close() {
    active_ = false;
    socket_.abort();
}

bool QtCameraSocket::isOpen() const {
    return socket_.state() != QAbstractSocket::UnconnectedState;
}

void QtCameraSocket::send(const std::string& bytes) {
    socket_.write(bytes.data(), static_cast<qint64>(bytes.size()));
}

void QtCameraSocket::onConnected() {
    if (active_ && events_) {
        events_->onSocketConnected();
    }
}

void QtCameraSocket::onReadyRead() {
    // One read event: everything that has arrived (at most kReadLimit), as one chunk.
    const qint64 available = socket_.bytesAvailable();
    if (available <= 0) {
        return;
    }
    if (chunk_.capacity() > kKeptReadBuffer && static_cast<size_t>(available) <= kKeptReadBuffer) {
        std::vector<uint8_t>().swap(chunk_);
    }
    chunk_.resize(static_cast<size_t>(available));
    const qint64 n = socket_.read(reinterpret_cast<char*>(chunk_.data()), available);
    chunk_.resize(n > 0 ? static_cast<size_t>(n) : 0);
    if (active_ && events_ && !chunk_.empty()) {
        events_->onSocketRead(chunk_);
    }
}

void QtCameraSocket::onError(QAbstractSocket::SocketError) {
    if (!active_) {
        return;
    }
    errorText_ = socket_.errorString().toStdString();
    // Any kind of error, a closed connection included, ends this connection.
    active_ = false;
    if (events_) {
        events_->onSocketError();
    }
}

}  // namespace ipcam

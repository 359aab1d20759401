#pragma once
// The kinds of camera (see camera_source.h): a byte-stream camera over the
// camera socket, the legacy camera and a standard MJPEG camera being two,
// and an RTSP camera on its reader thread.

#include <QElapsedTimer>
#include <QTimer>

#include <chrono>
#include <memory>
#include <string>

#include "base/camera_settings.h"
#include "camera/camera_socket.h"
#include "camera/camera_source.h"
#include "camera/mjpeg_http.h"
#include "camera/rtsp_source.h"
#include "camera/start_page.h"
#include "camera/stream_protocol.h"

namespace ipcam {

// A camera whose pictures come as bytes over the camera socket, framed by
// its CameraStream: the request is sent once TCP is up, the answer checked,
// then pictures cut out of the stream whatever the reads' sizes.
class ByteStreamSource : public CameraSource, private CameraSocketEvents {
public:
    ByteStreamSource(CameraSocket& socket, CameraSourceListener& listener);
    ~ByteStreamSource() override;

    void start() override;
    void stop() override;
    void end() override;
    bool running() const override { return running_; }
    size_t releaseSpare(size_t keep) override { return stream().releaseSpare(keep); }

protected:
    virtual CameraStream& stream() = 0;
    virtual uint16_t port() const = 0;
    // A read was taken and the connection goes on.
    virtual void afterRead() {}
    // Sends stream().request() again on the open connection.
    void askAgain() { socket_.send(stream().request()); }

private:
    void onSocketConnected() override;
    void onSocketRead(const std::vector<uint8_t>& chunk) override;
    void onSocketError() override;
    void report(SourceStop code, const std::string& detail, const std::string& lost = {},
                const std::string& failed = {});

    CameraSocket& socket_;
    CameraSourceListener& listener_;
    CameraStream::PictureFn picture_;
    bool running_ = false;
    bool connected_ = false;  // this connection got as far as TCP
    bool accepted_ = false;   // its answer was accepted: pictures come
};

// The legacy camera: the fixed request, the 112-byte reply header, pictures
// cut at their starts. Pinged before each attempt; its start page names it.
class LegacyCameraSource final : public ByteStreamSource {
public:
    LegacyCameraSource(const CameraSettings& settings, CameraSocket& socket, StartPageFetcher& startPage,
                       CameraSourceListener& listener);

    bool pinged() const override { return true; }
    std::optional<std::string> probe(std::string* why) override;
    std::string host() const override { return settings_.hostAddress; }
    std::string endpoint() const override;
    bool recordsUndecodable() const override { return false; }
    // The picture being collected.
    const std::vector<uint8_t>& collected() const { return stream_.collected(); }

protected:
    CameraStream& stream() override { return stream_; }
    uint16_t port() const override { return settings_.hostPort; }

private:
    const CameraSettings& settings_;
    StartPageFetcher& startPage_;
    LegacyCameraStream stream_;
};

// A standard camera sending MJPEG over HTTP (multipart/x-mixed-replace).
// A Basic or Digest challenge is answered on a new connection, and what it
// taught is kept for the next connections to the same address.
class MjpegHttpSource final : public ByteStreamSource {
public:
    MjpegHttpSource(CameraUrl url, CameraSocket& socket, CameraSourceListener& listener);

    std::optional<std::string> probe(std::string*) override { return url_.host; }
    std::string host() const override { return url_.host; }
    std::string endpoint() const override { return redactedUrl(url_); }
    // The camera answered one picture where a stream was asked for.
    bool answeredOnePicture() const { return stream_.answeredOnePicture(); }
    const MjpegHttpStream& httpStream() const { return stream_; }

protected:
    CameraStream& stream() override { return stream_; }
    uint16_t port() const override { return url_.port; }

private:
    CameraUrl url_;
    MjpegHttpStream stream_;
};

// A camera that answers each GET with one JPEG picture (many cheap and
// older ones offer only this): asked again on the same kept-alive
// connection once its answer is in, at most Camera_Snapshot_Rate times a
// second. Sign-in, size bounds and time-outs are the MJPEG stream's; a
// camera that answers a stream after all is taken as one.
class SnapshotHttpSource final : public ByteStreamSource {
public:
    SnapshotHttpSource(CameraUrl url, const CameraSettings& settings, CameraSocket& socket,
                       CameraSourceListener& listener);

    // Whether the address names one picture: the last part of its path ends
    // in .jpg or .jpeg or names a snapshot (snapshot.cgi, Snapshot, ...).
    static bool namesOnePicture(const CameraUrl& url);

    std::optional<std::string> probe(std::string*) override { return url_.host; }
    std::string host() const override { return url_.host; }
    std::string endpoint() const override { return redactedUrl(url_); }
    void start() override;
    void stop() override;
    // Signs in as `other` (the same camera asked for a stream) learnt to.
    void takeSignIn(const MjpegHttpStream& other) { stream_.takeSignIn(other); }

protected:
    CameraStream& stream() override { return stream_; }
    uint16_t port() const override { return url_.port; }
    void afterRead() override;

private:
    const CameraSettings& settings_;
    CameraUrl url_;
    MjpegHttpStream stream_;
    QTimer next_;          // the next request's time
    QElapsedTimer asked_;  // since the last request
};

// An http:// camera: a snapshot camera when its address names one picture,
// else taken as an MJPEG stream until it answers with one picture instead;
// that picture is handed on, and from the next turn of the event loop the
// camera is polled as a snapshot camera, for as long as this address is in
// use (said once in the log).
class HttpCameraSource final : public CameraSource, private CameraSourceListener {
public:
    HttpCameraSource(CameraUrl url, const SourceDeps& deps, CameraSourceListener& listener);
    ~HttpCameraSource() override;

    std::optional<std::string> probe(std::string* why) override { return inner_->probe(why); }
    std::string host() const override { return inner_->host(); }
    std::string endpoint() const override { return inner_->endpoint(); }
    void start() override;
    void stop() override;
    void end() override;
    bool running() const override { return restart_ || inner_->running(); }
    size_t releaseSpare(size_t keep) override { return inner_->releaseSpare(keep); }

private:
    void sourceConnected(const SourceConnected& c) override { listener_.sourceConnected(c); }
    void sourcePicture(std::vector<uint8_t>& jpeg) override { listener_.sourcePicture(jpeg); }
    void sourcePacket(MediaPacket& p, QImage& preview, QSize shown) override {
        listener_.sourcePacket(p, preview, shown);
    }
    void sourceRead(const CameraStream::Drops& drops) override { listener_.sourceRead(drops); }
    void sourceStopped(const SourceStopped& stopped) override;

    CameraUrl url_;
    const CameraSettings& settings_;
    CameraSocket& socket_;
    std::function<void(std::function<void()>)> post_;
    CameraSourceListener& listener_;
    std::unique_ptr<CameraSource> inner_;
    MjpegHttpSource* stream_ = nullptr;  // inner_ while it is taken as a stream
    bool restart_ = false;               // polling begins at the next turn
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// An RTSP camera through RtspSource: its events are taken on this thread
// once the reader's notifier has posted the work.
class RtspCameraSource final : public CameraSource {
public:
    // A silent camera counts as gone after this long.
    static constexpr std::chrono::milliseconds kSilence{10000};

    RtspCameraSource(CameraUrl url, const SourceDeps& deps, CameraSourceListener& listener);
    ~RtspCameraSource() override;

    std::optional<std::string> probe(std::string*) override { return url_.host; }
    std::string host() const override { return url_.host; }
    std::string endpoint() const override { return redactedUrl(url_); }
    void start() override;
    void stop() override;
    bool running() const override { return running_; }
    void setDecoding(SourceDecoding decoding) override;

private:
    void poll();

    CameraUrl url_;
    std::function<void(std::function<void()>)> post_;
    std::function<QSize()> previewArea_;
    std::function<SourceDecoding()> decoding_;
    std::function<std::function<QImage(QSize)>()> images_;
    CameraSourceListener& listener_;
    std::unique_ptr<RtspSource> reader_;  // made when first needed; it remembers the transport that worked
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    bool running_ = false;
    bool connected_ = false;
};

}  // namespace ipcam

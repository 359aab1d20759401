#pragma once
// One kind of camera behind one seam. A source owns the transport and the
// sign-in of its kind: it is asked for the camera's name before a
// connection (probe), started and stopped, and it tells its listener, on
// the thread that owns it, that the camera connected, each picture or
// packet that came, and that the connection ended and why. The link's
// timing, its state and what a loss means for the recording are the
// engine's, the same for every kind.
//
// makeCameraSource() picks the kind from the settings: no Camera_URL is the
// legacy camera, http:// a standard MJPEG camera (a snapshot camera when the
// address names one picture or the camera answers with one), rtsp:// an
// RTSP camera.
// A new kind is one class (camera_sources.h) and one line there.

#include <QImage>
#include <QSize>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/media_packet.h"
#include "camera/camera_stream.h"

namespace ipcam {

class CameraSocket;
class StartPageFetcher;
struct CameraSettings;

// What a coded camera's pictures are decoded for: the preview on show, a
// small picture motion detection reads, or nothing.
enum class SourceDecoding : uint8_t { Preview, Samples, Nothing };

// Why a connection ended.
enum class SourceStop : uint8_t {
    Refused,        // the camera refused the sign-in
    ConnectFailed,  // no connection came up (refused, unreachable)
    Broke,          // the connection was up and ended (closed, failed, went silent)
    NoAnswer,       // the camera did not answer, or stopped sending before its session was up
    NotAStream,     // the camera answered with something that is no picture stream
};

struct SourceStopped {
    SourceStop code = SourceStop::ConnectFailed;
    // What the camera or the connection said: one line, never a password
    // (empty from the legacy camera's refusal).
    std::string detail;
    // The log's account of a connection that ended (ConnectFailed, Broke,
    // NoAnswer): as a loss once its link had come up, else as a failure.
    std::string lost;
    std::string failed;
};

struct SourceConnected {
    // The camera accepted the session (an RTSP camera once it plays): the
    // link is up now. A byte-stream camera's answer comes with its pictures.
    bool accepted = false;
    std::shared_ptr<const MediaTracks> tracks;  // coded tracks, for an RTSP camera
    std::string transport;                      // one line for the log, or empty
};

class CameraSourceListener {
public:
    virtual ~CameraSourceListener() = default;
    // The connection is up (again, after a challenge answered on a new one).
    virtual void sourceConnected(const SourceConnected& connected) = 0;
    // A whole picture, as the camera sent it; the callee may take the bytes
    // (swap them out).
    virtual void sourcePicture(std::vector<uint8_t>& jpeg) = 0;
    // A coded packet, with the newest decoded preview picture for a video
    // packet when there is one (null otherwise); the callee may take both.
    // `shown` valid: the picture is a small one for motion detection that
    // stands for a preview of that size.
    virtual void sourcePacket(MediaPacket& packet, QImage& preview, QSize shown) = 0;
    // A byte-stream camera's read was handled: what its stream dropped.
    virtual void sourceRead(const CameraStream::Drops& drops) = 0;
    // The connection ended. After a refusal a byte-stream camera's
    // connection stays as it is until the camera hangs up (reported again).
    virtual void sourceStopped(const SourceStopped& stopped) = 0;
};

class CameraSource {
public:
    virtual ~CameraSource() = default;

    // Whether the camera's presence is learnt by ping before each attempt
    // (the legacy camera). Others are never pinged: many answer no ICMP.
    virtual bool pinged() const { return false; }
    // The camera's name when it is there, asked before the connection is
    // opened; nullopt when it is not there (`why` for the log).
    virtual std::optional<std::string> probe(std::string* why) = 0;
    // The host connected to, and "host:port" or the address for the log
    // (never with a password).
    virtual std::string host() const = 0;
    virtual std::string endpoint() const = 0;
    // A whole JPEG the preview cannot show is recorded all the same (else
    // only pictures that decode are).
    virtual bool recordsUndecodable() const { return true; }

    // Opens a new connection (a running one is dropped first).
    virtual void start() = 0;
    // Ends the connection: nothing more is reported for it.
    virtual void stop() = 0;
    // The connection is given up for silence: a picture already complete
    // is handed over first, then it stops.
    virtual void end() { stop(); }
    virtual bool running() const = 0;
    // What a coded camera's pictures are decoded for from now on.
    virtual void setDecoding(SourceDecoding /*decoding*/) {}
    // Gives back buffer room beyond `keep` bytes (see giveBackSpare).
    virtual size_t releaseSpare(size_t /*keep*/) { return 0; }
};

// What a source is made with.
struct SourceDeps {
    const CameraSettings& settings;  // in force; read at each start
    CameraSocket& socket;            // the byte-stream cameras' connection
    StartPageFetcher& startPage;     // the legacy camera's probe
    // Runs work from the event loop on this thread (from any thread).
    std::function<void(std::function<void()>)> post;
    // The area a decoded preview is to fill, asked at each start.
    std::function<QSize()> previewArea;
    // What pictures are decoded for, asked at each start (empty: the preview).
    std::function<SourceDecoding()> decoding;
    // Where decoded preview pictures are written, asked at each start
    // (empty: ordinary images). What it gives may be called on any thread.
    std::function<std::function<QImage(QSize)>()> images;
};

// The source for the settings' camera; null when Camera_URL cannot be used
// (`error` says why).
std::unique_ptr<CameraSource> makeCameraSource(const SourceDeps& deps, CameraSourceListener& listener,
                                               std::string* error);

}  // namespace ipcam

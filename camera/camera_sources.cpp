#include "camera/camera_sources.h"

#include "base/activity_log.h"

#include <algorithm>

namespace ipcam {

std::unique_ptr<CameraSource> makeCameraSource(const SourceDeps& deps, CameraSourceListener& listener,
                                               std::string* error) {
    if (deps.settings.cameraUrl.empty()) {
        return std::make_unique<LegacyCameraSource>(deps.settings, deps.socket, deps.startPage, listener);
    }
    auto url = parseCameraUrl(deps.settings.cameraUrl, error);
    if (!url) {
        return nullptr;
    }
    if (url->rtsp) return std::make_unique<RtspCameraSource>(std::move(*url), deps, listener);
    return std::make_unique<HttpCameraSource>(std::move(*url), deps, listener);
}

// ---------------------------------------------------------------- an http:// camera

// The URL and then what the camera answers pick the kind.
HttpCameraSource::HttpCameraSource(CameraUrl url, const SourceDeps& deps, CameraSourceListener& listener)
    : url_(std::move(url)), settings_(deps.settings), socket_(deps.socket), post_(deps.post), listener_(listener) {
    CameraSourceListener& self = *this;
    if (SnapshotHttpSource::namesOnePicture(url_)) {
        inner_ = std::make_unique<SnapshotHttpSource>(url_, settings_, socket_, self);
    } else {
        auto stream = std::make_unique<MjpegHttpSource>(url_, socket_, self);
        stream_ = stream.get();
        inner_ = std::move(stream);
    }
}

HttpCameraSource::~HttpCameraSource() { *alive_ = false; }

void HttpCameraSource::start() {
    restart_ = false;
    if (stream_ && stream_->answeredOnePicture()) {
        // Never from inside the old source's own handler: from the event
        // loop or a command.
        CameraSourceListener& self = *this;
        auto snapshot = std::make_unique<SnapshotHttpSource>(url_, settings_, socket_, self);
        snapshot->takeSignIn(stream_->httpStream());
        stream_ = nullptr;
        inner_ = std::move(snapshot);
    }
    inner_->start();
}

void HttpCameraSource::stop() {
    restart_ = false;
    inner_->stop();
}

void HttpCameraSource::end() {
    restart_ = false;
    inner_->end();
}

void HttpCameraSource::sourceStopped(const SourceStopped& stopped) {
    if (!stream_ || !stream_->answeredOnePicture() || !post_) {
        listener_.sourceStopped(stopped);
        return;
    }
    qCInfo(lcLink).noquote() << "Camera" << QString::fromStdString(endpoint())
                             << "answers one picture a request: it is polled as a snapshot camera";
    restart_ = true;
    post_([this, alive = std::weak_ptr<bool>(alive_)] {
        const auto a = alive.lock();
        if (a && *a && restart_) start();
    });
}

// ---------------------------------------------------------------- a byte stream

ByteStreamSource::ByteStreamSource(CameraSocket& socket, CameraSourceListener& listener)
    : socket_(socket), listener_(listener), picture_([this](std::vector<uint8_t>& p) { listener_.sourcePicture(p); }) {}

ByteStreamSource::~ByteStreamSource() {
    if (running_) socket_.close();
    socket_.setEvents(nullptr);
}

void ByteStreamSource::start() {
    socket_.setEvents(this);
    if (socket_.isOpen()) socket_.close();
    running_ = true;
    connected_ = accepted_ = false;
    socket_.open(host(), port());
}

void ByteStreamSource::stop() {
    socket_.close();
    running_ = connected_ = accepted_ = false;
}

void ByteStreamSource::end() {
    if (running_) stream().end(picture_);
    stop();
}

void ByteStreamSource::onSocketConnected() {
    if (!running_) return;
    // The camera has not answered yet: the link is up with its first picture.
    connected_ = true;
    accepted_ = false;
    listener_.sourceConnected(SourceConnected{});
    stream().reset();
    socket_.send(stream().request());
}

void ByteStreamSource::onSocketRead(const std::vector<uint8_t>& chunk) {
    if (!running_ || (accepted_ && chunk.empty())) {
        return;
    }
    const CameraStream::State state = stream().feed(chunk, picture_);
    listener_.sourceRead(stream().takeDrops());
    if (!running_) return;  // stopped by what a picture caused
    switch (state) {
        case CameraStream::State::Waiting:
            afterRead();
            return;
        case CameraStream::State::Streaming:
            accepted_ = true;
            afterRead();
            return;
        case CameraStream::State::Rejected:
            report(SourceStop::Refused, stream().errorText());
            return;
        case CameraStream::State::Challenged:
            // The camera wants credentials: asked again at once on a new
            // connection, with the answer to its challenge.
            qCInfo(lcLink).noquote() << "Camera" << QString::fromStdString(endpoint()) << "asked for credentials";
            start();
            return;
        case CameraStream::State::Failed: {
            const std::string text = stream().errorText();
            stop();
            report(SourceStop::NotAStream, text);
            return;
        }
    }
}

void ByteStreamSource::onSocketError() {
    if (!running_) return;
    stream().end(picture_);  // its last picture
    const std::string error = socket_.errorText();
    const bool wasConnected = connected_;
    stop();
    report(wasConnected ? SourceStop::Broke : SourceStop::ConnectFailed, error, error + " (" + endpoint() + ")",
           "Camera " + endpoint() +
               (wasConnected ? " closed the connection before sending a picture: " : " refuses connections: ") + error);
}

void ByteStreamSource::report(SourceStop code, const std::string& detail, const std::string& lost,
                              const std::string& failed) {
    listener_.sourceStopped(SourceStopped{code, detail, lost, failed});
}

// ---------------------------------------------------------------- the legacy camera

LegacyCameraSource::LegacyCameraSource(const CameraSettings& settings, CameraSocket& socket,
                                       StartPageFetcher& startPage, CameraSourceListener& listener)
    : ByteStreamSource(socket, listener), settings_(settings), startPage_(startPage), stream_(settings) {}

std::optional<std::string> LegacyCameraSource::probe(std::string* why) {
    std::optional<std::string> page;
    if (!settings_.hostAddress.empty()) {
        page = startPage_.fetch(settings_.hostAddress);
    }
    if (!page) {
        if (why) *why = "no answer from the start page of " + settings_.hostAddress;
        return std::nullopt;
    }
    return extractCameraTitle(*page);
}

std::string LegacyCameraSource::endpoint() const {
    return settings_.hostAddress + ":" + std::to_string(settings_.hostPort);
}

// ---------------------------------------------------------------- a standard MJPEG camera

MjpegHttpSource::MjpegHttpSource(CameraUrl url, CameraSocket& socket, CameraSourceListener& listener)
    : ByteStreamSource(socket, listener), url_(url), stream_(std::move(url)) {}

// ---------------------------------------------------------------- a camera of single pictures

SnapshotHttpSource::SnapshotHttpSource(CameraUrl url, const CameraSettings& settings, CameraSocket& socket,
                                       CameraSourceListener& listener)
    : ByteStreamSource(socket, listener), settings_(settings), url_(url), stream_(std::move(url)) {
    stream_.askOnePictureAtATime(true);
    next_.setSingleShot(true);
    next_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&next_, &QTimer::timeout, [this] {
        if (!running()) return;
        asked_.start();
        askAgain();
    });
}

bool SnapshotHttpSource::namesOnePicture(const CameraUrl& url) {
    std::string path = url.path.substr(0, url.path.find('?'));
    path = path.substr(path.rfind('/') + 1);
    for (char& c : path) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return path.ends_with(".jpg") || path.ends_with(".jpeg") || path.find("snapshot") != std::string::npos;
}

void SnapshotHttpSource::start() {
    next_.stop();
    asked_.start();  // the first request goes out once the connection is up
    ByteStreamSource::start();
}

void SnapshotHttpSource::stop() {
    next_.stop();
    ByteStreamSource::stop();
}

// An answer is in: the next request goes out a rate's interval after the
// last one went, never sooner.
void SnapshotHttpSource::afterRead() {
    if (!stream_.takeAnswered()) return;
    const int rate = std::clamp<int>(settings_.snapshotRate, kMinSnapshotRate, kMaxSnapshotRate);
    const qint64 wait = 1000 / rate - asked_.elapsed();
    next_.start(static_cast<int>(std::max<qint64>(0, wait)));
}

// ---------------------------------------------------------------- an RTSP camera

RtspCameraSource::RtspCameraSource(CameraUrl url, const SourceDeps& deps, CameraSourceListener& listener)
    : url_(std::move(url)), post_(deps.post), previewArea_(deps.previewArea), decoding_(deps.decoding),
      images_(deps.images), listener_(listener) {}

namespace {

RtspSource::Decoding readerDecoding(SourceDecoding d) {
    switch (d) {
        case SourceDecoding::Samples: return RtspSource::Decoding::Samples;
        case SourceDecoding::Nothing: return RtspSource::Decoding::Nothing;
        case SourceDecoding::Preview: break;
    }
    return RtspSource::Decoding::Preview;
}

}  // namespace

void RtspCameraSource::setDecoding(SourceDecoding decoding) {
    if (reader_) reader_->setDecoding(readerDecoding(decoding));
}

RtspCameraSource::~RtspCameraSource() {
    *alive_ = false;
    if (reader_) {
        reader_->stop();
        reader_->setEventNotifier(nullptr);
    }
}

void RtspCameraSource::start() {
    if (!reader_) {
        reader_ = std::make_unique<RtspSource>();
        // Called on the reader's thread: only hands the work over. The work
        // finds nothing to do once this source is gone.
        std::weak_ptr<bool> alive = alive_;
        reader_->setEventNotifier([this, alive] {
            post_([this, alive] {
                const auto a = alive.lock();
                if (a && *a) poll();
            });
        });
    }
    RtspSource::Options options;
    options.url = fullUrl(url_);
    options.silenceTimeout = kSilence;
    const QSize area = previewArea_ ? previewArea_() : QSize(640, 480);
    options.previewWidth = area.width();
    options.previewHeight = area.height();
    options.decoding = readerDecoding(decoding_ ? decoding_() : SourceDecoding::Preview);
    if (images_) options.images = images_();
    connected_ = false;
    running_ = true;
    reader_->start(options);
}

void RtspCameraSource::stop() {
    if (reader_ && running_) {
        reader_->stop();
        // What was reported before the stop belongs to the old connection.
        RtspSource::Event stale;
        while (reader_->takeEvent(&stale)) {
        }
    }
    running_ = connected_ = false;
}

void RtspCameraSource::poll() {
    RtspSource::Event e;
    while (reader_ && running_ && reader_->takeEvent(&e)) {
        switch (e.type) {
            case RtspSource::Event::Type::Connected:
                connected_ = true;
                listener_.sourceConnected(SourceConnected{true, e.tracks, e.transport});
                break;
            case RtspSource::Event::Type::Packet:
                listener_.sourcePacket(e.packet, e.picture, e.shown);
                break;
            case RtspSource::Event::Type::Failed: {
                const bool wasConnected = connected_;
                stop();
                // A camera that went silent or hung up, and one that does
                // not answer, may be back soon; anything else is no stream.
                const SourceStop code = e.rejected       ? SourceStop::Refused
                                        : wasConnected   ? SourceStop::Broke
                                        : e.noAnswer     ? SourceStop::NoAnswer
                                                         : SourceStop::NotAStream;
                listener_.sourceStopped(SourceStopped{code, e.error, e.error, e.error});
                return;  // the connection is closed: the rest is stale
            }
        }
    }
}

}  // namespace ipcam

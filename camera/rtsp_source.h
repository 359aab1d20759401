#pragma once
// An RTSP camera (H.264 or H.265 video, perhaps AAC or G.711 audio) read
// through libavformat, on a thread of its own. RTP comes interleaved in the
// TCP connection; from a camera that refuses that (461, or 400, to the
// SETUP) or sends nothing over it, over UDP. The transport that worked is
// tried first on the next connection to the same camera.
//
// The reader hands on what it gets as events: Connected with the tracks,
// then every packet as received (for the recording, copied byte for byte),
// a video packet with the newest decoded preview picture, and Failed once
// when the connection ends for any reason. The events are taken on the
// user-interface thread; the reader never waits on it except when the queue
// is full (then it stops reading, and TCP slows the camera down).
//
// Everything FFmpeg does (name lookup, connect, DESCRIBE/SETUP/PLAY,
// reading, decoding, scaling) happens on the reader thread. Its blocking
// calls are interrupted by a stop flag and by the connect and silence
// deadlines, so stop() returns within a fraction of a second (a host name
// still being looked up is the one wait that cannot be cut short).

#include <QImage>
#include <QSize>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/media_packet.h"

namespace ipcam {

class RtspSource {
public:
    // The largest packet taken; a larger one ends the connection.
    static constexpr size_t kMaxPacketBytes = 16u << 20;
    // The queue's bound: packets and pictures not yet taken.
    static constexpr size_t kMaxQueuedBytes = 32u << 20;
    // The largest video taken: 4K and 12-megapixel cameras (4000x3000), not
    // 8K. The preview decoder refuses larger pictures too, whatever the
    // stream's own parameter sets say later.
    static constexpr int kMaxVideoSide = 8192;
    static constexpr int64_t kMaxVideoPixels = 4096 * 3072;
    // The preview decoder's pictures held at once (reference pictures,
    // pictures in its threads, the newest one): a 4K 4:2:0 picture is 12 MiB
    // at 8 bits, 24 MiB at 10; a camera's stream holds 4 to 6.
    static constexpr int64_t kMaxDecodedBytes = int64_t(128) << 20;
    // At most this many audio and video streams are set up (a camera sends
    // one video, perhaps one audio and a second video).
    static constexpr int kMaxStreams = 4;
    // RTP over UDP: the packets held for reordering (each at most a
    // datagram), and each socket's receive buffer (the system may cap it).
    static constexpr int kUdpReorderPackets = 128;
    static constexpr int kUdpReceiveBuffer = 4 << 20;

    // What the reader decodes. Preview: every picture, scaled for the
    // preview. Samples: every picture, scaled to a quarter of the preview's
    // sides, for motion detection alone (the event's `shown` names the
    // preview's size). Nothing: no picture is decoded; when pictures are
    // wanted again, decoding resumes at the next key frame.
    enum class Decoding { Preview, Samples, Nothing };
    static constexpr int kSampleScale = 4;

    struct Options {
        std::string url;  // rtsp://[user:password@]host[:port]/path
        std::chrono::milliseconds connectTimeout{5000};  // TCP connect + DESCRIBE/SETUP/PLAY answered
        std::chrono::milliseconds silenceTimeout{5000};  // no packet for this long: Failed
        int previewWidth = 640, previewHeight = 480;     // decoded pictures fit into this area, aspect kept
        bool decode = true;                              // decode video for the preview and motion
        Decoding decoding = Decoding::Preview;          // at the start; see setDecoding
        // Where preview pictures are written (e.g. memory a display reads),
        // called on the reader thread; empty: ordinary images. Each is
        // written again only once nobody else holds it.
        std::function<QImage(QSize)> images;
    };
    struct Event {
        enum class Type { Connected, Packet, Failed } type = Type::Failed;
        std::shared_ptr<const MediaTracks> tracks;  // Connected (and every Packet's packet.tracks)
        MediaPacket packet;                          // Packet (video or audio, in arrival order)
        QImage picture;         // with a video Packet: the newest decoded picture, scaled (may be null)
        QSize shown;            // Samples: the preview size `picture` stands for (else empty)
        std::string transport;  // Connected: the transport, one line for the log
        bool rejected = false;  // Failed: the camera refused the credentials (401 after credentials)
        bool noAnswer = false;  // Failed: no answer, or the camera stopped sending (it may be back soon)
        std::string error;      // Failed: one line naming what happened, never the password
    };

    RtspSource();
    ~RtspSource();  // stops and joins
    RtspSource(const RtspSource&) = delete;
    RtspSource& operator=(const RtspSource&) = delete;

    // (Re)connects on the reader thread; a running connection is dropped
    // first, together with the events it left untaken.
    void start(const Options& options);
    // Ends the connection and drops the events not yet taken; after it
    // returns no further event is queued and the notifier is not called.
    void stop();
    // User-interface thread: the oldest event, false when none waits.
    bool takeEvent(Event* event);
    // Called on the reader thread whenever an event is queued onto an empty
    // queue; it must only post (it may not wait, nor call back into this).
    void setEventNotifier(std::function<void()> notify);
    // Any thread: what the reader decodes from the next packet on.
    void setDecoding(Decoding decoding) { decoding_.store(decoding, std::memory_order_relaxed); }
    Decoding decoding() const { return decoding_.load(std::memory_order_relaxed); }
    // Bytes of packets and pictures waiting in the queue.
    size_t queuedBytes() const;
    // While nothing is decoded (the packets are only recorded), the notifier
    // is called for them at most this often: they gather in the queue
    // meanwhile, and the thread that takes them wakes once for all.
    static constexpr std::chrono::milliseconds kRecordOnlyPace{100};
    // Over TCP, a reader that decodes nothing and had to wait for the camera
    // then leaves the socket alone for up to kRecordOnlyPace, and takes what
    // came meanwhile at once: it wakes a few times a second, not for every
    // picture. The nap is shortened so that no more than this many bytes of
    // the stream gather in the socket meanwhile (well within the window the
    // system gives a connection).
    static constexpr int64_t kMaxNapBytes = 64 << 10;

    // The size a decoded picture of width x height is scaled to: the
    // largest that fits into the preview area with the picture's aspect
    // (1920x1080 into 640x480: 640x360), never larger than the picture.
    static void previewSize(int width, int height, int areaWidth, int areaHeight, int* outWidth, int* outHeight);

private:
    class Reader;
    friend class Reader;

    // Reader thread: queues an event, waiting while the queue is full.
    // False once stopped (the event is then dropped).
    bool queue(Event&& event);
    // Reader thread, also while it waits on the camera: events the pace
    // held back are announced once it allows.
    void announceHeld();
    bool stopping() const { return stop_.load(std::memory_order_relaxed); }
    // Reader thread: waits `time`, or until stop(). False once stopped.
    bool nap(std::chrono::steady_clock::duration time);
    // Reader thread: whether the camera ("host:port") sent over UDP last
    // time; what worked this time.
    bool sentOverUdp(const std::string& camera) const;
    void rememberTransport(const std::string& camera, bool udp);

    mutable std::mutex mutex_;
    std::condition_variable space_;
    std::deque<Event> events_;
    size_t bytes_ = 0;
    std::function<void()> notify_;
    std::atomic<bool> held_{false};                   // events queued that the notifier was not called for
    std::chrono::steady_clock::time_point announced_{};  // when it was last called
    std::string udpCamera_;  // the camera that sent over UDP last time
    std::atomic<bool> stop_{false};
    std::atomic<Decoding> decoding_{Decoding::Preview};
    std::thread thread_;
};

}  // namespace ipcam

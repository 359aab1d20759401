#pragma once
// What the web page shows of the recorder, shared between the engine's
// thread (which writes it, never waiting on anything but a short lock) and
// the web server's connection threads (which read it). The pictures go to
// each live viewer through a small queue of its own: a viewer that does not
// keep up loses pictures, its queue never grows and the engine never waits.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/camera_settings.h"
#include "base/media_packet.h"
#include "settings/settings_validation.h"

namespace ipcam {

using Picture = std::shared_ptr<const std::vector<uint8_t>>;

struct WebStatus {
    std::string link = "Stopped";  // Stopped, Connecting, Up, Down, Offline, Refused
    std::string linkText;          // the line a window shows about the link
    std::string cameraHost;
    std::string cameraTitle;
    int recordingKind = 0;  // 0 none, 1 Manual, 2 Daily, 4 Motion
    std::string recordingFile;
    uint32_t recordingPictures = 0;
    uint32_t recordingSeconds = 0;
    int64_t freeBytes = -1;  // -1: unknown
    std::string folder;      // where recordings go
};

// One live viewer's queue.
class PictureQueue {
public:
    static constexpr size_t kDepth = 2;
    // The newest picture is kept; the oldest goes when the queue is full.
    void push(Picture picture);
    // Waits up to `timeout` for a picture; null when none came or the queue
    // was closed.
    Picture pop(std::chrono::milliseconds timeout);
    void close();
    bool closed() const;
    size_t dropped() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Picture> queue_;
    size_t dropped_ = 0;
    bool closed_ = false;
};

using VideoPacket = std::shared_ptr<const MediaPacket>;

// One live video viewer's queue of the camera's packets (shared, never
// copied for a viewer). It begins at a key frame; when it is full, what it
// holds and every packet after it is dropped until the next key frame, from
// which the video decodes again.
class VideoQueue {
public:
    static constexpr size_t kMaxPackets = 64;
    static constexpr size_t kMaxBytes = size_t(8) << 20;
    struct Item {
        VideoPacket packet;
        bool afterGap = false;  // packets were dropped right before it
    };
    void push(VideoPacket packet);
    // Waits up to `timeout`; no packet when none came or the queue was closed.
    Item pop(std::chrono::milliseconds timeout);
    void close();
    bool closed() const;
    size_t dropped() const;
    size_t queuedBytes() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Item> queue_;
    size_t bytes_ = 0;
    size_t dropped_ = 0;
    bool waitForKey_ = true;
    bool gap_ = false;
    bool closed_ = false;
};

// The live video the page offers: the tracks of the stream the preview
// shows and its codec string; empty for a JPEG camera.
struct LiveVideo {
    std::shared_ptr<const MediaTracks> tracks;
    std::string codec;  // e.g. "avc1.64001f"; empty when it cannot be carried as MP4
};

// The commands the page gives; each is handed to the engine's thread and
// returns at once (applySettings waits for its outcome on the caller's
// thread, never on the engine's).
struct WebCommands {
    std::function<void()> record;
    std::function<void()> stop;
    std::function<void()> reload;
    // A snapshot, when the camera sends no JPEG of its own: the next preview
    // picture is made one (published as the newest picture).
    std::function<void()> askPicture;
    // Validated, saved and applied; the problem when it was not.
    std::function<std::optional<SettingsProblem>(const CameraSettings&)> applySettings;
};

class WebState {
public:
    void setStatus(const WebStatus& status);
    WebStatus status() const;
    void setSettings(const CameraSettings& settings);
    CameraSettings settings() const;

    // A picture as the camera sent it: kept as the newest and queued for
    // every viewer.
    void publish(Picture picture);
    Picture newest() const;
    // How long ago the newest picture came (a long time when none did).
    std::chrono::milliseconds newestAge() const;
    std::shared_ptr<PictureQueue> addViewer();
    void removeViewer(const std::shared_ptr<PictureQueue>& viewer);
    size_t viewerCount() const;

    // The live video: a new one ends every video viewer's stream (the page
    // asks anew), as does none.
    void setLiveVideo(LiveVideo video);
    LiveVideo liveVideo() const;
    // A packet of the live video, queued for every video viewer.
    void publishVideo(const VideoPacket& packet);
    std::shared_ptr<VideoQueue> addVideoViewer();
    void removeVideoViewer(const std::shared_ptr<VideoQueue>& viewer);
    size_t videoViewerCount() const;
    // What all video viewers' queues hold and have dropped, together.
    struct VideoLoad {
        size_t queuedBytes = 0;
        size_t dropped = 0;
    };
    VideoLoad videoLoad() const;
    // Called (on the viewer's thread, no lock held) when a viewer of either
    // kind comes or goes.
    void setViewersChanged(std::function<void()> changed);

    // The server is going: every viewer's queue closes.
    void close();
    bool closed() const;

private:
    // A viewer's queue added to (or taken from) `list`; the viewers' change
    // told outside the lock.
    template <class Queue>
    std::shared_ptr<Queue> add(std::vector<std::shared_ptr<Queue>>& list);
    template <class Queue>
    void remove(std::vector<std::shared_ptr<Queue>>& list, const std::shared_ptr<Queue>& viewer);

    mutable std::mutex mutex_;
    WebStatus status_;
    CameraSettings settings_;
    Picture newest_;
    std::chrono::steady_clock::time_point newestAt_;
    std::vector<std::shared_ptr<PictureQueue>> viewers_;
    LiveVideo liveVideo_;
    std::vector<std::shared_ptr<VideoQueue>> videoViewers_;
    std::function<void()> viewersChanged_;
    bool closed_ = false;
};

}  // namespace ipcam

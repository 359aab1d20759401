#include "frontends/web/web_state.h"

#include <algorithm>
#include <utility>

namespace ipcam {

void PictureQueue::push(Picture picture) {
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return;
        if (queue_.size() >= kDepth) {
            queue_.erase(queue_.begin());
            ++dropped_;
        }
        queue_.push_back(std::move(picture));
    }
    cv_.notify_one();
}

Picture PictureQueue::pop(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, timeout, [this] { return closed_ || !queue_.empty(); });
    if (closed_ || queue_.empty())
        return nullptr;
    Picture p = std::move(queue_.front());
    queue_.erase(queue_.begin());
    return p;
}

void PictureQueue::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        queue_.clear();
    }
    cv_.notify_all();
}

bool PictureQueue::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

size_t PictureQueue::dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

void VideoQueue::push(VideoPacket packet) {
    if (!packet)
        return;
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return;
        if (queue_.size() >= kMaxPackets || bytes_ + packet->data.size() > kMaxBytes) {
            dropped_ += queue_.size();
            queue_.clear();
            bytes_ = 0;
            waitForKey_ = gap_ = true;
        }
        if (waitForKey_ && !packet->key) {
            dropped_ += gap_ ? 1 : 0;  // before the first key frame nothing is lost
            return;
        }
        waitForKey_ = false;
        bytes_ += packet->data.size();
        queue_.push_back({std::move(packet), std::exchange(gap_, false)});
    }
    cv_.notify_one();
}

VideoQueue::Item VideoQueue::pop(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, timeout, [this] { return closed_ || !queue_.empty(); });
    if (closed_ || queue_.empty())
        return {};
    Item item = std::move(queue_.front());
    queue_.erase(queue_.begin());
    bytes_ -= item.packet->data.size();
    return item;
}

void VideoQueue::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        queue_.clear();
        bytes_ = 0;
    }
    cv_.notify_all();
}

bool VideoQueue::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

size_t VideoQueue::dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

size_t VideoQueue::queuedBytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}

void WebState::setStatus(const WebStatus& status) {
    std::lock_guard lock(mutex_);
    status_ = status;
}

WebStatus WebState::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

void WebState::setSettings(const CameraSettings& settings) {
    std::lock_guard lock(mutex_);
    settings_ = settings;
}

CameraSettings WebState::settings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

void WebState::publish(Picture picture) {
    std::vector<std::shared_ptr<PictureQueue>> viewers;
    {
        std::lock_guard lock(mutex_);
        newest_ = picture;
        newestAt_ = std::chrono::steady_clock::now();
        viewers = viewers_;
    }
    for (const auto& v : viewers)
        v->push(picture);
}

Picture WebState::newest() const {
    std::lock_guard lock(mutex_);
    return newest_;
}

std::chrono::milliseconds WebState::newestAge() const {
    std::lock_guard lock(mutex_);
    if (!newest_)
        return std::chrono::hours(24);
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - newestAt_);
}

template <class Queue>
std::shared_ptr<Queue> WebState::add(std::vector<std::shared_ptr<Queue>>& list) {
    auto viewer = std::make_shared<Queue>();
    std::function<void()> changed;
    {
        std::lock_guard lock(mutex_);
        if (closed_) {
            viewer->close();
            return viewer;
        }
        list.push_back(viewer);
        changed = viewersChanged_;
    }
    if (changed)
        changed();
    return viewer;
}

template <class Queue>
void WebState::remove(std::vector<std::shared_ptr<Queue>>& list, const std::shared_ptr<Queue>& viewer) {
    viewer->close();
    std::function<void()> changed;
    {
        std::lock_guard lock(mutex_);
        list.erase(std::remove(list.begin(), list.end(), viewer), list.end());
        changed = viewersChanged_;
    }
    if (changed)
        changed();
}

std::shared_ptr<PictureQueue> WebState::addViewer() { return add(viewers_); }

void WebState::removeViewer(const std::shared_ptr<PictureQueue>& viewer) { remove(viewers_, viewer); }

size_t WebState::viewerCount() const {
    std::lock_guard lock(mutex_);
    return viewers_.size();
}

void WebState::setLiveVideo(LiveVideo video) {
    std::vector<std::shared_ptr<VideoQueue>> ended;
    {
        std::lock_guard lock(mutex_);
        if (video.tracks != liveVideo_.tracks)
            ended.swap(videoViewers_);
        liveVideo_ = std::move(video);
    }
    for (const auto& v : ended)
        v->close();
}

LiveVideo WebState::liveVideo() const {
    std::lock_guard lock(mutex_);
    return liveVideo_;
}

void WebState::publishVideo(const VideoPacket& packet) {
    std::vector<std::shared_ptr<VideoQueue>> viewers;
    {
        std::lock_guard lock(mutex_);
        if (!packet || packet->tracks != liveVideo_.tracks)
            return;
        viewers = videoViewers_;
    }
    for (const auto& v : viewers)
        v->push(packet);
}

std::shared_ptr<VideoQueue> WebState::addVideoViewer() { return add(videoViewers_); }

void WebState::removeVideoViewer(const std::shared_ptr<VideoQueue>& viewer) { remove(videoViewers_, viewer); }

size_t WebState::videoViewerCount() const {
    std::lock_guard lock(mutex_);
    return videoViewers_.size();
}

WebState::VideoLoad WebState::videoLoad() const {
    std::lock_guard lock(mutex_);
    VideoLoad load;
    for (const auto& v : videoViewers_) {
        load.queuedBytes += v->queuedBytes();
        load.dropped += v->dropped();
    }
    return load;
}

void WebState::setViewersChanged(std::function<void()> changed) {
    std::lock_guard lock(mutex_);
    viewersChanged_ = std::move(changed);
}

void WebState::close() {
    std::vector<std::shared_ptr<PictureQueue>> viewers;
    std::vector<std::shared_ptr<VideoQueue>> videoViewers;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        viewers.swap(viewers_);
        videoViewers.swap(videoViewers_);
        viewersChanged_ = nullptr;
    }
    for (const auto& v : viewers)
        v->close();
    for (const auto& v : videoViewers)
        v->close();
}

bool WebState::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

}  // namespace ipcam

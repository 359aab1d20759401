#include "frontends/web/web_state.h"

#include <algorithm>

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
        viewers = viewers_;
    }
    for (const auto& v : viewers)
        v->push(picture);
}

Picture WebState::newest() const {
    std::lock_guard lock(mutex_);
    return newest_;
}

std::shared_ptr<PictureQueue> WebState::addViewer() {
    auto viewer = std::make_shared<PictureQueue>();
    std::lock_guard lock(mutex_);
    if (closed_)
        viewer->close();
    else
        viewers_.push_back(viewer);
    return viewer;
}

void WebState::removeViewer(const std::shared_ptr<PictureQueue>& viewer) {
    viewer->close();
    std::lock_guard lock(mutex_);
    viewers_.erase(std::remove(viewers_.begin(), viewers_.end(), viewer), viewers_.end());
}

size_t WebState::viewerCount() const {
    std::lock_guard lock(mutex_);
    return viewers_.size();
}

void WebState::close() {
    std::vector<std::shared_ptr<PictureQueue>> viewers;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        viewers.swap(viewers_);
    }
    for (const auto& v : viewers)
        v->close();
}

bool WebState::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

}  // namespace ipcam

#include "recording/preroll_ring.h"

namespace ipcam {

void PrerollRing::push(const std::vector<uint8_t>& picture, TimePoint at, std::chrono::milliseconds length) {
    if (length <= std::chrono::milliseconds::zero()) {
        clear();
        return;
    }
    while (!pictures_.empty() && pictures_.front().at <= at - length) dropOldest();
    Entry e{at, {}};
    // A buffer let go a moment ago takes the copy, unless it is far larger
    // than the picture (left over from a huge one): then it goes.
    if (spare_.capacity() <= 2 * picture.size()) e.bytes = std::move(spare_);
    spare_ = std::vector<uint8_t>();
    e.bytes.assign(picture.begin(), picture.end());
    bytes_ += e.bytes.capacity();
    pictures_.push_back(std::move(e));
    while (!pictures_.empty() && (bytes_ > kMaxBytes || pictures_.size() > kMaxPictures)) dropOldest();
}

void PrerollRing::dropOldest() {
    Entry& e = pictures_.front();
    bytes_ -= e.bytes.capacity();
    spare_ = std::move(e.bytes);
    pictures_.pop_front();
}

void PrerollRing::clear() {
    if (pictures_.empty() && spare_.capacity() == 0) return;
    std::deque<Entry>().swap(pictures_);
    spare_ = std::vector<uint8_t>();
    bytes_ = 0;
}

std::chrono::milliseconds PrerollRing::span() const {
    const size_t n = pictures_.size();
    if (n < 2) return std::chrono::milliseconds::zero();
    const auto covered = pictures_.back().at - pictures_.front().at;
    const auto n64 = static_cast<int64_t>(n);
    return std::chrono::round<std::chrono::milliseconds>(covered * n64 / (n64 - 1));
}

}  // namespace ipcam

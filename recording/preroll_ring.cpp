#include "recording/preroll_ring.h"

#include <algorithm>

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
    cutByCaps_ = false;
    while (!pictures_.empty() && (bytes_ > kMaxBytes || pictures_.size() > kMaxPictures)) {
        dropOldest();
        cutByCaps_ = true;
    }
}

void PrerollRing::dropOldest() {
    Entry& e = pictures_.front();
    bytes_ -= e.bytes.capacity();
    spare_ = std::move(e.bytes);
    pictures_.pop_front();
}

void PrerollRing::clear() {
    cutByCaps_ = false;
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

namespace ipcam {

void PacketRing::push(const MediaPacket& packet, TimePoint at, std::chrono::milliseconds length) {
    const bool key = packet.key && packet.isVideo();
    if (packets_.empty() && !key) return;
    // A new connection's packets never follow the old one's.
    if (!packets_.empty() && packets_.front().packet.tracks != packet.tracks) clear();
    if (packets_.empty() && !key) return;
    packets_.push_back(Entry{at, packet, key});
    bytes_ += packet.data.size();
    if (key) ++keys_;
    // The second group's first picture is old enough: the first group goes.
    while (keys_ >= 2) {
        auto next = std::find_if(packets_.begin() + 1, packets_.end(), [](const Entry& e) { return e.key; });
        if (next->at > at - length) break;
        dropGroup();
    }
    while (!packets_.empty() && (bytes_ > kMaxBytes || packets_.size() > kMaxPackets)) dropGroup();
}

void PacketRing::dropGroup() {
    do {
        bytes_ -= packets_.front().packet.data.size();
        if (packets_.front().key) --keys_;
        packets_.pop_front();
    } while (!packets_.empty() && !packets_.front().key);
}

void PacketRing::keepNewestGroup() {
    while (keys_ >= 2) dropGroup();
}

void PacketRing::clear() {
    std::deque<Entry>().swap(packets_);
    bytes_ = 0;
    keys_ = 0;
}

std::chrono::milliseconds PacketRing::span() const {
    if (packets_.size() < 2) return std::chrono::milliseconds::zero();
    return std::chrono::duration_cast<std::chrono::milliseconds>(packets_.back().at - packets_.front().at);
}

}  // namespace ipcam

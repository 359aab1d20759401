#pragma once
// The pictures of the last few seconds before a Motion recording begins,
// kept while the recorder is idle: the bytes exactly as received (what a
// recording appends), never decoded. Seconds count by arrival time on a
// steady clock, so a camera whose rate changes, stalls or comes back after
// a lost link never puts pictures older than that into a file. Memory is
// bounded in bytes and pictures as well: past either, the oldest go first.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "base/camera_settings.h"

namespace ipcam {

class PrerollRing {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    // Ten seconds of a 1920 x 1080 camera at 25 pictures a second of about
    // 250 KB (62 MB). At the start of a Motion file the ring's buffers are
    // moved into the recording thread's queue, outside its cap: memory
    // does not grow, and none of them is dropped.
    static constexpr size_t kMaxBytes = size_t{kMaxPrerollMiB} << 20;
    // Ten seconds of a camera far faster than any we ask for.
    static constexpr size_t kMaxPictures = 1024;

    // Keeps a copy of `picture`, arrived at `at`, and lets go of the pictures
    // that arrived `length` or more before it, then of the oldest while the
    // ring holds more than its caps allow. A zero length keeps nothing.
    void push(const std::vector<uint8_t>& picture, TimePoint at, std::chrono::milliseconds length);
    // The last push let pictures go for the caps: the ring holds less than
    // the length asked (span() tells how much).
    bool cutByCaps() const { return cutByCaps_; }
    void clear();

    bool empty() const { return pictures_.empty(); }
    size_t size() const { return pictures_.size(); }
    // Bytes held, counted by the buffers' capacity.
    size_t bytes() const { return bytes_; }

    // The stretch of camera time the pictures cover: from the first one's
    // arrival to when the one after the last is due (the pictures' mean
    // spacing after it). 0 for fewer than two pictures.
    std::chrono::milliseconds span() const;

    // Hands the pictures over with their arrival times, oldest first (`f`
    // may take the buffer), letting go of each once `f` has had it, so that
    // its copy and the ring's are never all held at once; empties the ring.
    template <typename F>
    void drain(F&& f) {
        while (!pictures_.empty()) {
            Entry& e = pictures_.front();
            bytes_ -= e.bytes.capacity();
            f(e.bytes, e.at);
            pictures_.pop_front();
        }
        clear();
    }

private:
    struct Entry {
        TimePoint at;
        std::vector<uint8_t> bytes;
    };
    void dropOldest();

    std::deque<Entry> pictures_;
    std::vector<uint8_t> spare_;  // the last buffer let go, reused for the next picture
    size_t bytes_ = 0;
    bool cutByCaps_ = false;
};

}  // namespace ipcam

#include "base/media_packet.h"

namespace ipcam {

// The same for a camera that sends coded video: a file can only begin with
// a key frame, so the ring always begins with one (or is empty) and lets go
// of whole groups of pictures, never of part of one. It holds at least the
// group the newest picture belongs to, so that a recording of any kind can
// begin at once with it, and with a pre-roll length the groups that reach
// back that far. Audio packets are kept in their place among the pictures.
class PacketRing {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    static constexpr size_t kMaxBytes = size_t{24} << 20;
    static constexpr size_t kMaxPackets = 4096;

    // Keeps `packet`, arrived at `at`. Nothing is kept before the first key
    // frame. Groups are let go from the front while the next group began
    // `length` or more before `at`, or while the caps are passed (when the
    // newest group alone passes them, it goes too and the ring waits for the
    // next key frame).
    void push(const MediaPacket& packet, TimePoint at, std::chrono::milliseconds length);
    void clear();
    // Lets go of every group but the newest.
    void keepNewestGroup();

    bool empty() const { return packets_.empty(); }
    size_t size() const { return packets_.size(); }
    size_t bytes() const { return bytes_; }
    std::chrono::milliseconds span() const;

    // Hands the packets over, oldest first, and empties the ring.
    template <typename F>
    void drain(F&& f) {
        while (!packets_.empty()) {
            f(static_cast<const MediaPacket&>(packets_.front().packet));
            bytes_ -= packets_.front().packet.data.size();
            packets_.pop_front();
        }
        clear();
    }

private:
    struct Entry {
        TimePoint at;
        MediaPacket packet;
        bool key = false;
    };
    void dropGroup();  // the first group

    std::deque<Entry> packets_;
    size_t bytes_ = 0;
    size_t keys_ = 0;  // key frames held: the groups
};

}  // namespace ipcam

#pragma once
// Fakes for the recorder tests: a settable clock, a host that records what
// the recorder asked of the window, and a settable free-space query.

#include <QTemporaryDir>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "recording/disk_guard.h"
#include "recording/recorder.h"

namespace ipcam::rectest {

class FakeClock final : public Clock {
public:
    LocalDateTime current = makeDateTime(2006, 10, 12, 15, 30, 12);
    LocalDateTime now() const override { return current; }
    void set(int y, int mo, int d, int h, int mi, int s) { current = makeDateTime(y, mo, d, h, mi, s); }
    void setTime(int h, int mi, int s) { current = makeDateTime(current.year, current.month, current.day, h, mi, s); }
};

class FakeHost final : public RecorderHost {
public:
    std::vector<int> buttons;
    std::vector<std::string> diskTexts;
    std::vector<std::string> warnings;
    std::vector<std::vector<uint8_t>> alarms;
    int statusTimerStarts = 0;
    int previewResets = 0;
    // Called at the moment a warning is shown, to look at the state then.
    std::function<void()> onWarning;

    // The buttons the window showed for it: 1 recording, 0 idle.
    void recordingStateChanged(uint8_t kind) override { buttons.push_back(kind == kNotRecording ? 0 : 1); }
    void resetPreviewCounters() override { ++previewResets; }
    void setFreeSpace(uint32_t mb) override { diskTexts.push_back(freeSpaceText(mb)); }
    void showWarning(RecorderWarning, const std::string& text) override {
        if (onWarning) onWarning();
        warnings.push_back(text);
    }
    void startStatusTimer() override { ++statusTimerStarts; }
    bool motionOff = false;
    void motionSuspended(bool off) override { motionOff = off; }
    void raiseAlarm(const std::vector<uint8_t>& picture) override { alarms.push_back(picture); }
};

// Asked from the recorder's own thread too (the recorder serialises calls).
class FakeFreeSpace final : public FreeSpaceQuery {
public:
    std::function<uint32_t()> value = [] { return 10240u; };
    std::vector<std::string> asked;
    uint32_t freeSpaceMB(const std::string& directory) override {
        asked.push_back(directory);
        return value();
    }
};

// A picture as the camera sends it: JPEG start marker, then filler.
inline std::vector<uint8_t> jpeg(size_t n, uint8_t fill = 0x5A) {
    std::vector<uint8_t> p(n, fill);
    const uint8_t start[] = {0xFF, 0xD8, 0xFF, 0xE0};
    for (size_t i = 0; i < 4 && i < n; ++i) p[i] = start[i];
    return p;
}

inline std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

inline bool exists(const std::string& path) { return std::filesystem::exists(std::filesystem::symlink_status(path)); }

// Regular files under `dir` (relative names, sorted), folders included as
// "name/"; the recorder's folder lock is left out.
inline std::vector<std::string> listTree(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        if (e.path().filename() == ".ipcam-recorder.lock") continue;
        std::string rel = std::filesystem::relative(e.path(), dir).string();
        if (e.is_directory()) rel += "/";
        out.push_back(rel);
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace ipcam::rectest

#include <gtest/gtest.h>

#include <memory>

#include "detect/pixel_view.h"
#include "base/camera_settings.h"
#include "support/avi_oracle.h"

namespace ipcam::rectest {

// A recorder on a temporary recording directory, 10 GB free by default,
// 12 October 2006 (a Thursday) 15:30:12.
class RecorderFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        dir = tmp.path().toStdString();
        settings.aviDirectory = dir;
        settings.resolution = 1;
        makeRecorder();
    }

    // A new recorder (a program started anew) keeps the state the old one had
    // where a test set it up.
    void makeRecorder() {
        RecordingSession kept = recorder ? recorder->session() : RecordingSession{};
        recorder.reset();
        recorder = std::make_unique<Recorder>(settings, clock, host, freeSpace);
        recorder->session() = kept;
        // Pictures arrive at the fake clock's moments (a test may set a
        // finer clock of its own).
        recorder->setArrivalClock([this] {
            const LocalDateTime& t = clock.current;
            // Days counted from the year 2000: nanoseconds since year 0 would
            // not fit the steady clock's 64 bits.
            const int64_t days = (int64_t{t.year - 2000} * 12 + t.month) * 31 + t.day;
            return std::chrono::steady_clock::time_point{} +
                   std::chrono::seconds(days * 86400 + TimeOfDay{t.hour, t.minute, t.second}.secondsOfDay());
        });
    }
    RecordingSession& session() { return recorder->session(); }

    // One picture; then what the recording's thread did with it is on disk
    // and handled, so that files can be looked at.
    void picture(const std::vector<uint8_t>& p, const PixelView& decoded = {}) {
        recorder->step(p, decoded);
        recorder->settle();
    }
    void endFromOutside() {
        recorder->endFromOutside();
        recorder->settle();
    }
    // The start-up recovery, waited for: how many files it completed.
    static int recover(Recorder& r) {
        const int before = r.recoveredFiles();
        r.recoverPartialFiles();
        r.settle();
        return r.recoveredFiles() - before;
    }

    // One second of the main window's Timer1 and one picture at that second.
    void tickAndPicture(const std::vector<uint8_t>& p) {
        recorder->countSecond();
        picture(p);
    }

    std::string path(const std::string& rel) const { return dir + "/" + rel; }

    std::vector<std::string> partialFiles() const {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(dir)) {
            const std::string name = e.path().filename().string();
            if (name.rfind(".recording-", 0) == 0) out.push_back(name);
        }
        return out;
    }

    QTemporaryDir tmp;
    std::string dir;
    CameraSettings settings;
    FakeClock clock;
    FakeHost host;
    FakeFreeSpace freeSpace;
    std::unique_ptr<Recorder> recorder;
};

using test::aviFile;
using test::isAvi;
using test::isValidAvi;
using test::perFrame;
using test::readAvi;

inline uint32_t frameCount(const std::vector<uint8_t>& file) { return readAvi(file).frames; }

}  // namespace ipcam::rectest

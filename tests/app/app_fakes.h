#pragma once
// Fakes around MainController: the window, the socket, the ping worker, the
// start page, the clock and the free-space query. Nothing here touches the
// network.

#include <QBuffer>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include <algorithm>

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/engine_texts.h"
#include "engine/main_controller.h"

namespace ipcam::apptest {

class FakeClock final : public Clock {
public:
    LocalDateTime current = makeDateTime(2006, 10, 12, 15, 30, 12);
    LocalDateTime now() const override { return current; }
};

class FakeFreeSpace final : public FreeSpaceQuery {
public:
    uint32_t mb = 10240;
    uint32_t freeSpaceMB(const std::string&) override { return mb; }
};

// The engine around the controller: timers, posted work, and what a front
// end would make of its state and events (the same words as the window's).
class FakeHost final : public MainHost {
public:
    const MainController* controller = nullptr;
    std::map<TimerId, bool> running;
    std::map<TimerId, int> interval;
    std::vector<EngineEvent> events;
    std::vector<std::string> warnings;      // the events a window shows in a box
    std::vector<std::string> previewTexts;  // every text the status line showed
    int previewRepaints = 0;
    std::deque<std::function<void()>> posted;

    void startTimer(TimerId id, int ms) override {
        running[id] = true;
        interval[id] = ms;
    }
    void stopTimer(TimerId id) override { running[id] = false; }
    void setTimerInterval(TimerId id, int ms) override { interval[id] = ms; }
    void post(std::function<void()> task) override { posted.push_back(std::move(task)); }
    void publishState() override {
        if (!controller) return;
        const std::string text = previewInfo();
        if (previewTexts.empty() || previewTexts.back() != text) previewTexts.push_back(text);
    }
    void publishEvent(const EngineEvent& e) override {
        events.push_back(e);
        switch (e.code) {
            case EngineCode::SignInRefused:
            case EngineCode::FolderMissing:
            case EngineCode::RecordingStopped:
            case EngineCode::FolderBusy:
                warnings.push_back(eventText(e));
                break;
            default:
                break;
        }
    }
    void previewChanged() override { ++previewRepaints; }

    // The event loop's turn: what the handlers posted runs now, in order.
    void runPosted() {
        while (!posted.empty()) {
            auto task = std::move(posted.front());
            posted.pop_front();
            task();
        }
    }
    bool isRunning(TimerId id) const {
        auto it = running.find(id);
        return it != running.end() && it->second;
    }
    int count(EngineCode code) const {
        return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const EngineEvent& e) { return e.code == code; }));
    }

    // What the window shows.
    const EngineState& state() const { return controller->state(); }
    std::string linkInfo() const { return linkLineText(state()); }
    std::string previewInfo() const { return statusLineText(state()); }
    std::string diskSpace() const { return freeSpaceLineText(state()); }
    bool pleaseWait() const { return state().wait != LinkWait::None; }
    std::string pleaseWaitText() const { return waitText(state().wait); }
    // The one stacked button on show: 0 Record1, 1 RecordStop1, 2 Reload1.
    int buttonMode() const { return static_cast<int>(state().offer); }
};

class FakeSocket final : public CameraSocket {
public:
    CameraSocketEvents* events = nullptr;
    bool openNow = false;
    std::vector<std::pair<std::string, uint16_t>> opens;
    std::vector<std::string> sent;
    int closes = 0;

    void setEvents(CameraSocketEvents* e) override { events = e; }
    void open(const std::string& host, uint16_t port) override {
        opens.emplace_back(host, port);
        openNow = true;
    }
    void close() override {
        ++closes;
        openNow = false;
    }
    bool isOpen() const override { return openNow; }
    void send(const std::string& bytes) override { sent.push_back(bytes); }
};

class FakePing final : public PingControl {
public:
    int restarts = 0, suspends = 0;
    void restart() override { ++restarts; }
    void suspend() override { ++suspends; }
};

class FakeStartPage final : public StartPageFetcher {
public:
    std::optional<std::string> page = std::string("<html><head><title>Shop Door</title></head></html>");
    std::vector<std::string> asked;
    std::optional<std::string> fetch(const std::string& host) override {
        asked.push_back(host);
        return page;
    }
};

// A real JPEG picture (JFIF, so it starts FF D8 FF E0), plain colour.
inline std::vector<uint8_t> makeJpeg(int w, int h, QColor colour, int quality = 80) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    img.save(&buffer, "JPG", quality);
    return {bytes.begin(), bytes.end()};
}

inline std::vector<uint8_t> headerChunk() {
    return {kExpectedReplyHeader.begin(), kExpectedReplyHeader.end()};
}

// A controller on fakes, with its settings file in a temporary folder
// pointing at loopback.
struct Rig {
    QTemporaryDir dir;
    FakeHost host;
    FakeSocket socket;
    FakePing ping;
    FakeStartPage startPage;
    FakeClock clock;
    FakeFreeSpace freeSpace;
    WorkerShared shared;
    SettingsStore store{dir.filePath("ipcam-recorder.INI").toStdString()};
    std::vector<std::vector<uint8_t>> alarms;
    std::unique_ptr<MainController> controller;

    explicit Rig(bool writeSettings = true) {
        if (writeSettings) {
            CameraSettings s;
            applyFirstRunDefaults(s, dir.path().toStdString());
            s.hostAddress = "127.0.0.1";
            s.hostPort = 8080;
            store.save(s);
        }
        controller = std::make_unique<MainController>(ControllerDeps{
            host, socket, ping, startPage, store, clock, freeSpace, shared,
            [this](const std::vector<uint8_t>& p) { alarms.push_back(p); }, dir.path().toStdString()});
        host.controller = controller.get();
    }

    LinkSession& link() { return controller->link(); }
    // The picture the legacy camera's stream is collecting.
    const std::vector<uint8_t>& collected() { return static_cast<LegacyCameraStream&>(controller->stream()).collected(); }
    RecordingSession& rec() { return controller->recorder().session(); }

    const EngineState& state() const { return controller->state(); }

    // The start, a successful connection timer run and the connect event.
    void connect() {
        controller->start();
        shared.cameraReachable = true;
        controller->createConnectTimerTimer();
        controller->onSocketConnected();
        controller->onSocketRead(headerChunk());
    }
};

}  // namespace ipcam::apptest

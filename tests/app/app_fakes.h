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
#include <stdexcept>
#include <string>
#include <vector>

#include "camera/camera_sources.h"
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

// The engine around the controller: timers, the link's time, posted work,
// and what a front end would make of its state and events (the same words
// as the window's).
class FakeHost final : public MainHost {
public:
    MainController* controller = nullptr;
    int64_t now = 0;        // the link's milliseconds
    int64_t wakeAt = -1;    // when the link machine wants to be woken
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
    int64_t linkNow() const override { return now; }
    void wakeLinkAt(int64_t at) override { wakeAt = at; }
    // Time passes: the link machine is woken whenever it asked to be.
    void advance(int64_t ms) {
        const int64_t until = now + ms;
        for (int guard = 0; wakeAt >= 0 && wakeAt <= until; ++guard) {
            if (guard > 100000) throw std::runtime_error("the link machine does not let time pass");
            now = std::max(now, wakeAt);
            controller->linkWake();
        }
        now = until;
    }
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

// The camera socket: what was opened and sent; a test plays the camera's
// side through the events of the source that opened it.
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
    const LinkMachine& machine() const { return controller->linkMachine(); }
    // The picture the legacy camera's stream is collecting.
    const std::vector<uint8_t>& collected() {
        return dynamic_cast<LegacyCameraSource&>(*controller->source()).collected();
    }
    RecordingSession& rec() { return controller->recorder().session(); }

    const EngineState& state() const { return controller->state(); }

    // The link's time passes; the pending step comes (and what else is due
    // before it); the watchdog's next second.
    void advance(int64_t ms) { host.advance(ms); }
    void step() {
        const int64_t in = machine().pendingIn();
        if (in < 0) throw std::runtime_error("no step is pending");
        host.advance(in);
    }
    void tick() { host.advance(1000); }
    // The next step is `step`, due in `ms`.
    bool due(LinkStep step, int64_t ms) const { return machine().pending() == step && machine().pendingIn() == ms; }
    bool pending(LinkStep step) const { return machine().pending() == step; }

    // The camera's side of the socket the source opened.
    CameraSocketEvents& camera() {
        if (!socket.events) throw std::runtime_error("no source listens to the socket");
        return *socket.events;
    }
    void tcpUp() { camera().onSocketConnected(); }
    void read(const std::vector<uint8_t>& bytes) { camera().onSocketRead(bytes); }
    void socketError() { camera().onSocketError(); }

    // The start, a successful attempt and the camera's answer.
    void connect() {
        controller->start();
        open();
        tcpUp();
        read(headerChunk());
    }
    // The ping answered and the pending attempt opened the connection.
    void open() {
        shared.cameraReachable = true;
        step();
    }
};

}  // namespace ipcam::apptest

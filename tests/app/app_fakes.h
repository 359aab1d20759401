#pragma once
// Fakes around MainController: the window, the socket, the ping worker, the
// start page, the clock and the free-space query. Nothing here touches the
// network.

#include <QBuffer>
#include <QImage>
#include <QPainter>
#include <QTemporaryDir>

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

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

class FakeHost final : public MainHost {
public:
    std::map<Control, bool> visible, enabled;
    std::string linkInfo, previewInfo, diskSpace, pleaseWaitText, setupCaption;
    bool pleaseWait = false;
    std::map<TimerId, bool> running;
    std::map<TimerId, int> interval;
    std::vector<std::string> warnings;
    std::vector<std::string> previewTexts;
    int setupDialogs = 0, closes = 0, playbackShows = 0, previewRepaints = 0, fills = 0;
    int layout = -1;
    std::function<void()> onSetupDialog;
    std::function<void(const std::string&)> onWarning;
    std::deque<std::function<void()>> posted;

    void setControlVisible(Control c, bool v) override { visible[c] = v; }
    void setControlEnabled(Control c, bool e) override { enabled[c] = e; }
    void setLinkInfo(const std::string& t) override { linkInfo = t; }
    void setPreviewInfo(const std::string& t) override {
        previewInfo = t;
        previewTexts.push_back(t);
    }
    void setDiskSpace(const std::string& t) override { diskSpace = t; }
    void setPleaseWait(bool v, const std::string& t) override {
        pleaseWait = v;
        pleaseWaitText = t;
    }
    bool pleaseWaitVisible() const override { return pleaseWait; }
    void startTimer(TimerId id, int ms) override {
        running[id] = true;
        interval[id] = ms;
    }
    void stopTimer(TimerId id) override { running[id] = false; }
    void setTimerInterval(TimerId id, int ms) override { interval[id] = ms; }
    void showWarning(const std::string& t) override {
        warnings.push_back(t);
        if (onWarning) onWarning(t);
    }
    void post(std::function<void()> task) override { posted.push_back(std::move(task)); }
    // The event loop's turn: what the handlers posted runs now, in order.
    void runPosted() {
        while (!posted.empty()) {
            auto task = std::move(posted.front());
            posted.pop_front();
            task();
        }
    }
    void showSetupDialog() override {
        ++setupDialogs;
        if (onSetupDialog) onSetupDialog();
    }
    void setSetupDialogCaption(const std::string& c) override { setupCaption = c; }
    void fillSetupDialogFromRecord() override { ++fills; }
    void applyLayout(uint8_t r) override { layout = r; }
    void previewChanged() override { ++previewRepaints; }
    void closeMainWindow() override { ++closes; }
    void showPlaybackWindow() override { ++playbackShows; }

    bool isRunning(TimerId id) const {
        auto it = running.find(id);
        return it != running.end() && it->second;
    }
    // The one stacked button on show: 0 Record1, 1 RecordStop1, 2 Reload1.
    int buttonMode() const {
        if (visible.at(Control::RecordStop1)) return 1;
        if (visible.at(Control::Reload1)) return 2;
        return 0;
    }
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

    explicit Rig(bool writeSettings = true, bool attended = true) {
        if (writeSettings) {
            CameraSettings s;
            applyFirstRunDefaults(s, dir.path().toStdString());
            s.hostAddress = "127.0.0.1";
            s.hostPort = 8080;
            store.save(s);
        }
        controller = std::make_unique<MainController>(ControllerDeps{
            host, socket, ping, startPage, store, clock, freeSpace, shared,
            [this](const std::vector<uint8_t>& p) { alarms.push_back(p); }, dir.path().toStdString(), attended});
    }

    LinkSession& link() { return controller->link(); }
    // The picture the legacy camera's stream is collecting.
    const std::vector<uint8_t>& collected() { return static_cast<LegacyCameraStream&>(controller->stream()).collected(); }
    RecordingSession& rec() { return controller->recorder().session(); }

    // Activation, a successful connection timer run and the connect event.
    void connect() {
        controller->formActivate();
        shared.cameraReachable = true;
        controller->createConnectTimerTimer();
        controller->onSocketConnected();
        controller->onSocketRead(headerChunk());
    }
};

}  // namespace ipcam::apptest

#pragma once
// The recording engine: everything that runs, without a window. It owns the
// settings (the one record in force, and their checks), the camera link, the
// timers, the ping and e-mail workers, the recorder with its thread and the
// recordings folder. Front ends (the main window, the headless service, the
// web page) are its clients: they read its state record, react to its
// events, give it commands and turn its codes into words (engine_texts.h).
// No sequence of the engine waits on a front end.
//
// Every signal is emitted on the engine's thread when the thing happens,
// possibly inside a socket or timer handler: a front end that opens a modal
// box for an event connects with Qt::QueuedConnection.

#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <memory>
#include <optional>
#include <string>

#include "base/camera_settings.h"
#include "base/clock.h"
#include "base/worker_shared.h"
#include "engine/engine_state.h"
#include "engine/main_host.h"
#include "settings/settings_validation.h"

namespace ipcam {

class FreeSpaceQuery;
class MainController;
class QtCameraSocket;
class SettingsStore;
class TICMPThread;
class TEmailThread;
class HttpStartPageFetcher;

struct EngineOptions {
    std::string settingsPath;       // default: the program's path with ".INI"
    std::string snapshotPath;       // default: "jpeg_view01.jpg" in the working directory
    std::string fallbackDirectory;  // default: the working directory
    int probePort = 80;             // the camera's start page
    double timerScale = 1.0;        // tests shorten every interval with it
    const Clock* clock = nullptr;   // default: the system clock
    FreeSpaceQuery* freeSpace = nullptr;  // default: statvfs
};

class RecorderEngine final : public QObject, private MainHost {
    Q_OBJECT
public:
    explicit RecorderEngine(EngineOptions options, QObject* parent = nullptr);
    ~RecorderEngine() override;

    // ------------------------------------------------------------ commands
    // The start sequence: settings read (or first written), folder and disk
    // checked, the camera connected. Throws SettingsReadError or
    // SettingsWriteError when the settings file cannot be used.
    void start();
    void record();     // a Manual recording, while the link is up
    void stop();       // stops what records
    void reconnect();  // the link built anew
    // The link ends (a running recording is written) until resumeLink();
    // nothing connects meanwhile. A front end does this while it asks the
    // user for settings. After a refused sign-in, resumeLink() tries again
    // at the usual pace; otherwise it connects anew as after the settings.
    void suspendLink();
    void resumeLink();
    // A whole record, checked by the core's validation: the first problem
    // (field, code, text), or nothing when it is in force and, with `save`,
    // written to the settings file (a file that cannot be written is the
    // problem NotWritten, and nothing changed). What the camera is connected
    // with, changed, builds the link anew.
    std::optional<SettingsProblem> applySettings(const CameraSettings& record, bool save = true);
    // The settings file read again and applied. Throws SettingsReadError
    // (and changes nothing) when it cannot be read.
    void reloadSettings();
    // Alarm e-mails may be sent again (a person looked at the program).
    void armAlarmMail();
    // Ends everything: a running recording is written to its file, the
    // timers stop, the link closes and both workers are told to end.
    void close();
    // Whether anybody looks at the preview: the screen (a window shown;
    // default: yes) or a web viewer (default: no). While nobody does,
    // pictures are decoded only as far as motion detection needs them, and
    // previewUpdated is not emitted.
    enum class PreviewTaker : uint8_t { Screen, Web };
    void setPreviewWanted(bool wanted, PreviewTaker taker = PreviewTaker::Screen);
    // Whether a front end takes the live video's packets (videoPacket);
    // default: no, and then none is copied.
    void setLiveVideoWanted(bool wanted) { liveVideoWanted_ = wanted; }

    // ------------------------------------------------------------ state
    const EngineState& state() const;
    // The settings in force, a copy to edit and apply.
    CameraSettings settings() const;
    // The newest picture from a JPEG camera, as it sent it (null before one came).
    std::shared_ptr<const std::vector<uint8_t>> lastPicture() const { return lastPicture_; }
    const QImage& preview() const;
    // A view that shows pictures from memory of its own making hands the
    // decoder its allocator; null goes back to ordinary images.
    void setPreviewAllocator(std::function<QImage(QSize)> allocator);
    const std::string& fallbackDirectory() const { return fallbackDirectory_; }
    // Whether the settings file is there (it may be deleted while the
    // program runs: a dialog then shows the first-run values).
    bool hasSettingsFile() const;
    const Clock& clock() const { return *clock_; }
    // The seconds the pre-roll holds when its bound in bytes cuts it short.
    int prerollKeptSeconds() const;
    bool closed() const { return closed_; }

    // Parts, for tests and benchmarks only: front ends use the above.
    MainController& controller() { return *controller_; }
    WorkerShared& shared() { return shared_; }
    SettingsStore& store() { return *store_; }
    TEmailThread& emailThread() { return *emailThread_; }
    QTimer* timer(TimerId id) { return timers_.at(id); }
    QTimer* linkTimer() { return linkTimer_; }
    MainHost& host() { return *this; }

signals:
    void stateChanged();
    void engineEvent(const ipcam::EngineEvent& e);
    // A new picture is in preview().
    void previewUpdated();
    // A whole picture from a JPEG camera, as it sent it (see lastPicture()).
    void pictureArrived(std::shared_ptr<const std::vector<uint8_t>> jpeg);
    void fileFinished(const ipcam::FinishedFile& file);
    // A video packet of the stream the preview shows, of the tracks in
    // state().liveVideo, as the camera sent it: one copy shared by every
    // taker, never changed. Emitted only while setLiveVideoWanted(true).
    void videoPacket(std::shared_ptr<const ipcam::MediaPacket> packet);

private:
    // MainHost
    void startTimer(TimerId id, int intervalMs) override;
    void stopTimer(TimerId id) override;
    void setTimerInterval(TimerId id, int intervalMs) override;
    int64_t linkNow() const override;
    void wakeLinkAt(int64_t at) override;
    void post(std::function<void()> task) override;
    void publishState() override { emit stateChanged(); }
    void publishEvent(const EngineEvent& e) override;
    void previewChanged() override { emit previewUpdated(); }
    void publishPicture(const std::vector<uint8_t>& jpeg) override;
    void publishFile(const FinishedFile& file) override { emit fileFinished(file); }
    void publishVideo(const MediaPacket& packet) override {
        if (liveVideoWanted_) emit videoPacket(std::make_shared<const MediaPacket>(packet));
    }

    int scaled(int intervalMs) const;
    // Runs a timer's, the socket's or a posted handler; an error escaping it
    // is logged and reported as an event, and the engine goes on.
    void guarded(const std::function<void()>& handler);
    void logEvent(const EngineEvent& e);
    // The oldest posted task (see post), run guarded.
    void runPosted();

    // Tasks posted from any thread, handed over under this lock (not only
    // through Qt's queue): what a worker built for the task is the engine
    // thread's once it takes it. First, so that they outlive every member
    // that owns a thread which may post.
    std::mutex postedMutex_;
    std::deque<std::function<void()>> posted_;
    EngineOptions options_;
    std::string fallbackDirectory_;
    WorkerShared shared_;
    std::unique_ptr<SystemClock> systemClock_;
    const Clock* clock_;
    std::unique_ptr<FreeSpaceQuery> ownFreeSpace_;
    std::unique_ptr<SettingsStore> store_;
    std::unique_ptr<QtCameraSocket> socket_;
    std::unique_ptr<QtCameraSocket> previewSocket_;  // the preview stream's (Camera_Preview_URL)
    std::unique_ptr<TICMPThread> pingThread_;
    std::unique_ptr<TEmailThread> emailThread_;
    std::unique_ptr<HttpStartPageFetcher> startPage_;
    std::unique_ptr<MainController> controller_;
    std::map<TimerId, QTimer*> timers_;
    QTimer* linkTimer_ = nullptr;  // wakes the link machine
    QElapsedTimer linkClock_;
    QTimer* retentionTimer_ = nullptr;  // hourly: recordings older than Keep_Days go
    std::shared_ptr<const std::vector<uint8_t>> lastPicture_;
    bool closed_ = false;
    bool liveVideoWanted_ = false;
    bool screenWantsPreview_ = true;
    bool webWantsPreview_ = false;
};

}  // namespace ipcam

#pragma once
// The recording engine: everything that runs, without a window. It owns the
// settings store and slot 0's record (through MainController), the camera
// socket and start-page probe, the eight timers and the hourly retention
// timer, the ping and e-mail workers and the recorder with its thread.
// Front ends (the main window, the headless service) give it commands and
// render what it emits; they hold no state of the engine's.
//
// Every signal is emitted on the engine's thread when the thing happens.
// `warningRaised` is only ever emitted from the event loop (never inside a
// socket or timer handler), so a front end may open a modal box in its slot.
// `setupDialogRequested` expects the dialog to have been run and closed when
// its (directly connected) slot returns; unattended engines never emit it.

#include <QImage>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "engine/main_controller.h"
#include "engine/main_host.h"
#include "base/clock.h"
#include "base/worker_shared.h"

namespace ipcam {

class QtCameraSocket;
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
    // A person answers boxes and the setup dialog (see ControllerDeps).
    bool attended = true;
    // The alarm e-mail's failure box, opened on the engine's thread; `closed`
    // is called once it has been closed. Empty: the text is logged and the
    // e-mail worker goes on at once.
    std::function<void(const std::string& text, const std::string& reason, std::function<void()> closed)>
        openAlarmWarning;
};

// One of the five buttons: on show, and usable.
struct ControlState {
    bool visible = true;
    bool enabled = true;
};

class RecorderEngine final : public QObject, private MainHost {
    Q_OBJECT
public:
    explicit RecorderEngine(EngineOptions options, QObject* parent = nullptr);
    ~RecorderEngine() override;

    // Commands.
    void activate();      // the start sequence (the window's activation)
    void record();        // Record
    void stop();          // Stop
    void reload();        // Reload
    void openSettings();  // Settings: ends the link, runs the setup dialog, connects anew
    void openPlayback();  // PlayBack
    void saveSettings();  // the record as the dialogs left it: written, applied, published
    // Unattended: the settings file read again and the camera connected anew,
    // as after the setup dialog's Save. Throws SettingsReadError (and changes
    // nothing) when the file cannot be read.
    void reloadSettings();
    // Ends everything: a running recording is written to its file, the
    // timers stop, the link closes and both workers are told to end.
    void close();
    // Whether anybody looks at the preview (default: yes). While nobody
    // does (no window shown, no viewer), pictures are decoded only as far as
    // motion detection needs them, and previewUpdated is not emitted.
    void setPreviewWanted(bool wanted);

    // State, as last emitted.
    QString linkInfo() const { return linkInfo_; }
    QString previewInfo() const { return previewInfo_; }
    QString diskSpace() const { return diskSpace_; }
    bool pleaseWaitVisible() const override { return pleaseWaitVisible_; }
    QString pleaseWaitText() const { return pleaseWaitText_; }
    ControlState control(Control c) const { return controls_[static_cast<size_t>(c)]; }
    int buttonsMode() const { return controller_->buttonsMode(); }
    bool linkUp() const { return controller_->link().LinkUp; }
    const QImage& preview() const { return controller_->preview(); }
    // A view that shows pictures from memory of its own making hands the
    // decoder its allocator; null goes back to ordinary images.
    void setPreviewAllocator(JpegDecoder::ImageAllocator allocator) {
        controller_->setPreviewAllocator(std::move(allocator));
    }
    bool closed() const { return closed_; }

    // Parts, for the dialogs, the playback window and tests.
    MainController& controller() { return *controller_; }
    WorkerShared& shared() { return shared_; }
    SettingsStore& store() { return *store_; }
    const Clock& clock() const { return *clock_; }
    TEmailThread& emailThread() { return *emailThread_; }
    QTimer* timer(TimerId id) { return timers_.at(id); }
    // The seam the controller drives (timers, texts, buttons); front ends
    // never use it, tests look at the timers through it.
    MainHost& host() { return *this; }
    const std::string& fallbackDirectory() const { return fallbackDirectory_; }

signals:
    void linkInfoChanged(const QString& text);
    void previewInfoChanged(const QString& text);
    void diskSpaceChanged(const QString& text);
    void pleaseWaitChanged(bool visible, const QString& text);
    void controlChanged(ipcam::Control control, bool visible, bool enabled);
    void previewUpdated();  // a new picture is in preview()
    void layoutChanged(int resolution);
    void linkChanged(bool up);
    // kind: 1 Manual, 2 Daily, 4 Motion; 0 when the recorder went idle.
    void recordingChanged(int kind);
    // A recording file was finished: saved under `path`, or not.
    void fileFinished(const QString& path, int pictures, int kind, bool saved);
    // Recordings go into `folder`; `missing` names the settings' folder while
    // it is not there (unattended only; empty otherwise).
    void folderChanged(const QString& folder, const QString& missing);
    // A "Warning!" box's text (already in the activity log).
    void warningRaised(const QString& text);
    // An error escaped a handler (already in the activity log).
    void handlerFailed(const QString& text);
    void setupDialogRequested();
    void setupDialogCaptionChanged(const QString& caption);
    void setupDialogFillRequested();
    void playbackWindowRequested();
    // The program is to end (the third rejected password, once its box closed).
    void closeRequested();

private:
    // MainHost
    void setControlVisible(Control c, bool visible) override;
    void setControlEnabled(Control c, bool enabled) override;
    void setLinkInfo(const std::string& text) override;
    void setPreviewInfo(const std::string& text) override;
    void setDiskSpace(const std::string& text) override;
    void setPleaseWait(bool visible, const std::string& text) override;
    void startTimer(TimerId id, int intervalMs) override;
    void stopTimer(TimerId id) override;
    void setTimerInterval(TimerId id, int intervalMs) override;
    void showWarning(const std::string& text) override;
    void post(std::function<void()> task) override;
    void showSetupDialog() override;
    void setSetupDialogCaption(const std::string& caption) override;
    void fillSetupDialogFromRecord() override;
    void showPlaybackWindow() override;
    void applyLayout(uint8_t resolution) override;
    void previewChanged() override;
    void closeMainWindow() override;
    void linkStateChanged(bool up) override;
    void recordingStateChanged(uint8_t kind) override;
    void recordingFinished(const RecordingFileReport& report) override;
    void recordingFolderChanged(const std::string& folder, const std::string& missing) override;

    void controlUpdated(Control c);
    int scaled(int intervalMs) const;
    // Runs a timer's, the socket's or a posted handler; an error escaping it
    // is logged and reported from the event loop, and the engine goes on.
    void guarded(const std::function<void()>& handler);

    EngineOptions options_;
    std::string fallbackDirectory_;
    WorkerShared shared_;
    std::unique_ptr<SystemClock> systemClock_;
    const Clock* clock_;
    std::unique_ptr<FreeSpaceQuery> ownFreeSpace_;
    std::unique_ptr<SettingsStore> store_;
    std::unique_ptr<QtCameraSocket> socket_;
    std::unique_ptr<TICMPThread> pingThread_;
    std::unique_ptr<TEmailThread> emailThread_;
    std::unique_ptr<HttpStartPageFetcher> startPage_;
    std::unique_ptr<MainController> controller_;
    std::map<TimerId, QTimer*> timers_;
    QTimer* retentionTimer_ = nullptr;  // hourly: recordings older than Keep_Days go
    std::array<ControlState, 5> controls_{};
    QString linkInfo_, previewInfo_, diskSpace_, pleaseWaitText_;
    bool pleaseWaitVisible_ = false;
    bool closed_ = false;
};

}  // namespace ipcam

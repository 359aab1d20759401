#pragma once
// The main window's behaviour without the window: start sequence, buttons,
// what the camera source reports, and the link's state machine. It owns the
// camera session, the camera source, slot 0's settings, the preview picture
// and the recorder; it reaches the front ends, the socket and the workers
// through seams.

#include <QImage>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/activity_log.h"
#include "base/drop_report.h"
#include "engine/main_host.h"
#include "base/worker_shared.h"
#include "camera/camera_socket.h"
#include "camera/camera_source.h"
#include "camera/jpeg_decoder.h"
#include "camera/ping_control.h"
#include "camera/start_page.h"
#include "camera/status_line.h"
#include "engine/link_machine.h"
#include "recording/recorder.h"
#include "base/camera_settings.h"
#include "settings/settings_store.h"
#include "settings/settings_validation.h"

namespace ipcam {

// The link's and the preview's run-time state, the controller's own (the
// attempts and the watchdog are the link machine's). Every item starts at
// zero.
struct LinkSession {
    bool LinkUp = false;
    int PasswordFailures = 0;
    std::vector<uint8_t> FrameBuffer;
    uint32_t PreviewFrames = 0;
    uint32_t PreviewSeconds = 0;
};


struct ControllerDeps {
    MainHost& host;
    CameraSocket& socket;
    PingControl& ping;
    StartPageFetcher& startPage;
    SettingsStore& store;
    const Clock& clock;
    FreeSpaceQuery& freeSpace;
    WorkerShared& shared;
    // Motion alarm: write the snapshot and wake the mailer (when enabled and armed).
    std::function<void(const std::vector<uint8_t>& picture)> raiseAlarm;
    // The fallback recording directory: the working directory at start-up.
    std::string fallbackDirectory;
    // The preview stream's connection (Camera_Preview_URL) when it is an
    // MJPEG camera; none: such a preview stream is not used.
    CameraSocket* previewSocket = nullptr;
};

class MainController : private CameraSourceListener, private LinkMachine::Steps, private RecorderHost {
public:
    explicit MainController(ControllerDeps deps);
    ~MainController() override;

    // Commands.
    // The start sequence: the settings read (written with the first-run
    // values when there is no file), the recording folder and the disk
    // checked, and the camera connected.
    void start();
    // Ends everything: a running recording is written to its file.
    void close();
    void record();     // a Manual recording (while the link is up)
    void stop();       // stops what records
    void reconnect();  // the link built anew (Reload)
    // Ends the link (and a running recording) until resume(): nothing
    // connects meanwhile. After a refused sign-in, resume() tries again at
    // the usual pace; otherwise it connects anew as after the settings.
    void suspend();
    void resume();
    bool suspended() const { return suspended_; }
    // A whole record, checked: the first problem found, or nothing when it
    // is in force (and written to the settings file when `save`). A change
    // of what the camera is connected with builds the link anew.
    std::optional<SettingsProblem> applySettings(const CameraSettings& record, bool save);
    // Alarm e-mails may be sent again (the window was activated).
    void armAlarmMail();

    // Timers.
    void statusTick();  // the one-second status tick
    // Unattended, while the recording folder is missing: is it there again?
    void folderCheck();
    static constexpr int kDirectoryCheckMs = 30000;
    // The link's time has come (see LinkTiming).
    void linkWake() { machine_.wake(); }

    // Settings of slot 0: load from the settings file; publish to the workers.
    void loadSettings();
    void publishSettings();

    // The state front ends see.
    const EngineState& state() const { return state_; }
    // The settings in force as the user set them (the recording folder of
    // the settings also while it is missing).
    CameraSettings settingsCopy() const;
    LinkSession& link() { return link_; }
    const LinkSession& link() const { return link_; }
    const LinkMachine& linkMachine() const { return machine_; }
    // The source for the settings' camera (made anew when Camera_URL
    // changed); null when Camera_URL cannot be used.
    CameraSource* source() const;
    // The status line's counters as they stand.
    StatusCounters statusCounters() const;
    const CameraSettings& settings() const { return settings_; }
    const QImage& preview() const { return preview_; }
    // Whether anybody looks at the preview (a shown window, a viewer); while
    // nobody does, pictures are decoded only as far as motion detection
    // needs them and preview() keeps the last shown picture. Default: true.
    void setPreviewWanted(bool wanted);
    bool previewWanted() const { return previewWanted_; }
    // Where the preview's pictures are decoded into (see JpegDecoder), on
    // this thread and on the RTSP readers' (any thread may call it, also
    // after it is replaced). Null: back to ordinary images; the picture on
    // show is copied out of the memory the allocator gave.
    void setPreviewAllocator(JpegDecoder::ImageAllocator allocator) {
        if (!allocator && !preview_.isNull()) preview_ = preview_.copy();
        allocator_ = allocator;
        decoder_.setImageAllocator(std::move(allocator));
    }
    Recorder& recorder() { return *recorder_; }
    const std::string& fallbackDirectory() const { return deps_.fallbackDirectory; }

private:
    // LinkMachine::Steps
    void linkStep(LinkStep step) override;
    void linkWatchdogExpired() override;
    void offlineRetry();
    // CameraSourceListener
    void sourceConnected(const SourceConnected& connected) override;
    void sourcePicture(std::vector<uint8_t>& picture) override;
    void sourcePacket(MediaPacket& packet, QImage& preview, QSize shown) override;
    SourceDecoding sourceDecoding() const;
    void sourceRead(const CameraStream::Drops& drops) override;
    void sourceStopped(const SourceStopped& stopped) override;
    // The preview stream (Camera_Preview_URL): started and stopped with the
    // link; while it runs, the preview and motion detection take its
    // pictures and the main stream is only recorded. When it stops for any
    // reason the main stream is the preview's again until the link's next
    // connection; the link and the recording never hear of it.
    class PreviewStreamListener final : public CameraSourceListener {
    public:
        explicit PreviewStreamListener(MainController& c) : c_(c) {}
        void sourceConnected(const SourceConnected&) override {}
        void sourcePicture(std::vector<uint8_t>& jpeg) override { c_.previewStreamPicture(&jpeg, nullptr, {}); }
        void sourcePacket(MediaPacket& packet, QImage& picture, QSize shown) override {
            if (c_.previewStream_ && c_.link_.LinkUp) c_.liveVideoPacket(packet);
            c_.previewStreamPicture(nullptr, &picture, shown);
        }
        void sourceRead(const CameraStream::Drops&) override {}
        void sourceStopped(const SourceStopped& stopped) override { c_.previewStreamFailed(stopped.detail); }

    private:
        MainController& c_;
    };
    void startPreviewStream();
    void stopPreviewStream();
    void previewStreamPicture(std::vector<uint8_t>* jpeg, QImage* picture, QSize shown);
    void previewStreamFailed(const std::string& detail);
    // A video packet of the stream the preview shows: its tracks are the
    // live video's, and it is offered to the front ends. The live video
    // ends when that stream does or another one is shown.
    void liveVideoPacket(const MediaPacket& packet);
    void endLiveVideo();
    // What motion detection reads of the preview stream's newest picture,
    // once (no pixels when no new one came since).
    PixelView takePreviewStreamView();
    SourceDecoding previewDecoding() const;
    void linkLost(const SourceStopped& stopped);
    void wrongPassword(const std::string& message);
    void emitEvent(EngineCode code, const std::string& detail = {}, int attempt = 0);
    void changed() { host_.publishState(); }
    // The link's state, and why it is not up.
    void setLink(LinkState link, EngineCode problem = EngineCode::None, const std::string& detail = {});
    // What the status line under the preview says.
    void setStatusNote(EngineState::StatusNote note, EngineCode problem = EngineCode::None,
                       const std::string& detail = {});
    void setStatusCounters(const StatusCounters& shown);
    void countersChanged(const std::optional<StatusCounters>& shown);
    void setFolder(const std::string& missing);
    // The main command on offer: 0 Record, 1 Stop, 2 Reconnect; and whether
    // the settings may be changed now.
    void refreshButtons(int mode);
    void allowSettings(bool allowed);
    void setWait(LinkWait wait);
    void showFreeSpace();
    void endRecording();
    void retryAfterRefusal();
    void connectAfterSettings();
    void pictureStart(std::vector<uint8_t>& picture);
    // The camera's connection, whichever kind it is.
    void openLink();
    void closeLink();
    // The camera answered with something that is no picture stream.
    void streamFailed(const std::string& text);
    void setLinkUp(bool up);
    // The activity log's account of the link (its lines only; the link's
    // own state is link_): "Link up" once a connection's first picture (or
    // an RTSP session) was accepted; each end of a connection once, as a
    // loss with `lost` when it had come up, else as `failed`; while no link
    // comes up each such reason once and its repeats at debug level.
    void logLinkUp();
    void logLinkEnd(const std::string& lost, const std::string& failed);
    void logNoLink(const std::string& reason);
    void logLinkClosed(const char* why);
    // What the stream and the disk queue dropped, into the log's reports;
    // buffer room grown for hostile input given back once pictures come again.
    void countStreamDrops(const CameraStream::Drops& d);
    void countDiskDrops();
    int64_t nowSeconds() const;
    void releaseSpareBuffers();
    void useRecordingFolder();
    void enterOffline();
    void showPleaseWait();
    // Where the camera's stream is, and "host:port" or the address for the log.
    std::string connectHost() const;
    std::string endpoint() const;
    void restartPing();
    void cameraAnswered(const std::string& title);

    // RecorderHost
    void recordingStateChanged(uint8_t kind) override;
    void resetPreviewCounters() override;
    void recordingFinished(const RecordingFileReport& report) override;
    void setFreeSpace(uint32_t mb) override;
    void showWarning(RecorderWarning kind, const std::string& text) override;
    void motionSuspended(bool suspended) override;
    void startStatusTimer() override;
    void raiseAlarm(const std::vector<uint8_t>& picture) override;

    ControllerDeps deps_;
    MainHost& host_;
    LinkMachine machine_;
    LinkSession link_;
    EngineState state_;
    CameraSettings settings_;
    QImage preview_;
    JpegDecoder decoder_;
    // A coded camera's pictures go on show as they come: an RTSP reader
    // writes them into the allocator's images already (given to it at each
    // start), so that a display takes them as it takes decoded JPEGs.
    void showCoded(QImage& picture);
    JpegDecoder::ImageAllocator allocator_;
    bool previewWanted_ = true;
    // While the preview is not wanted: the picture motion detection reads,
    // held smaller than the preview of samplesShown_ it stands for.
    QImage samples_;
    QSize samplesShown_;
    // The camera source, made for `sourceUrl_`; why none when it could not be.
    mutable std::unique_ptr<CameraSource> source_;
    mutable bool sourceMade_ = false;
    mutable std::string sourceUrl_;
    mutable std::string sourceError_;
    // The preview stream, made for `previewSourceUrl_`; whether its
    // pictures are the preview's now (it runs), and whether its newest one
    // is new to motion detection and only sampled (in samples_, else in
    // preview_). A failure said is not said again until it works.
    PreviewStreamListener previewListener_{*this};
    CameraSettings previewSettings_;
    std::unique_ptr<CameraSource> previewSource_;
    std::string previewSourceUrl_;
    bool previewStream_ = false;
    bool previewFresh_ = false;
    bool previewSampled_ = false;
    bool previewFailureSaid_ = false;
    int previewQuietSeconds_ = -1;  // status ticks since its last picture (-1: none yet)
    static constexpr int kPreviewSilenceSeconds = 10;
    QImage mainChecked_;  // a legacy main picture decoded only to be recorded
    const char* retryReason_ = nullptr;  // why the next attempt after a loss comes, when the usual words are not true
    std::unique_ptr<Recorder> recorder_;
    bool partialFilesChecked_ = false;
    bool started_ = false;
    bool suspended_ = false;
    bool resumeAfterRefusal_ = false;
    // The settings' recording folder, and whether it is missing.
    std::string configuredDirectory_;
    bool folderMissing_ = false;
    // The link's log: see logLinkUp().
    bool linkLogged_ = false;
    bool connectionEnded_ = false;  // the end of this connection was logged
    std::vector<std::string> reasonsSaid_;  // since the last link up
    // A picture was decoded during the read being handled.
    bool pictureDecoded_ = false;
    // A picture that could not be shown was logged (once a connection).
    bool notShownSaid_ = false;
    DropReport oversizedParts_{lcLink, "Picture parts over 16 MiB from the camera"};
    DropReport longHeaders_{lcLink, "Part headers over 16 KiB from the camera"};
    DropReport noBoundary_{lcLink, "Stretches of 16 MiB without a picture boundary from the camera"};
    DropReport noPicture_{lcLink, "Parts without a picture from the camera"};
    DropReport diskDrops_{lcRecording, "Pictures the disk queue had no room for"};
    uint64_t diskDropsSeen_ = 0;
};

}  // namespace ipcam

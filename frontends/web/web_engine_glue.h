#pragma once
// The web page's one tie to the recording engine: it turns what the engine
// says into the shared WebState (on the engine's thread, never waiting), and
// hands the page's commands to the engine's thread. Both front ends start
// the web page through startFromSettings.

#include <QObject>
#include <QTimer>

#include <memory>
#include <string>

#include "frontends/web/web_server.h"
#include "frontends/web/web_state.h"

namespace ipcam {

class RecorderEngine;

class WebEngineGlue final : public QObject {
    Q_OBJECT
public:
    struct Options {
        bool unattended = false;  // the headless service: new settings connect the camera anew
        std::string logFile;      // the activity log shown on the log page
    };
    // The web page as the engine's settings ask for it (Web_Address and the
    // rest); null when it is off or cannot start (the log says why).
    static std::unique_ptr<WebEngineGlue> startFromSettings(RecorderEngine& engine, Options options);
    // After the settings were read again: the page restarted when its own
    // settings changed (started, or ended, as they now ask).
    static void followSettings(std::unique_ptr<WebEngineGlue>& web, RecorderEngine& engine, Options options);

    // `server` options other than the engine's; the server is not started.
    WebEngineGlue(RecorderEngine& engine, Options options, WebServerOptions server);
    ~WebEngineGlue() override;

    bool start(std::string* error);
    WebServer& server() { return *server_; }
    WebState& state() { return state_; }

private:
    void refreshStatus();
    void refreshSettings();
    void previewShown();
    void followViewers();
    void askPicture();
    std::optional<SettingsProblem> applySettings(const CameraSettings& record);

    RecorderEngine& engine_;
    Options options_;
    std::string startedWith_;  // the web page's own settings it started with
    // The link's words and host as last seen, and as shown (masked).
    std::string linkWords_, cameraHost_, linkText_, shownHost_;
    WebState state_;
    std::unique_ptr<WebServer> server_;
    QTimer tick_;
    int64_t lastJpegMs_ = -1000000;  // when the camera last sent a JPEG of its own
    int64_t lastEncodedMs_ = 0;
    static constexpr int64_t kPictureIntervalMs = 100;  // a picture viewer's pictures made from the preview
    bool pictureAsked_ = false;  // a snapshot waits for the next preview picture
    bool previewAsked_ = false;  // the preview is decoded for the page's viewers
    std::shared_ptr<const MediaTracks> liveTracks_;  // the live video offered
};

// The activity log's file, for the log page (set once at start-up).
void setWebLogFile(const std::string& path);
const std::string& webLogFile();

}  // namespace ipcam

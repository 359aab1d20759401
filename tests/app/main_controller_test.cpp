#include <gtest/gtest.h>

#include <QFile>

#include <malloc.h>
#include <algorithm>
#include <cstdlib>
#include <sys/stat.h>

#include "app_fakes.h"
#include "camera/status_line.h"
#include "support/log_capture.h"

namespace ipcam::apptest {
namespace {

// ------------------------------------------------------------ start sequence

// The largest difference of one colour channel between two images of one size.
int largestDifference(const QImage& a, const QImage& b) {
    if (a.size() != b.size()) {
        return 256;
    }
    int most = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            most = std::max({most, std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                             std::abs(qBlue(p) - qBlue(q))});
        }
    }
    return most;
}

TEST(StartSequence, FirstRunWritesOwnerOnlySettingsAndWaitsForTheCamera) {
    Rig rig(/*writeSettings=*/false);
    rig.controller->start();

    ASSERT_TRUE(rig.store.exists());
    struct stat st {};
    ASSERT_EQ(::stat(rig.store.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(rig.host.count(EngineCode::FirstRun), 1);
    EXPECT_EQ(rig.controller->settings().hostAddress, "192.168.0.114");
    EXPECT_EQ(rig.controller->settings().resolution, 1);
    EXPECT_EQ(rig.host.linkInfo(), "Connecting to IP CAM (192.168.0.114) ......");
    EXPECT_TRUE(rig.host.pleaseWait());
    EXPECT_EQ(rig.host.pleaseWaitText(), "Please wait a moment!");
    EXPECT_TRUE(rig.pending(LinkStep::Connect));
    EXPECT_EQ(rig.machine().pendingIn(), 5000);
    EXPECT_FALSE(rig.state().settingsAllowed);
    EXPECT_EQ(rig.host.diskSpace(), "Free Space :10240M Bytes.");
    EXPECT_EQ(rig.ping.restarts, 1);
    // Nothing was opened: the first connection waits for the ping worker.
    EXPECT_TRUE(rig.socket.opens.empty());
    EXPECT_TRUE(rig.startPage.asked.empty());

    // The file deleted while the program runs: the next first run starts
    // from an empty record, not from what the old file held.
    CameraSettings edited = rig.controller->settingsCopy();
    edited.motionSensitivity = 5;
    edited.smtpServer = "old.example";
    ASSERT_FALSE(rig.controller->applySettings(edited, /*save=*/false));
    ASSERT_TRUE(QFile::remove(QString::fromStdString(rig.store.path())));
    rig.controller->start();
    EXPECT_EQ(rig.controller->settings().motionSensitivity, 0);
    EXPECT_EQ(rig.controller->settings().smtpServer, "");
}

// The engine records into the fallback folder at once and says so; the
// settings keep the folder until a front end applies another.
TEST(StartSequence, MissingRecordingDirectoryFallsBackToTheWorkingDirectory) {
    Rig rig;
    CameraSettings s;
    rig.store.load(s);
    const std::string gone = rig.dir.filePath("gone").toStdString();
    s.aviDirectory = gone;
    rig.store.save(s);

    rig.controller->start();
    ASSERT_EQ(rig.host.warnings.size(), 1u);
    EXPECT_EQ(rig.host.warnings[0], "Directory for AVI recording is not available!");
    EXPECT_EQ(rig.state().folder.inUse, rig.dir.path().toStdString());
    EXPECT_EQ(rig.state().folder.missing, gone);
    EXPECT_EQ(rig.controller->settingsCopy().aviDirectory, gone);
    CameraSettings saved;
    rig.store.load(saved);
    EXPECT_EQ(saved.aviDirectory, gone);

    // What the window does after its box: the fallback saved for good.
    CameraSettings fallback = rig.controller->settingsCopy();
    fallback.aviDirectory = rig.dir.path().toStdString();
    ASSERT_FALSE(rig.controller->applySettings(fallback, /*save=*/true));
    EXPECT_TRUE(rig.state().folder.missing.empty());
    rig.store.load(saved);
    EXPECT_EQ(saved.aviDirectory, rig.dir.path().toStdString());
}

// A camera given by its URL is never pinged, not even at the host that the
// legacy field still names, from the first activation to a lost link.
TEST(StartSequence, AUrlCameraIsNeverPinged) {
    Rig rig(/*writeSettings=*/false);
    CameraSettings s;
    applyFirstRunDefaults(s, rig.dir.path().toStdString());
    s.cameraUrl = "http://127.0.0.1:8080/stream";
    rig.store.save(s);
    rig.controller->start();
    rig.step();
    ASSERT_EQ(rig.socket.opens.size(), 1u);
    EXPECT_EQ(rig.socket.opens[0], std::make_pair(std::string("127.0.0.1"), uint16_t(8080)));
    rig.socketError();
    rig.step();
    EXPECT_EQ(rig.ping.restarts, 0);
    EXPECT_GE(rig.ping.suspends, 1);
}

TEST(Buttons, RecordWhileLinkDownDoesNothingStopStillClearsCounters) {
    Rig rig;
    rig.controller->start();
    rig.link().PreviewFrames = 7;
    rig.link().PreviewSeconds = 3;
    rig.rec().SpaceConfirmed = true;
    rig.controller->record();
    EXPECT_FALSE(rig.rec().ManualRequest);
    rig.controller->stop();
    EXPECT_FALSE(rig.rec().StopRequest);
    EXPECT_EQ(rig.link().PreviewFrames, 0u);
    EXPECT_EQ(rig.link().PreviewSeconds, 0u);
    EXPECT_FALSE(rig.rec().SpaceConfirmed);
}

TEST(Buttons, StopDuringDailyRecordingLatchesTheBlock) {
    Rig rig;
    CameraSettings s;
    rig.store.load(s);
    s.schedule.at(1, 10) = 1;  // Monday, 10:00 to 11:00
    rig.store.save(s);
    rig.clock.current = makeDateTime(2006, 10, 9, 10, 20, 0);  // a Monday
    rig.connect();
    rig.read(makeJpeg(16, 16, Qt::red));
    rig.read(makeJpeg(16, 16, Qt::red));
    ASSERT_EQ(rig.state().recordingKind, kDaily);
    rig.controller->stop();
    EXPECT_TRUE(rig.rec().StopRequest);
    EXPECT_TRUE(rig.rec().BlockHandled);
    EXPECT_EQ(rig.rec().BlockHandledTime.hour, 10);
    EXPECT_EQ(rig.host.buttonMode(), 0);
}

// ------------------------------------------------------------ stream reader

TEST(StreamReader, ConnectSendsTheRequestAndStartsTheTimers) {
    Rig rig;
    rig.controller->start();
    rig.open();
    rig.tcpUp();
    ASSERT_EQ(rig.socket.sent.size(), 1u);
    EXPECT_EQ(rig.socket.sent[0], "GET /Webcam.jpg?Pass=pxwqe&V=1&F=2&Q=2&B=2&U=0 HTTP/1.0\r\n");
    EXPECT_TRUE(rig.link().LinkUp);
    EXPECT_TRUE(rig.host.isRunning(TimerId::StatusTick));
    EXPECT_TRUE(rig.machine().watching());
}

TEST(StreamReader, PicturesAreCutAtPictureStartsWhateverTheChunking) {
    Rig rig;
    rig.connect();
    auto a = makeJpeg(320, 240, Qt::red);
    auto b = makeJpeg(160, 120, Qt::blue);
    const std::vector<uint8_t> boundary(kBoundaryLine.begin(), kBoundaryLine.end());

    // The first picture start finds nothing collected: counted, nothing shown.
    rig.read(std::vector<uint8_t>(a.begin(), a.begin() + 10));
    EXPECT_EQ(rig.link().PreviewFrames, 1u);
    EXPECT_EQ(rig.host.previewRepaints, 0);
    // The rest of picture a in uneven pieces, then its boundary line, itself
    // split.
    size_t pos = 10;
    for (size_t step : {1u, 7u, 300u, 2u}) {
        rig.read(std::vector<uint8_t>(a.begin() + pos, a.begin() + pos + step));
        pos += step;
    }
    rig.read(std::vector<uint8_t>(a.begin() + pos, a.end()));
    rig.read(std::vector<uint8_t>(boundary.begin(), boundary.begin() + 3));
    EXPECT_TRUE(rig.controller->preview().isNull());
    // The read that ends with its boundary line completes picture a: it is
    // handed over at once, not when picture b begins.
    rig.read(std::vector<uint8_t>(boundary.begin() + 3, boundary.end()));
    std::vector<uint8_t> expected = a;
    expected.insert(expected.end(), boundary.begin(), boundary.end());
    EXPECT_EQ(rig.link().FrameBuffer, expected);
    EXPECT_EQ(rig.controller->preview().size(), QSize(320, 240));
    // On the 320x240 panel a 320x240 picture is decoded at full size, as a
    // full-size decode gives it but for the rounding of libjpeg's faster paths.
    QImage full;
    ASSERT_TRUE(JpegDecoder().decode(a.data(), a.size(), full));
    EXPECT_LE(largestDifference(rig.controller->preview(), full), 8);
    EXPECT_EQ(rig.host.previewRepaints, 1);
    EXPECT_EQ(rig.link().PreviewFrames, 2u);
    EXPECT_EQ(rig.machine().watchdog(), 60);
    rig.read(b);  // picture b begins: nothing more to hand over
    EXPECT_EQ(rig.link().PreviewFrames, 2u);

    // b's boundary, a whole picture a and the start of another a in one read:
    // each picture alone, with its own boundary line.
    std::vector<uint8_t> joined = boundary;
    joined.insert(joined.end(), a.begin(), a.end());
    joined.insert(joined.end(), boundary.begin(), boundary.end());
    joined.insert(joined.end(), a.begin(), a.begin() + 5);
    rig.read(joined);
    EXPECT_EQ(rig.link().PreviewFrames, 4u);
    EXPECT_EQ(rig.host.previewRepaints, 3);
    EXPECT_EQ(rig.link().FrameBuffer, expected);
    EXPECT_EQ(rig.collected(), std::vector<uint8_t>(a.begin(), a.begin() + 5));
}

TEST(StreamReader, UndecodablePictureKeepsTheLastGoodOne) {
    Rig rig;
    rig.connect();
    auto good = makeJpeg(320, 240, Qt::green);
    rig.read(good);
    rig.read(good);  // shows the first
    ASSERT_EQ(rig.host.previewRepaints, 1);
    const QRgb before = rig.controller->preview().pixel(5, 5);

    std::vector<uint8_t> broken = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 0, 0};
    rig.read(broken);  // closes good #2: shown
    rig.read(good);    // closes the broken one: rejected
    EXPECT_EQ(rig.host.previewRepaints, 2);
    EXPECT_EQ(rig.controller->preview().pixel(5, 5), before);
    EXPECT_EQ(rig.link().FrameBuffer, good);
    // The collection restarted cleanly with the new chunk.
    EXPECT_EQ(rig.collected(), good);
    EXPECT_EQ(rig.link().PreviewFrames, 4u);
}

TEST(StreamReader, AHostilePictureSizeCostsNoMemoryAndIsNeitherShownNorRecorded) {
    auto good = makeJpeg(64, 48, Qt::green);
    // The same picture, its frame header claiming more pixels than taken:
    // far more, and just over 8192 x 8192.
    for (const QSize claim : {QSize(16000, 16000), QSize(8193, 8192)}) {
        SCOPED_TRACE(claim.width());
        Rig rig;
        rig.connect();
        auto hostile = good;
        size_t sof = 2;
        while (!(hostile[sof] == 0xFF && hostile[sof + 1] == 0xC0))
            sof += 2 + (hostile[sof + 2] << 8 | hostile[sof + 3]);
        for (const auto& [at, side] : {std::pair{sof + 5, claim.height()}, std::pair{sof + 7, claim.width()}}) {
            hostile[at] = static_cast<uint8_t>(side >> 8);
            hostile[at + 1] = static_cast<uint8_t>(side & 0xFF);
        }
        rig.controller->record();
        rig.read(good);
        rig.read(good);  // shown, starts the recording
        ASSERT_EQ(rig.rec().RecordKind, kManual);
        const uint32_t recorded = rig.rec().RecordFrames;
        const int repaints = rig.host.previewRepaints;

        const size_t mappedBefore = mallinfo2().hblkhd;
        rig.read(hostile);  // closes the good one
        rig.read(good);     // closes the hostile one: refused
        // Decoded at full size it would need more than 8 MiB (the preview
        // above would be scaled down): refused from its header all the same.
        QImage fullSize;
        EXPECT_FALSE(JpegDecoder().decode(hostile.data(), hostile.size(), fullSize));
        EXPECT_LT(mallinfo2().hblkhd, mappedBefore + 8 * 1024 * 1024);
        EXPECT_EQ(rig.rec().RecordFrames, recorded + 1);
        EXPECT_EQ(rig.host.previewRepaints, repaints + 1);
        EXPECT_EQ(rig.controller->preview().size(), QSize(64, 48));
        EXPECT_EQ(rig.link().FrameBuffer, good);
    }
}

TEST(StreamReader, ALargePictureIsShownAsLargeAsThePanelAndRecordedAsReceived) {
    const auto hd = makeJpeg(1920, 1080, Qt::green);
    const auto largest = makeJpeg(2592, 1944, Qt::blue);
    const auto wide = makeJpeg(4096, 958, Qt::red);
    // By the resolution setting: the whole picture fitted into the panel's
    // 640x480, 320x240 or 160x120, its aspect ratio kept.
    struct Case {
        uint8_t resolution;
        const std::vector<uint8_t>& picture;
        QSize shown;
    };
    for (const Case& c : {Case{1, hd, {320, 180}}, Case{0, hd, {640, 360}}, Case{2, hd, {160, 90}},
                          Case{1, largest, {320, 240}}, Case{0, wide, {640, 150}}}) {
        SCOPED_TRACE(int(c.resolution));
        Rig rig;
        CameraSettings s;
        rig.store.load(s);
        s.resolution = c.resolution;
        rig.store.save(s);
        rig.connect();
        rig.controller->record();
        rig.read(c.picture);
        rig.read(c.picture);  // shown, starts the recording as its first picture
        rig.read(c.picture);  // shown and recorded
        EXPECT_EQ(rig.host.previewRepaints, 2);
        EXPECT_EQ(rig.controller->preview().size(), c.shown);
        EXPECT_EQ(rig.controller->preview().format(), QImage::Format_RGB32);
        // Scaled from a smaller decode, the whole picture to its last row and column.
        QImage full;
        ASSERT_TRUE(JpegDecoder().decode(c.picture.data(), c.picture.size(), full));
        EXPECT_LE(largestDifference(rig.controller->preview(), full.scaled(c.shown, Qt::IgnoreAspectRatio,
                                                                          Qt::SmoothTransformation)),
                  8);
        EXPECT_EQ(rig.rec().RecordKind, kManual);
        EXPECT_EQ(rig.rec().RecordFrames, 2u);
        EXPECT_EQ(rig.link().FrameBuffer, c.picture);
    }
}

// While nobody looks at the preview (a headless service, a minimised
// window): motion detection still sees the picture change, every picture is
// recorded as received, and the preview is neither decoded nor repainted
// until it is wanted again.
TEST(StreamReader, AnUnwantedPreviewIsNotDecodedYetMotionIsSeenAndEveryPictureRecorded) {
    const auto green = makeJpeg(1920, 1080, Qt::green), red = makeJpeg(1920, 1080, Qt::red);
    Rig rig;
    CameraSettings s;
    rig.store.load(s);
    s.resolution = 0;
    s.motionDetectionEnabled = 1;
    s.motionSensitivity = 5;
    rig.store.save(s);
    rig.connect();
    rig.controller->setPreviewWanted(false);
    // Each picture is taken as the next one begins.
    for (int i = 0; i < 4; ++i) rig.read(green);
    rig.read(red);
    EXPECT_EQ(rig.rec().RecordKind, kNotRecording);
    rig.read(green);
    EXPECT_EQ(rig.rec().RecordKind, kMotion);
    EXPECT_EQ(rig.link().FrameBuffer, red);
    rig.read(green);
    EXPECT_EQ(rig.rec().RecordFrames, 2u);
    EXPECT_EQ(rig.link().FrameBuffer, green);
    EXPECT_EQ(rig.host.previewRepaints, 0);
    EXPECT_TRUE(rig.controller->preview().isNull());
    rig.controller->setPreviewWanted(true);
    rig.read(red);
    EXPECT_EQ(rig.host.previewRepaints, 1);
    EXPECT_EQ(rig.controller->preview().size(), QSize(640, 360));
    EXPECT_EQ(rig.rec().RecordFrames, 3u);
}

TEST(StreamReader, ChunksAfterTheLinkEndedAreDropped) {
    Rig rig;
    rig.connect();
    rig.controller->suspend();
    rig.read(makeJpeg(16, 16, Qt::red));
    EXPECT_EQ(rig.link().PreviewFrames, 0u);
    EXPECT_TRUE(rig.collected().empty());
}

TEST(StreamReader, HeaderTogetherWithPictureBytesDropsThePictureBytes) {
    Rig rig;
    rig.controller->start();
    rig.open();
    rig.tcpUp();
    auto chunk = headerChunk();
    auto pic = makeJpeg(16, 16, Qt::red);
    chunk.insert(chunk.end(), pic.begin(), pic.end());
    rig.read(chunk);
    EXPECT_TRUE(rig.collected().empty());
    EXPECT_EQ(rig.link().PreviewFrames, 0u);
    rig.read(pic);  // accepted: the pictures count
    EXPECT_EQ(rig.link().PreviewFrames, 1u);
}

TEST(StatusLine, PreviewAndRecordingRates) {
    StatusCounters s;
    s.PreviewFrames = 25;
    s.PreviewSeconds = 2;
    EXPECT_EQ(pictureStatusText(s), "Preview: 12.5 (25f/2s)");
    EXPECT_EQ(tickStatusText(s), "Preview: 12.5 (25f/2s)");
    s.RecordKind = kManual;
    EXPECT_EQ(pictureStatusText(s), "Manual Record: 0.0 (0f/0s)");
    EXPECT_EQ(tickStatusText(s), "Preview: 12.5 (25f/2s)");  // the tick rule has no zero text
    s.RecordFrames = 250;
    s.RecordSeconds = 20;
    EXPECT_EQ(pictureStatusText(s), "Manual Record: 12.5 (250f/20s)");
    s.RecordKind = kDaily | kMotion;
    EXPECT_EQ(tickStatusText(s), "Daily Record: 12.5 (250f/20s)");
    s.RecordKind = kMotion;
    s.RecordSeconds = 0;
    EXPECT_EQ(pictureStatusText(s), "Motion Record: 0.0 (0f/0s)");
    StatusCounters idle;
    EXPECT_EQ(pictureStatusText(idle), std::nullopt);
    EXPECT_EQ(formatRate(2, 3), "0.7");
    EXPECT_EQ(formatRate(1, 8), "0.1");  // 0.125
}

TEST(StatusLine, TwentyFivePicturesInTwoTicks) {
    Rig rig;
    rig.connect();
    auto pic = makeJpeg(32, 24, Qt::gray);
    for (int i = 0; i < 25; ++i) rig.read(pic);
    rig.controller->statusTick();
    rig.controller->statusTick();
    EXPECT_EQ(rig.host.previewInfo(), "Preview: 12.5 (25f/2s)");
}

// ------------------------------------------------------------ wrong password

// Each refusal is an event with its attempt; the engine itself tries the
// same settings again at the usual pace, however often.
TEST(WrongPassword, EachRefusalIsAnEventAndTheCameraIsTriedAgainAtTheUsualPace) {
    Rig rig;
    rig.controller->start();
    rig.open();
    std::vector<uint8_t> refused = {'H', 'T', 'T', 'P', '/', '1', '.', '0', ' ', '4', '0', '1'};
    for (int i = 1; i <= 5; ++i) {
        rig.tcpUp();
        rig.read(refused);
        EXPECT_EQ(rig.state().link, LinkState::Refused);
        EXPECT_EQ(rig.state().refusals, i);
        ASSERT_EQ(rig.host.events.back().code, EngineCode::SignInRefused);
        EXPECT_EQ(rig.host.events.back().attempt, i);
        // The next attempt is scheduled once the read has returned.
        EXPECT_FALSE(rig.pending(LinkStep::Connect));
        rig.host.runPosted();
        EXPECT_TRUE(rig.pending(LinkStep::Connect));
        EXPECT_EQ(rig.machine().pendingIn(), 5000);
        EXPECT_FALSE(rig.host.isRunning(TimerId::StatusTick));
        EXPECT_TRUE(rig.machine().watching());
    }
    EXPECT_EQ(rig.host.warnings, std::vector<std::string>(5, "Please enter correct password!!"));
}

TEST(WrongPassword, APictureStartInBetweenResetsTheCount) {
    Rig rig;
    rig.controller->start();
    rig.open();
    std::vector<uint8_t> refused = {'n', 'o'};
    rig.tcpUp();
    rig.read(refused);
    rig.read(refused);
    EXPECT_EQ(rig.state().refusals, 2);
    rig.tcpUp();
    rig.read(headerChunk());
    rig.read(makeJpeg(8, 8, Qt::red));
    EXPECT_EQ(rig.state().refusals, 0);
    for (int i = 0; i < 3; ++i) {
        rig.tcpUp();
        rig.read(refused);
    }
    EXPECT_EQ(rig.host.events.back().attempt, 3);
}

// What the window does after a refusal: the link suspended while it asks,
// the edits applied without saving, and the camera tried again with them.
TEST(WrongPassword, SettingsAppliedWhileSuspendedAreUsedForTheNextAttempt) {
    Rig rig;
    rig.controller->start();
    rig.open();
    rig.tcpUp();
    rig.read({'x'});
    rig.controller->suspend();
    rig.host.runPosted();
    EXPECT_FALSE(rig.pending(LinkStep::Connect));  // nothing connects meanwhile
    CameraSettings typed = rig.controller->settingsCopy();
    typed.cameraPassword = "typed";
    ASSERT_FALSE(rig.controller->applySettings(typed, /*save=*/false));
    rig.controller->resume();
    EXPECT_TRUE(rig.pending(LinkStep::Connect));
    EXPECT_EQ(rig.machine().pendingIn(), 5000);
    rig.open();
    rig.tcpUp();
    EXPECT_NE(rig.socket.sent.back().find("Pass=typed&"), std::string::npos);
    CameraSettings saved;
    rig.store.load(saved);
    EXPECT_NE(saved.cameraPassword, "typed");
}

// ------------------------------------------------------------ link loss

// Lines of the log that hold `text`.
int linesWith(const test::LogCapture& log, const std::string& text) {
    int n = 0;
    for (size_t at = log.text().find(text); at != std::string::npos; at = log.text().find(text, at + 1)) ++n;
    return n;
}


TEST(LinkLoss, SocketErrorReportsAndSchedulesTheNextAttempt) {
    Rig rig;
    rig.connect();
    rig.socketError();
    EXPECT_FALSE(rig.link().LinkUp);
    ASSERT_EQ(rig.host.count(EngineCode::LinkLost), 1);
    EXPECT_EQ(rig.host.events.back().cause, EngineCode::ConnectFailed);
    EXPECT_EQ(rig.host.previewInfo(), "Fail to connect to IP CAM!");
    EXPECT_EQ(rig.host.buttonMode(), 2);
    EXPECT_TRUE(rig.pending(LinkStep::Connect));
    EXPECT_EQ(rig.machine().pendingIn(), 5000);
    EXPECT_FALSE(rig.host.isRunning(TimerId::StatusTick));
    EXPECT_FALSE(rig.machine().watching());
    EXPECT_EQ(rig.host.pleaseWaitText(), "Please wait a moment!");
    EXPECT_EQ(rig.machine().attempts(), 0);
}

TEST(LinkLoss, WatchdogFiresAfterSixtyTicksWithoutAPicture) {
    Rig rig;
    rig.connect();
    rig.read(makeJpeg(8, 8, Qt::red));
    for (int i = 0; i < 59; ++i) rig.tick();
    EXPECT_TRUE(rig.link().LinkUp);
    rig.read(makeJpeg(8, 8, Qt::red));  // a picture rewinds it
    for (int i = 0; i < 59; ++i) rig.tick();
    EXPECT_TRUE(rig.link().LinkUp);
    rig.tick();
    EXPECT_FALSE(rig.link().LinkUp);
    EXPECT_EQ(rig.host.previewInfo(), "Fail to connect to IP CAM! Reconnect!!");
    EXPECT_EQ(rig.host.buttonMode(), 2);
    EXPECT_TRUE(rig.pending(LinkStep::Rebuild));
    EXPECT_FALSE(rig.machine().watching());
    EXPECT_EQ(rig.link().PreviewFrames, 0u);
    EXPECT_FALSE(rig.socket.isOpen());
}

// A standard camera whose link was up is tried again at once, and the log
// says so; the attempts after that come at the usual pace.
TEST(LinkLoss, AStandardCameraLostIsTriedAgainAtOnceAndTheLogSaysSo) {
    test::LogCapture log;
    Rig rig(/*writeSettings=*/false);
    CameraSettings s;
    applyFirstRunDefaults(s, rig.dir.path().toStdString());
    s.cameraUrl = "http://127.0.0.1:8080/video";
    rig.store.save(s);
    rig.controller->start();
    rig.step();
    rig.tcpUp();
    const auto jpeg = makeJpeg(16, 16, Qt::red);
    std::string text = "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=b\r\n\r\n"
                       "--b\r\nContent-Type: image/jpeg\r\n\r\n";
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.insert(bytes.end(), jpeg.begin(), jpeg.end());
    text = "\r\n--b\r\n";
    bytes.insert(bytes.end(), text.begin(), text.end());
    rig.read(bytes);
    rig.controller->statusTick();
    ASSERT_EQ(rig.link().PreviewFrames, 1u);

    rig.socketError();
    EXPECT_TRUE(rig.due(LinkStep::Connect, 0));
    rig.step();
    EXPECT_EQ(rig.socket.opens.size(), 2u);
    EXPECT_EQ(linesWith(log, "Connecting to http://127.0.0.1:8080/video (at once after the link was lost)"), 1)
        << log.text();
    rig.socketError();  // refused
    EXPECT_TRUE(rig.due(LinkStep::Connect, 5000));
}

// ------------------------------------------------------------ the link's log


// A standard camera's whole JPEG that does not decode (broken inside) is
// recorded all the same, exactly as it came, and counts as the link's first
// picture; the preview keeps the last good picture and says why once.
TEST(LinkLog, AStandardCamerasPictureThatDoesNotDecodeIsRecordedAndSaidOnce) {
    test::LogCapture log;
    Rig rig(/*writeSettings=*/false);
    CameraSettings s;
    applyFirstRunDefaults(s, rig.dir.path().toStdString());
    s.cameraUrl = "http://127.0.0.1:8080/video";
    rig.store.save(s);
    rig.controller->start();
    rig.step();
    rig.tcpUp();
    const auto good = makeJpeg(64, 48, Qt::green);
    auto broken = good;
    size_t sof = 2;
    while (!(broken[sof] == 0xFF && broken[sof + 1] == 0xC0)) sof += 2 + (broken[sof + 2] << 8 | broken[sof + 3]);
    broken[sof + 11] = 0x00;  // the first component's sampling factors
    const auto send = [&](const std::string& text, const std::vector<uint8_t>& jpeg = {}) {
        std::vector<uint8_t> bytes(text.begin(), text.end());
        bytes.insert(bytes.end(), jpeg.begin(), jpeg.end());
        rig.read(bytes);
    };
    send("HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=b\r\n\r\n");
    rig.controller->record();
    send("--b\r\nContent-Type: image/jpeg\r\n\r\n", broken);
    for (const auto* picture : std::initializer_list<const std::vector<uint8_t>*>{&good, &broken, &broken}) {
        send("\r\n--b\r\nContent-Type: image/jpeg\r\n\r\n", *picture);
    }
    send("\r\n--b\r\n");
    EXPECT_EQ(linesWith(log, "Link up"), 1) << log.text();
    EXPECT_EQ(linesWith(log, "A picture from the camera cannot be shown, it is recorded all the same: "), 1)
        << log.text();
    EXPECT_EQ(rig.host.previewRepaints, 1);
    EXPECT_EQ(rig.controller->preview().size(), QSize(64, 48));
    EXPECT_GT(qGreen(rig.controller->preview().pixel(5, 5)), 200);
    EXPECT_EQ(rig.rec().RecordKind, kManual);
    EXPECT_EQ(rig.rec().RecordFrames, 4u);
    EXPECT_EQ(rig.link().FrameBuffer, broken);
}

// "Link up" once the camera's first picture is accepted, never for a camera
// that refuses the password; each loss once; a camera that keeps refusing
// connections said once, the retries not at all (they are debug lines).
TEST(LinkLog, UpAtTheFirstPictureEachLossOnceAndRepeatedFailuresOnce) {
    test::LogCapture log;
    Rig rig;
    rig.controller->start();
    const std::vector<uint8_t> refused = {'H', 'T', 'T', 'P', '/', '1', '.', '0', ' ', '4', '0', '1'};
    for (int i = 0; i < 3; ++i) {
        rig.shared.cameraReachable = true;
        rig.step();
        rig.tcpUp();
        rig.read(refused);
        rig.host.runPosted();
        rig.socketError();  // the camera hangs up after its refusal
    }
    EXPECT_EQ(linesWith(log, "Link up"), 0) << log.text();
    EXPECT_EQ(linesWith(log, "Link lost"), 0) << log.text();
    EXPECT_EQ(linesWith(log, "rejected the password"), 1) << log.text();

    rig.shared.cameraReachable = true;
    rig.step();
    rig.tcpUp();
    rig.read(headerChunk());
    EXPECT_EQ(linesWith(log, "Link up"), 0) << "before any picture: " << log.text();
    const auto picture = makeJpeg(16, 16, Qt::red);
    for (int i = 0; i < 3; ++i) rig.read(picture);
    EXPECT_EQ(linesWith(log, "INFO  ipcam.link: Link up: 127.0.0.1:8080"), 1) << log.text();

    // The camera goes away: one loss, then its refusals once.
    rig.socketError();
    for (int i = 0; i < 5; ++i) {
        rig.shared.cameraReachable = true;
        rig.step();
        rig.socketError();  // refused before TCP came up
        EXPECT_EQ(rig.host.previewInfo(), "Fail to connect to IP CAM!");
    }
    EXPECT_EQ(linesWith(log, "Link lost"), 1) << log.text();
    EXPECT_EQ(linesWith(log, "WARN  ipcam.link: Camera 127.0.0.1:8080 refuses connections"), 1) << log.text();
    EXPECT_EQ(linesWith(log, "Connecting to"), 2) << "the first attempts after start and after the loss: "
                                                  << log.text();

    // Back: up again once, the watchdog's loss once.
    rig.shared.cameraReachable = true;
    rig.step();
    rig.tcpUp();
    rig.read(headerChunk());
    for (int i = 0; i < 3; ++i) rig.read(picture);
    for (int i = 0; i < 60; ++i) rig.tick();
    EXPECT_EQ(linesWith(log, "Link up"), 2) << log.text();
    EXPECT_EQ(linesWith(log, "Link lost"), 2) << log.text();
    EXPECT_EQ(linesWith(log, "Link lost: no picture for 60 seconds"), 1) << log.text();
}

// What is dropped is said at once, then at most once a minute with the
// count since the last line: each kind on its own.
TEST(LinkLog, DropsAreSaidAtOnceThenOnceAMinute) {
    test::LogCapture log;
    Rig rig;
    rig.connect();
    const std::vector<uint8_t> noBoundary(PictureCollector::kDefaultLimit + 1, 'x');
    rig.read(noBoundary);
    const std::string stretches = "Stretches of 16 MiB without a picture boundary from the camera: ";
    EXPECT_EQ(linesWith(log, stretches + "1 dropped"), 1) << log.text();
    rig.read(noBoundary);
    rig.read(noBoundary);
    rig.controller->statusTick();
    EXPECT_EQ(linesWith(log, stretches), 1) << log.text();
    rig.clock.current.minute += 1;
    rig.controller->statusTick();
    EXPECT_EQ(linesWith(log, stretches + "2 dropped (3 in all)"), 1) << log.text();
    rig.clock.current.minute += 1;
    rig.controller->statusTick();
    EXPECT_EQ(linesWith(log, stretches), 2) << "nothing new, nothing said: " << log.text();

    // Pictures the disk queue has no room for.
    rig.controller->recorder().setDiskQueueCap(1);
    rig.controller->record();
    const auto picture = makeJpeg(16, 16, Qt::red);
    for (int i = 0; i < 5; ++i) rig.read(picture);
    ASSERT_EQ(rig.rec().RecordKind, kManual);
    rig.controller->statusTick();
    // Five pictures, the first of them the file's own: one fits the queue.
    EXPECT_EQ(linesWith(log, "Pictures the disk queue had no room for: 4 dropped"), 1) << log.text();

    // A standard camera's part whose headers pass 16 KiB.
    Rig http(/*writeSettings=*/false);
    CameraSettings s;
    applyFirstRunDefaults(s, http.dir.path().toStdString());
    s.cameraUrl = "http://127.0.0.1:8080/video";
    http.store.save(s);
    http.controller->start();
    http.step();
    http.tcpUp();
    const std::string answer = "HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace; boundary=b\r\n\r\n"
                               "--b\r\nX-Long: " + std::string(17 * 1024, 'y') + "\r\n\r\n--b\r\n";
    http.read(std::vector<uint8_t>(answer.begin(), answer.end()));
    EXPECT_EQ(linesWith(log, "Part headers over 16 KiB from the camera: 1 dropped"), 1) << log.text();
}

// ------------------------------------------------------------ connection timers

TEST(ConnectionTimers, ReachableBetweenTheSecondAndThirdTickConnectsOnTheThird) {
    Rig rig;
    rig.controller->start();
    rig.step();
    rig.step();
    EXPECT_TRUE(rig.socket.opens.empty());
    rig.shared.cameraReachable = true;
    rig.step();
    ASSERT_EQ(rig.socket.opens.size(), 1u);
    EXPECT_EQ(rig.socket.opens[0], std::make_pair(std::string("127.0.0.1"), uint16_t{8080}));
    EXPECT_EQ(rig.ping.suspends, 1);
    EXPECT_FALSE(rig.shared.cameraReachable);
    EXPECT_FALSE(rig.pending(LinkStep::Connect));
    EXPECT_FALSE(rig.host.pleaseWait());
    EXPECT_EQ(rig.host.linkInfo(), "Shop Door");
    EXPECT_EQ(rig.shared.cameraTitle(), "Shop Door");
    EXPECT_EQ(rig.controller->settings().descriptor, "Shop Door");
    EXPECT_EQ(rig.shared.settings().descriptor, "Shop Door");
}

TEST(ConnectionTimers, ReachableOnlyAfterTheThirdTickGivesUpOnTheFourth) {
    Rig rig;
    rig.controller->start();
    for (int i = 0; i < 3; ++i) rig.step();
    rig.shared.cameraReachable = true;
    rig.step();
    EXPECT_TRUE(rig.socket.opens.empty());
    EXPECT_FALSE(rig.shared.cameraReachable);
    EXPECT_EQ(rig.host.pleaseWaitText(), "Fail to connect to IP CAM!");
    EXPECT_EQ(rig.state().wait, LinkWait::GaveUp);  // shown, not blinking
    EXPECT_EQ(rig.host.linkInfo(), "IP CAM(127.0.0.1) is off-line.");
    EXPECT_EQ(rig.host.buttonMode(), 2);
    EXPECT_FALSE(rig.pending(LinkStep::Connect));

    // Off-line, the connection is retried by itself every 30 s, quietly:
    // the off-line texts and buttons stay, nothing blinks.
    ASSERT_TRUE(rig.pending(LinkStep::OfflineRetry));
    EXPECT_EQ(rig.machine().pendingIn(), 30000);
    const int restarts = rig.ping.restarts;
    rig.step();
    EXPECT_FALSE(rig.pending(LinkStep::OfflineRetry));
    EXPECT_EQ(rig.ping.restarts, restarts + 1);
    EXPECT_TRUE(rig.pending(LinkStep::Rebuild));
    EXPECT_NE(rig.state().wait, LinkWait::Waiting);
    EXPECT_EQ(rig.host.linkInfo(), "IP CAM(127.0.0.1) is off-line.");
    EXPECT_EQ(rig.host.buttonMode(), 2);
    rig.shared.cameraReachable = true;
    rig.step();
    EXPECT_EQ(rig.socket.opens.size(), 1u);
    EXPECT_EQ(rig.host.buttonMode(), 0);
    EXPECT_FALSE(rig.pending(LinkStep::OfflineRetry));
}

TEST(ConnectionTimers, TheOfflineRetryLeavesSettingsUsableAndSettingsStopsIt) {
    Rig rig;
    rig.controller->start();
    for (int i = 0; i < 4; ++i) rig.step();  // never reachable: off-line
    rig.step();
    ASSERT_TRUE(rig.pending(LinkStep::Rebuild));
    rig.step();
    rig.step();
    EXPECT_TRUE(rig.state().settingsAllowed);
    EXPECT_EQ(rig.host.buttonMode(), 2);

    // Suspended while the retry's attempt runs (the setup dialog): nothing
    // may probe or connect with the old settings meanwhile.
    rig.controller->suspend();
    EXPECT_EQ(rig.machine().pending(), LinkStep::None);
    rig.controller->reconnect();  // Reload does nothing meanwhile
    EXPECT_FALSE(rig.pending(LinkStep::Rebuild));
    rig.controller->resume();
    EXPECT_TRUE(rig.pending(LinkStep::AfterSettings));  // the connection after the settings
}

// Once the off-line retry has brought the camera back, a later socket error
// or watchdog connects as usual: Settings is disabled while connecting.
TEST(ConnectionTimers, AfterTheOfflineRetrySucceededSettingsIsDisabledWhileConnecting) {
    for (const bool watchdog : {false, true}) {
        SCOPED_TRACE(watchdog ? "watchdog" : "socket error");
        Rig rig;
        rig.controller->start();
        for (int i = 0; i < 4; ++i) rig.step();  // off-line
        rig.step();
        rig.shared.cameraReachable = true;
        rig.step();
        rig.tcpUp();
        rig.read(headerChunk());
        rig.read(makeJpeg(8, 8, Qt::red));
        ASSERT_TRUE(rig.link().LinkUp);
        if (watchdog) {
            for (int i = 0; i < 60; ++i) rig.tick();
            ASSERT_TRUE(rig.pending(LinkStep::Rebuild));
            rig.step();  // the ping worker has not answered yet
        } else {
            rig.socketError();
            ASSERT_TRUE(rig.pending(LinkStep::Connect));
            rig.step();
        }
        EXPECT_FALSE(rig.state().settingsAllowed);
    }
}

TEST(ConnectionTimers, FailedProbeOpensNoSocketAndLeavesReload) {
    Rig rig;
    rig.controller->start();
    rig.startPage.page.reset();
    rig.controller->reconnect();
    rig.shared.cameraReachable = true;
    rig.step();
    EXPECT_TRUE(rig.socket.opens.empty());
    EXPECT_EQ(rig.host.linkInfo(), "IP CAM(127.0.0.1) is off-line.");
    EXPECT_EQ(rig.host.buttonMode(), 2);
    EXPECT_FALSE(rig.pending(LinkStep::Rebuild));
    EXPECT_TRUE(rig.pending(LinkStep::OfflineRetry));
    rig.controller->reconnect();  // Reload still tries at once
    EXPECT_FALSE(rig.pending(LinkStep::OfflineRetry));
    EXPECT_TRUE(rig.pending(LinkStep::Rebuild));
}

// The attempt after a loss, after Reload and after the settings each reset
// their own part: the first ends a recording still running and counts the
// link down, the first two clear the requests and rewind the watchdog; a
// give-up stops the watchdog.
TEST(ConnectionTimers, TheThreeStepsDiffer) {
    Rig rig;
    rig.connect();
    auto& s = rig.link();
    auto& r = rig.rec();
    // Connected, a recording and both requests.
    auto prime = [&] {
        s.LinkUp = true;
        r.RecordKind = kManual;
        r.ManualRequest = r.StopRequest = true;
        rig.shared.cameraReachable = false;
    };
    for (int i = 0; i < 55; ++i) rig.tick();
    ASSERT_EQ(rig.machine().watchdog(), 5);

    rig.socketError();  // the attempt after a loss
    prime();
    rig.step();
    EXPECT_FALSE(s.LinkUp);
    EXPECT_EQ(r.RecordKind, 0);
    EXPECT_FALSE(r.ManualRequest || r.StopRequest);
    EXPECT_EQ(rig.machine().watchdog(), 60);

    rig.shared.cameraReachable = true;
    rig.step();
    rig.tcpUp();
    for (int i = 0; i < 50; ++i) rig.tick();  // 10 left, 5 when the attempt comes
    rig.controller->reconnect();  // Reload
    prime();
    rig.step();
    EXPECT_TRUE(s.LinkUp);
    EXPECT_EQ(r.RecordKind, kManual);
    EXPECT_FALSE(r.ManualRequest || r.StopRequest);
    EXPECT_EQ(rig.machine().watchdog(), 60);
    // Reload's attempts give up on the fourth; the watchdog stops.
    EXPECT_TRUE(rig.machine().watching());
    for (int i = 0; i < 3; ++i) rig.step();
    EXPECT_EQ(rig.state().link, LinkState::Offline);
    EXPECT_FALSE(rig.machine().watching());

    rig.controller->reconnect();
    rig.shared.cameraReachable = true;
    rig.step();
    rig.tcpUp();
    for (int i = 0; i < 50; ++i) rig.tick();
    rig.controller->suspend();  // the settings: the watchdog stops at 10
    rig.controller->resume();
    prime();
    rig.step();
    EXPECT_TRUE(s.LinkUp && r.ManualRequest && r.StopRequest);
    EXPECT_EQ(rig.machine().watchdog(), 10);
}

TEST(ConnectionTimers, EmptyHostNeverProbesOrConnects) {
    Rig rig;
    rig.controller->start();
    CameraSettings none = rig.controller->settingsCopy();
    none.hostAddress.clear();
    ASSERT_FALSE(rig.controller->applySettings(none, /*save=*/false));
    rig.shared.cameraReachable = true;
    rig.step();
    EXPECT_TRUE(rig.startPage.asked.empty());
    EXPECT_TRUE(rig.socket.opens.empty());
    EXPECT_EQ(rig.host.linkInfo(), "IP CAM() is off-line.");
}

// ------------------------------------------------------------ settings button

TEST(SettingsButton, SuspendEndsTheRecordingAndResumeReconnectsThroughTheSettingsTimer) {
    Rig rig;
    rig.connect();
    rig.controller->record();
    rig.read(makeJpeg(16, 16, Qt::red));
    rig.read(makeJpeg(16, 16, Qt::red));  // starts the Manual file
    ASSERT_EQ(rig.rec().RecordKind, kManual);
    rig.controller->suspend();
    EXPECT_EQ(rig.rec().RecordKind, 0);
    EXPECT_FALSE(rig.link().LinkUp);
    EXPECT_EQ(rig.state().link, LinkState::Stopped);
    rig.controller->recorder().settle();
    QFile f(rig.dir.filePath("20061012/153012T.AVI"));
    EXPECT_TRUE(f.exists());
    // A bad record is refused with its field and code, and changes nothing.
    CameraSettings bad = rig.controller->settingsCopy();
    bad.keepDays = 65535;
    const auto problem = rig.controller->applySettings(bad, /*save=*/true);
    ASSERT_TRUE(problem);
    EXPECT_EQ(problem->field, SettingsField::KeepDays);
    EXPECT_EQ(problem->code, SettingsCode::OutOfRange);
    EXPECT_EQ(rig.controller->settingsCopy().keepDays, 0);
    rig.controller->resume();
    EXPECT_TRUE(rig.pending(LinkStep::AfterSettings));
    EXPECT_EQ(rig.host.linkInfo(), "Connecting to IP CAM (127.0.0.1) ......");
}

TEST(FormClose, WritesTheRunningRecording) {
    Rig rig;
    rig.connect();
    rig.controller->record();
    rig.read(makeJpeg(16, 16, Qt::red));
    rig.read(makeJpeg(16, 16, Qt::red));
    rig.read(makeJpeg(16, 16, Qt::red));
    ASSERT_EQ(rig.rec().RecordKind, kManual);
    rig.controller->close();
    EXPECT_EQ(rig.rec().RecordKind, 0);
    QFile f(rig.dir.filePath("20061012/153012T.AVI"));
    EXPECT_TRUE(f.exists());
}

}  // namespace
}  // namespace ipcam::apptest

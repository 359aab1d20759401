// Motion recording and the weekly schedule, end to end: the main window
// against the camera simulator on loopback, with a clock the test moves by
// hand so that ten-minute recordings and hour blocks pass in moments.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTemporaryDir>

#include <chrono>
#include <functional>

#include "frontends/window/Unit1.h"
#include "e2e_support.h"
#include "ipcam_sim/simulator_thread.h"
#include "playback/recorded_file.h"
#include "recording/recorder.h"
#include "settings/settings_store.h"

namespace ipcam {
namespace {

using e2e::freePort;

bool waitUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
    return e2e::waitUntil(done, timeoutMs);
}

// Read and moved on the user-interface thread only (the test's own).
class HandClock final : public Clock {
public:
    LocalDateTime current = makeDateTime(2006, 10, 12, 10, 0, 0);  // a Thursday
    LocalDateTime now() const override { return current; }
    void setTime(int h, int m, int s) { current = makeDateTime(current.year, current.month, current.day, h, m, s); }
};

class PlentyOfSpace final : public FreeSpaceQuery {
public:
    uint32_t freeSpaceMB(const std::string&) override { return 10240; }
};

struct MotionAndSchedule : ::testing::Test {
    QTemporaryDir dir;
    HandClock clock;
    PlentyOfSpace space;
    sim::SimulatorOptions simOptions;
    std::unique_ptr<sim::SimulatorThread> simulator;
    std::vector<std::string> warnings;
    std::unique_ptr<TForm1> form;

    // Starts the simulator (a still scene) and the main window with the
    // settings `adjust` leaves.
    void start(const std::function<void(CameraSettings&)>& adjust) {
        simOptions.streamPort = freePort();
        simOptions.httpPort = freePort();
        simOptions.fps = 25;
        simOptions.still = true;
        simulator = std::make_unique<sim::SimulatorThread>(simOptions);
        QString error;
        ASSERT_TRUE(simulator->start(&error)) << error.toStdString();

        SettingsStore store(dir.filePath("ipcam-recorder.INI").toStdString());
        CameraSettings s = e2e::loopbackSettings(dir, simOptions.streamPort);
        s.alarmEmailEnabled = 0;
        adjust(s);
        store.save(s);

        TForm1::Options o = e2e::loopbackOptions(dir, simOptions.httpPort);
        o.clock = &clock;
        o.freeSpace = &space;
        o.warningHook = [this](const std::string& t) { warnings.push_back(t); };
        o.setupDialogHook = [] {};
        form = std::make_unique<TForm1>(o);
        form->activateFirstTime();
        ASSERT_TRUE(waitUntil([&] { return state().previewPictures >= 3 && state().link == LinkState::Up; }))
            << diagnostics();
    }

    void TearDown() override {
        form.reset();
        simulator.reset();
    }

    const EngineState& state() { return form->engine().state(); }
    const RecordingSession& rec() { return form->engine().controller().recorder().session(); }

    // Waits until `n` more pictures have reached the window.
    bool pictures(uint32_t n) {
        const uint64_t target = received_ + n;
        uint32_t last = state().previewPictures;
        return waitUntil([&] {
            const uint32_t now = state().previewPictures;
            received_ += now >= last ? now - last : now;  // the counter is zeroed now and then
            last = now;
            return received_ >= target;
        });
    }

    std::string diagnostics() {
        uint64_t sent = 0;
        if (simulator) simulator->invoke([&](sim::CameraSimulator& s) { sent = s.picturesSent(); });
        return "simulator sent " + std::to_string(sent) + " pictures; status \"" +
               form->PreviewInfo->text().toStdString() + "\"; " + std::to_string(warnings.size()) + " warnings" +
               (warnings.empty() ? "" : ": " + warnings[0]);
    }

    QStringList recordings(const QString& mask = "*.AVI") {
        form->engine().controller().recorder().settle();  // files are written on the recording's thread
        return QDir(dir.filePath("20061012")).entryList({mask}, QDir::Files, QDir::Name);
    }

    // The recording's frame count, or -1 when it is not a valid file.
    int frames(const QString& name) {
        RecordedFile f;
        if (f.openRecordedFile(QDir(dir.filePath("20061012")).filePath(name)) != RecordedFile::OpenStatus::Opened)
            return -1;
        return static_cast<int>(f.frameCount());
    }

    uint64_t received_ = 0;
};

void motionOn(CameraSettings& s) {
    s.motionDetectionEnabled = 1;
    s.motionSensitivity = 5;
}

TEST_F(MotionAndSchedule, BurstOfMotionRecordsAnAlarmFileNamedAfterItsStart) {
    start(motionOn);
    // A still scene never starts a recording.
    ASSERT_TRUE(pictures(15)) << diagnostics();
    EXPECT_EQ(state().recordingKind, kNotRecording);
    EXPECT_TRUE(recordings().isEmpty());

    clock.setTime(10, 20, 30);
    simulator->invoke([](sim::CameraSimulator& s) { s.triggerMotion(); });
    ASSERT_TRUE(waitUntil([&] { return state().recordingKind == kMotion; })) << diagnostics();
    ASSERT_TRUE(waitUntil([&] { return state().recordingPictures >= 12; })) << diagnostics();
    EXPECT_EQ(state().recordingKind, kMotion);  // later motion neither ends nor splits it

    // Just over ten minutes later the Motion recording is over.
    clock.setTime(10, 30, 30);
    ASSERT_TRUE(pictures(3));
    EXPECT_EQ(state().recordingKind, kMotion);
    clock.setTime(10, 30, 31);
    ASSERT_TRUE(waitUntil([&] { return state().recordingKind == kNotRecording; })) << diagnostics();
    EXPECT_EQ(recordings(), QStringList{"102030A.AVI"});
    EXPECT_GE(frames("102030A.AVI"), 12);

    // The scene is still again: nothing more is recorded.
    ASSERT_TRUE(pictures(15));
    EXPECT_EQ(state().recordingKind, kNotRecording);
    EXPECT_EQ(recordings(), QStringList{"102030A.AVI"});
    EXPECT_TRUE(warnings.empty()) << warnings[0];
}

// The seconds before the motion lead into its recording: the file begins
// with the pictures the camera sent in the 3 s up to the one that showed the
// motion, that one their last, byte for byte and in order, and goes on with
// those after it without a gap.
TEST_F(MotionAndSchedule, MotionRecordingBeginsWithThePicturesOfTheSecondsBefore) {
    simOptions.keepSentFile = dir.filePath("sent.bin");
    start([](CameraSettings& s) {
        s.motionDetectionEnabled = 1;
        // The moving scene stays under it (so that the pictures before the
        // burst differ from one another); the burst's first white picture
        // over the black of the clock's band does not.
        s.motionSensitivity = 0;
        s.motionPrerollSeconds = 3;
    });
    // The pictures arrive at the simulator's pace, 25 a second, however
    // loaded the machine is: 3 s are the 75 pictures up to the motion.
    auto arrival = std::chrono::steady_clock::now();
    form->engine().controller().recorder().setArrivalClock([&] { return arrival += std::chrono::milliseconds(40); });
    simulator->invoke([](sim::CameraSimulator& s) { s.setStill(false); });
    ASSERT_TRUE(pictures(90)) << diagnostics();
    ASSERT_EQ(state().recordingKind, kNotRecording);

    clock.setTime(10, 20, 30);
    uint64_t beforeBurst = 0;
    simulator->invoke([&](sim::CameraSimulator& s) {
        beforeBurst = s.picturesSent();
        s.triggerMotion();
    });
    ASSERT_TRUE(waitUntil([&] { return state().recordingKind == kMotion && state().recordingPictures >= 75 + 12; }))
        << diagnostics();
    form->RecordStop1->click();
    ASSERT_TRUE(waitUntil([&] { return state().recordingKind == kNotRecording; })) << diagnostics();
    ASSERT_EQ(recordings(), QStringList{"102030A.AVI"});

    const std::vector<QByteArray> sent = e2e::readSent(simOptions.keepSentFile);
    RecordedFile file;
    ASSERT_EQ(file.openRecordedFile(QDir(dir.filePath("20061012")).filePath("102030A.AVI")),
              RecordedFile::OpenStatus::Opened);
    ASSERT_GE(file.frameCount(), 75 + 12);
    ASSERT_GE(beforeBurst, 74u);
    const size_t first = beforeBurst - 74;  // the burst's first picture is the file's 75th
    ASSERT_LE(first + static_cast<size_t>(file.frameCount()), sent.size());
    for (int i = 0; i < file.frameCount(); ++i) {
        QByteArray picture;
        ASSERT_TRUE(file.readPicture(i, picture)) << i;
        if (picture.endsWith(QByteArray("\n\0", 2))) picture.chop(1);  // the file pads odd sizes
        ASSERT_TRUE(picture == sent[first + static_cast<size_t>(i)]) << "picture " << i;
    }
    EXPECT_TRUE(warnings.empty()) << warnings[0];
}

TEST_F(MotionAndSchedule, MotionInterruptsManualRecordingWhichResumesAfterwards) {
    start(motionOn);
    clock.setTime(10, 0, 0);
    form->Record1->click();
    ASSERT_TRUE(waitUntil([&] { return state().recordingKind == kManual && state().recordingPictures >= 5; }))
        << diagnostics();

    clock.setTime(10, 0, 5);
    simulator->invoke([](sim::CameraSimulator& s) { s.triggerMotion(); });
    ASSERT_TRUE(waitUntil([&] { return state().recordingKind == kMotion; })) << diagnostics();
    EXPECT_TRUE(rec().ManualRequest);  // Manual is to resume
    EXPECT_EQ(recordings(), QStringList{"100000T.AVI"});
    EXPECT_GE(frames("100000T.AVI"), 6);  // ends with the picture that showed the motion

    // Let the burst pass, then let ten minutes pass.
    ASSERT_TRUE(waitUntil([&] { return state().recordingPictures >= 12; })) << diagnostics();
    clock.setTime(10, 10, 6);
    ASSERT_TRUE(waitUntil([&] { return state().recordingKind == kManual; })) << diagnostics();
    EXPECT_EQ(recordings(), (QStringList{"100000T.AVI", "100005A.AVI"}));
    EXPECT_GE(frames("100005A.AVI"), 12);

    ASSERT_TRUE(waitUntil([&] { return state().recordingPictures >= 3; }));
    form->RecordStop1->click();
    ASSERT_TRUE(waitUntil([&] { return state().recordingKind == kNotRecording; }));
    EXPECT_EQ(recordings(), (QStringList{"100000T.AVI", "100005A.AVI", "101006T.AVI"}));
    EXPECT_GE(frames("101006T.AVI"), 3);
    EXPECT_TRUE(warnings.empty()) << warnings[0];
}

TEST_F(MotionAndSchedule, TickedHourRecordsWithoutAButtonUntilTheHourEnds) {
    clock.setTime(13, 55, 0);
    start([](CameraSettings& s) {
        s.schedule.at(4, 13) = 1;  // Thursday, 13:00 to 14:00
    });
    ASSERT_TRUE(waitUntil([&] { return state().recordingKind == kDaily && state().recordingPictures >= 5; }))
        << diagnostics();
    EXPECT_TRUE(form->RecordStop1->isVisibleTo(form.get()));

    clock.setTime(13, 59, 59);
    ASSERT_TRUE(pictures(3));
    EXPECT_EQ(state().recordingKind, kDaily);
    clock.setTime(14, 0, 0);
    ASSERT_TRUE(waitUntil([&] { return state().recordingKind == kNotRecording; })) << diagnostics();
    EXPECT_EQ(recordings(), QStringList{"135500T.AVI"});
    EXPECT_GE(frames("135500T.AVI"), 8);

    // Hour 14 is not ticked: nothing starts again.
    ASSERT_TRUE(pictures(10));
    EXPECT_EQ(state().recordingKind, kNotRecording);
    EXPECT_EQ(recordings(), QStringList{"135500T.AVI"});
    EXPECT_TRUE(form->Record1->isVisibleTo(form.get()));
    EXPECT_TRUE(warnings.empty()) << warnings[0];
}

}  // namespace
}  // namespace ipcam

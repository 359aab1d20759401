#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "recording/avi_format.h"
#include "recording/avi_writer.h"
#include "recording/preroll_ring.h"
#include "recording/recorder.h"
#include "recording_fakes.h"
#include "support/log_capture.h"

namespace ipcam::rectest {
namespace {

using RecorderTest = RecorderFixture;

TEST_F(RecorderTest, RecordThenStopWritesTheFileOfThePicturesBetween) {
    test::LogCapture log;
    const auto p0 = jpeg(900), p1 = jpeg(1001, 1), p2 = jpeg(1000, 2), p3 = jpeg(700, 3);
    session().ManualRequest = true;
    picture(p0);  // starts the file, its first picture
    EXPECT_EQ(session().RecordKind, kManual);
    EXPECT_FALSE(session().ManualRequest);
    EXPECT_EQ(session().RecordStartTime, (TimeOfDay{15, 30, 12}));
    EXPECT_EQ(session().RecordFrames, 1u);
    ASSERT_FALSE(host.buttons.empty());
    EXPECT_EQ(host.buttons.back(), 1);
    EXPECT_EQ(partialFiles().size(), 1u);
    EXPECT_TRUE(exists(path("20061012")));
    EXPECT_FALSE(exists(path("20061012/153012T.AVI")));

    clock.setTime(15, 30, 13);
    tickAndPicture(p1);
    EXPECT_EQ(session().RecordFrames, 2u);

    session().StopRequest = true;
    clock.setTime(15, 30, 14);
    tickAndPicture(p2);  // written, then the file is saved
    EXPECT_EQ(session().RecordKind, kNotRecording);
    EXPECT_FALSE(session().StopRequest);
    EXPECT_FALSE(session().SpaceConfirmed);
    EXPECT_EQ(session().RecordFrames, 0u);
    EXPECT_EQ(session().RecordSeconds, 0u);
    EXPECT_EQ(host.buttons.back(), 0);
    EXPECT_EQ(host.diskTexts.back(), "Free Space :10240M Bytes.");

    // Three pictures a second apart: three seconds.
    EXPECT_TRUE(isAvi(readFile(path("20061012/153012T.AVI")), {p0, p1, p2}, perFrame(3, 3)));
    EXPECT_TRUE(partialFiles().empty());
    EXPECT_THAT(log.text(), ::testing::HasSubstr("INFO  ipcam.recording: Recording finished: " +
                                                 path("20061012/153012T.AVI") + " 3 pictures, 3 seconds, Manual\n"));

    picture(p3);  // nothing records any more
    EXPECT_EQ(session().RecordKind, kNotRecording);
    EXPECT_EQ(listTree(dir), (std::vector<std::string>{"20061012/", "20061012/153012T.AVI"}));
}

// A camera that stalls: the link watchdog ends the recording 60 seconds
// later. The file holds three seconds of pictures and says so.
TEST_F(RecorderTest, AFileLastsAsLongAsItsPicturesNotTheSecondsCountedWithoutThem) {
    test::LogCapture log;
    std::chrono::steady_clock::time_point arrival{};
    recorder->setArrivalClock([&] { return arrival; });
    session().ManualRequest = true;
    std::vector<std::vector<uint8_t>> sent;
    for (int i = 0; i < 30; ++i) {
        if (i % 10 == 9) recorder->countSecond();
        arrival += std::chrono::milliseconds(100);
        sent.push_back(jpeg(500 + static_cast<size_t>(i), static_cast<uint8_t>(i)));
        recorder->step(sent.back(), {});
    }
    for (int i = 0; i < 60; ++i) recorder->countSecond();
    endFromOutside();
    EXPECT_TRUE(isAvi(readFile(path("20061012/153012T.AVI")), sent, 100000));
    EXPECT_THAT(log.text(), ::testing::HasSubstr(" 30 pictures, 3 seconds, Manual\n"));
}

TEST_F(RecorderTest, AfterAStopTheNextStartTestsTheFreeSpaceAgain) {
    session().ManualRequest = true;
    picture(jpeg(100));
    session().StopRequest = true;
    picture(jpeg(100));
    ASSERT_EQ(session().RecordKind, kNotRecording);
    EXPECT_TRUE(exists(path("20061012/153012T.AVI")));
    EXPECT_FALSE(session().SpaceConfirmed);

    // 512 MB is not enough for a start: the stop ended the chain of files
    // that follow one another without a test.
    freeSpace.value = [] { return 512u; };
    clock.setTime(15, 31, 0);
    session().ManualRequest = true;
    picture(jpeg(100));
    EXPECT_EQ(session().RecordKind, kNotRecording);
    EXPECT_EQ(host.warnings, (std::vector<std::string>{"HDD Free Space is not enough, so Manual Record stops."}));
}

TEST_F(RecorderTest, RecordingDroppedWithoutAFinishIsSavedWhenTheNextStarts) {
    settings.motionDetectionEnabled = 1;
    session().ManualRequest = true;
    picture(jpeg(100));
    session().MotionTrigger = true;  // the file holds motion
    clock.setTime(15, 30, 13);
    picture(jpeg(101));
    clock.setTime(15, 30, 14);
    picture(jpeg(102));
    session().RecordSeconds = 2;
    // The window's start sequence resets the session without ending the
    // recording.
    session().RecordKind = kNotRecording;
    session().MotionTrigger = session().AlarmMark = false;

    clock.setTime(15, 45, 0);
    session().ManualRequest = true;
    picture(jpeg(100));
    ASSERT_EQ(session().RecordKind, kManual);
    EXPECT_EQ(session().RecordFrames, 1u);
    const auto dropped = readFile(path("20061012/153012A.AVI"));
    ASSERT_TRUE(isValidAvi(dropped));
    EXPECT_EQ(frameCount(dropped), 3u);
    EXPECT_EQ(readAvi(dropped).microSecPerFrame, 1000000u);
    EXPECT_EQ(partialFiles().size(), 1u);  // only the new recording's
    endFromOutside();
    EXPECT_TRUE(isValidAvi(readFile(path("20061012/154500T.AVI"))));
    EXPECT_TRUE(partialFiles().empty());
}

TEST_F(RecorderTest, LinkErrorRightAfterStartSavesTheFilesFirstPicture) {
    session().ManualRequest = true;
    const auto p = jpeg(500);
    picture(p);
    endFromOutside();
    EXPECT_EQ(session().RecordKind, kNotRecording);
    const auto f = readFile(path("20061012/153012T.AVI"));
    EXPECT_TRUE(isAvi(f, {p}, perFrame(0, 1)));
    endFromOutside();  // idle: nothing more
    EXPECT_EQ(listTree(dir).size(), 2u);
}

TEST_F(RecorderTest, ResolutionIsTakenAtEachStart) {
    settings.resolution = 5;
    session().ManualRequest = true;
    picture(jpeg(10));
    settings.resolution = 0;  // applies to the next file only
    endFromOutside();
    EXPECT_TRUE(isAvi(readFile(path("20061012/153012T.AVI")), {jpeg(10)}, perFrame(0, 1), 320, 240));
}

struct CutCase {
    TimeOfDay start;
    TimeOfDay notYet;  // a picture here leaves the file open
    TimeOfDay cut;     // a picture here closes it
};

TEST_F(RecorderTest, SixHundredSecondCutUsesTheElapsedTimeRule) {
    const CutCase cases[] = {
        {{23, 55, 0}, {0, 5, 0}, {0, 5, 1}},    // exactly 600 s over midnight is not cut
        {{23, 58, 0}, {0, 8, 0}, {0, 8, 1}},    // 601 s by the midnight rule
        {{10, 0, 0}, {10, 10, 0}, {10, 10, 1}}, // same hour
        {{10, 55, 0}, {11, 5, 0}, {11, 5, 1}},  // across an hour
        {{23, 59, 59}, {23, 59, 59}, {1, 0, 0}},
        {{10, 30, 0}, {10, 30, 0}, {10, 29, 59}},  // clock set back
    };
    for (const CutCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.start.hour) + ":" + std::to_string(c.start.minute));
        session() = RecordingSession{};
        session().ManualRequest = true;
        clock.set(2006, 10, 12, c.start.hour, c.start.minute, c.start.second);
        picture(jpeg(100));
        ASSERT_EQ(session().RecordKind, kManual);
        const int day = c.notYet.hour < c.start.hour ? 13 : 12;
        clock.set(2006, 10, day, c.notYet.hour, c.notYet.minute, c.notYet.second);
        picture(jpeg(100));
        EXPECT_EQ(session().RecordKind, kManual);
        EXPECT_EQ(session().RecordFrames, 2u);
        const int cutDay = c.cut.hour < c.start.hour && c.cut.hour < 10 ? 13 : 12;
        clock.set(2006, 10, cutDay, c.cut.hour, c.cut.minute, c.cut.second);
        picture(jpeg(100));
        EXPECT_EQ(session().RecordKind, kNotRecording);
        EXPECT_TRUE(session().ManualRequest);  // Manual goes on with the next picture
        EXPECT_TRUE(partialFiles().empty());
    }
    // The next picture starts the next file, named after its own moment.
    clock.set(2006, 10, 12, 10, 30, 5);
    picture(jpeg(100));
    EXPECT_EQ(session().RecordKind, kManual);
    EXPECT_EQ(session().RecordStartTime, (TimeOfDay{10, 30, 5}));
    endFromOutside();
    EXPECT_TRUE(exists(path("20061012/235500T.AVI")));
    EXPECT_TRUE(exists(path("20061012/235800T.AVI")));
    EXPECT_TRUE(exists(path("20061012/235959T.AVI")));
    EXPECT_TRUE(exists(path("20061012/103005T.AVI")));
}

// Consecutive files go on picture for picture: the picture that begins the
// next file after a cut is its first.
TEST_F(RecorderTest, TwentyFiveMinutesOfManualRecordingGiveThreeFiles) {
    clock.set(2006, 10, 12, 10, 0, 0);
    session().ManualRequest = true;
    std::vector<std::vector<uint8_t>> sent{jpeg(301)};
    picture(sent.back());
    for (int t = 1; t <= 1500; ++t) {
        clock.setTime(10, t / 60, t % 60);
        sent.push_back(jpeg(301 + static_cast<size_t>(t % 7), static_cast<uint8_t>(t)));
        tickAndPicture(sent.back());
    }
    session().StopRequest = true;
    clock.setTime(10, 25, 1);
    sent.push_back(jpeg(300));
    tickAndPicture(sent.back());

    const auto tree = listTree(dir);
    EXPECT_EQ(tree, (std::vector<std::string>{"20061012/", "20061012/100000T.AVI", "20061012/101002T.AVI",
                                              "20061012/102004T.AVI"}));
    // 10:00:00-10:10:01, 10:10:02-10:20:03, 10:20:04-10:25:01, one a second.
    const size_t frames[] = {602, 602, 298};
    const char* names[] = {"100000T.AVI", "101002T.AVI", "102004T.AVI"};
    auto from = sent.begin();
    for (int i = 0; i < 3; ++i) {
        const std::vector<std::vector<uint8_t>> held(from, from + static_cast<ptrdiff_t>(frames[i]));
        EXPECT_TRUE(isAvi(readFile(path(std::string("20061012/") + names[i])), held,
                          perFrame(static_cast<uint32_t>(frames[i]), frames[i])))
            << names[i];
        from += static_cast<ptrdiff_t>(frames[i]);
    }
    EXPECT_EQ(from, sent.end());
}

TEST_F(RecorderTest, DailyBlockEndsWithTheFirstPictureOfTheEndHour) {
    settings.schedule.at(4, 13) = 1;  // Thursday 13:00-14:00
    clock.setTime(13, 55, 0);
    picture(jpeg(100));
    EXPECT_EQ(session().RecordKind, kDaily);
    clock.setTime(13, 59, 59);
    picture(jpeg(100));
    EXPECT_EQ(session().RecordKind, kDaily);
    clock.setTime(14, 0, 0);
    picture(jpeg(100));
    EXPECT_EQ(session().RecordKind, kNotRecording);
    EXPECT_EQ(host.buttons.back(), 0);
    clock.setTime(14, 0, 1);
    picture(jpeg(100));  // hour 14 is not scheduled
    EXPECT_EQ(session().RecordKind, kNotRecording);
    EXPECT_EQ(frameCount(readFile(path("20061012/135500T.AVI"))), 3u);
}

// 320 x 240 pictures in one flat colour, for the motion detector.
struct Bitmap {
    explicit Bitmap(uint32_t argb) : pixels(320 * 240, argb) {}
    PixelView view() const { return PixelView{pixels.data(), 320, 240, 320}; }
    std::vector<uint32_t> pixels;
};

TEST_F(RecorderTest, MotionDuringManualSwitchesToMotionFileAndManualResumes) {
    settings.motionDetectionEnabled = 1;
    settings.motionSensitivity = 10;
    const Bitmap still(0xFF000000), moved(0xFF808080);
    const auto pm = jpeg(777, 9);

    clock.setTime(10, 0, 0);
    session().ManualRequest = true;
    picture(jpeg(100), still.view());
    ASSERT_EQ(session().RecordKind, kManual);
    clock.setTime(10, 0, 1);
    picture(jpeg(100), still.view());
    clock.setTime(10, 0, 2);
    picture(jpeg(100), still.view());
    EXPECT_TRUE(host.alarms.empty());

    clock.setTime(10, 0, 5);
    picture(pm, moved.view());
    ASSERT_EQ(host.alarms.size(), 1u);
    EXPECT_EQ(host.alarms[0], pm);
    EXPECT_EQ(session().RecordKind, kMotion);
    EXPECT_TRUE(session().AlarmMark);
    EXPECT_TRUE(session().ManualRequest);
    EXPECT_EQ(session().MotionPhase, 0);  // the detector takes a new reference later
    const auto manualFile = readFile(path("20061012/100000T.AVI"));
    EXPECT_EQ(frameCount(manualFile), 4u);
    EXPECT_TRUE(isValidAvi(manualFile));
    // The picture that showed the motion is the Manual file's last one.
    EXPECT_TRUE(std::equal(pm.begin(), pm.end(), manualFile.end() - 8 - 4 * 16 - 1 - 777));

    // Further motion neither splits nor extends the Motion file.
    clock.setTime(10, 0, 6);
    picture(jpeg(100), still.view());
    clock.setTime(10, 0, 7);
    picture(jpeg(100), moved.view());
    EXPECT_EQ(host.alarms.size(), 1u);
    clock.setTime(10, 10, 6);
    picture(jpeg(100), still.view());
    EXPECT_EQ(session().RecordKind, kNotRecording);
    EXPECT_FALSE(session().AlarmMark);
    EXPECT_EQ(frameCount(readFile(path("20061012/100005A.AVI"))), 3u);

    clock.setTime(10, 10, 7);
    picture(jpeg(100), still.view());
    EXPECT_EQ(session().RecordKind, kManual);
    endFromOutside();
    EXPECT_TRUE(exists(path("20061012/101007T.AVI")));
}

TEST_F(RecorderTest, MotionDuringDailyRecordingResumesDailyThroughTheSchedule) {
    settings.schedule.at(4, 13) = 1;  // Thursday 13:00-14:00
    settings.motionDetectionEnabled = 1;
    settings.motionSensitivity = 10;
    const Bitmap still(0xFF000000), moved(0xFF808080);
    clock.setTime(13, 20, 0);
    picture(jpeg(100), still.view());
    ASSERT_EQ(session().RecordKind, kDaily);
    picture(jpeg(100), still.view());
    picture(jpeg(100), still.view());
    clock.setTime(13, 20, 9);
    picture(jpeg(100), moved.view());
    ASSERT_EQ(session().RecordKind, kMotion);
    EXPECT_FALSE(session().ManualRequest);  // Daily is not a Manual request
    EXPECT_EQ(frameCount(readFile(path("20061012/132000T.AVI"))), 4u);

    clock.setTime(13, 30, 10);
    picture(jpeg(100), still.view());
    EXPECT_EQ(session().RecordKind, kNotRecording);
    EXPECT_TRUE(exists(path("20061012/132009A.AVI")));
    clock.setTime(13, 30, 11);
    picture(jpeg(100), still.view());  // the block is still due
    EXPECT_EQ(session().RecordKind, kDaily);
    EXPECT_EQ(session().RecordStartTime, (TimeOfDay{13, 30, 11}));
    EXPECT_EQ(host.alarms.size(), 1u);
}

// With a pre-roll, a Motion file begins with the pictures of the seconds
// before the motion, the one that showed it their last, and plays at the
// camera's pace; a Motion file right after it repeats none of its pictures.
// Without one, a file begins with the picture that showed the motion.
TEST_F(RecorderTest, MotionFileBeginsWithThePrerollAndPlaysAtTheCamerasPace) {
    settings.motionDetectionEnabled = 1;
    settings.motionSensitivity = 10;
    const Bitmap still(0xFF000000), moved(0xFF808080);
    std::chrono::steady_clock::time_point arrival{};
    recorder->setArrivalClock([&] { return arrival; });
    for (const uint8_t preroll : {3, 0}) {
        SCOPED_TRACE(int{preroll});
        settings.motionPrerollSeconds = preroll;
        const int hour = preroll ? 10 : 11;
        clock.setTime(hour, 0, 0);
        // Ten pictures a second, each one its own.
        std::vector<std::vector<uint8_t>> sent;
        auto send = [&](const Bitmap& view) {
            arrival += std::chrono::milliseconds(100);
            sent.push_back(jpeg(1000 + sent.size(), static_cast<uint8_t>(sent.size())));
            picture(sent.back(), view.view());
        };
        for (int i = 0; i < 49; ++i) send(still);
        EXPECT_EQ(recorder->prerollPictures(), preroll ? 30u : 0u);
        send(moved);  // 5 s after the first
        ASSERT_EQ(session().RecordKind, kMotion);
        EXPECT_EQ(recorder->prerollPictures(), 0u);
        // Two seconds of the recording, the last picture with Stop.
        for (int i = 0; i < 20; ++i) {
            if (i == 10 || i == 19) recorder->countSecond();
            if (i == 19) session().StopRequest = true;
            send(still);
            EXPECT_EQ(recorder->prerollPictures(), 0u);
        }
        ASSERT_EQ(session().RecordKind, kNotRecording);
        const auto first = readFile(path("20061012/" + std::to_string(hour) + "0000A.AVI"));
        if (preroll) {
            // The pictures of the last 3 s up to the motion (2.1 s to 5 s),
            // then those after it: 50 pictures in 5 s.
            EXPECT_TRUE(isAvi(first, {sent.begin() + 20, sent.end()}, 100000));
        } else {
            EXPECT_TRUE(isAvi(first, {sent.begin() + 49, sent.end()}, 100000));
        }

        // Motion again six pictures after the stop.
        const size_t afterStop = sent.size();
        clock.setTime(hour, 0, 10);
        for (int i = 0; i < 5; ++i) send(still);
        send(moved);
        ASSERT_EQ(session().RecordKind, kMotion);
        endFromOutside();
        const auto second = readFile(path("20061012/" + std::to_string(hour) + "0010A.AVI"));
        if (preroll)
            EXPECT_TRUE(isAvi(second, {sent.begin() + afterStop, sent.end()}, 100000));
        else
            EXPECT_TRUE(isAvi(second, {sent.back()}, perFrame(0, 1)));
    }
}

TEST_F(RecorderTest, PrerollIsBoundedInBytesLettingGoOfTheOldestFirst) {
    test::LogCapture log;
    settings.motionDetectionEnabled = 1;
    settings.motionSensitivity = 10;
    settings.motionPrerollSeconds = 10;
    const Bitmap still(0xFF000000), moved(0xFF808080);
    std::chrono::steady_clock::time_point arrival{};
    recorder->setArrivalClock([&] { return arrival; });
    // Pictures no camera of ours sends: eight of them are just over the cap.
    const size_t big = PrerollRing::kMaxBytes / 8 + 1;
    std::vector<std::vector<uint8_t>> sent;
    for (int i = 0; i < 12; ++i) {
        arrival += std::chrono::milliseconds(100);
        sent.push_back(jpeg(big, static_cast<uint8_t>(i)));
        recorder->step(sent.back(), (i == 11 ? moved : still).view());
        EXPECT_LE(recorder->prerollBytes(), PrerollRing::kMaxBytes);
    }
    ASSERT_EQ(session().RecordKind, kMotion);
    // The bound kept 0.7 s of the 10 asked: said in the log and to the dialog.
    EXPECT_EQ(recorder->prerollKeptSeconds(), 1);
    EXPECT_THAT(log.text(), ::testing::HasSubstr("Pre-roll: 10 seconds asked, 1 kept (it holds at most 64 MiB"));
    endFromOutside();
    EXPECT_EQ(recorder->droppedPictures(), 0u);
    // The last seven, 0.7 s of them.
    EXPECT_TRUE(isAvi(readFile(path("20061012/153012A.AVI")), {sent.end() - 7, sent.end()}, 100000));
}

// A pre-roll larger than the disk queue's cap (40 pictures of 1 MiB), handed
// over at a Motion start while the disk is stuck: no picture is dropped, and
// the live pictures after it still have the whole cap.
TEST_F(RecorderTest, APrerollLargerThanTheDiskQueueCapIsHandedOverWhole) {
    settings.motionDetectionEnabled = 1;
    settings.motionSensitivity = 10;
    settings.motionPrerollSeconds = 10;
    const Bitmap still(0xFF000000), moved(0xFF808080);
    std::atomic<bool> stuck{true};
    DiskHooks hooks;
    hooks.beforeWrite = [&](size_t bytes) {
        while (bytes > 4096 && stuck) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 0;
    };
    recorder->setDiskHooks(hooks);
    std::chrono::steady_clock::time_point arrival{};
    recorder->setArrivalClock([&] { return arrival += std::chrono::milliseconds(250); });
    const size_t mib = size_t{1} << 20;
    for (int i = 0; i < 40; ++i) recorder->step(jpeg(mib, static_cast<uint8_t>(i)), still.view());
    ASSERT_EQ(recorder->prerollPictures(), 40u);
    recorder->step(jpeg(mib, 40), moved.view());
    ASSERT_EQ(session().RecordKind, kMotion);
    for (int i = 0; i < 20; ++i) recorder->step(jpeg(mib, static_cast<uint8_t>(41 + i)), still.view());
    EXPECT_EQ(recorder->droppedPictures(), 0u);
    EXPECT_EQ(session().RecordFrames, 60u);  // the ring (10 s up to the motion) and the 20 after it
    stuck = false;
    endFromOutside();
    const auto f = readFile(path("20061012/153012A.AVI"));
    EXPECT_TRUE(isValidAvi(f));
    EXPECT_EQ(frameCount(f), 60u);
    EXPECT_EQ(readAvi(f).microSecPerFrame, 250000u);
}

TEST_F(RecorderTest, ExistingRecordingIsNeverOverwritten) {
    std::filesystem::create_directory(path("20061012"));
    writeFile(path("20061012/153012T.AVI"), "earlier");
    for (int i = 0; i < 2; ++i) {
        session().ManualRequest = true;
        picture(jpeg(100));
        endFromOutside();
    }
    EXPECT_EQ(readFile(path("20061012/153012T.AVI")).size(), 7u);
    EXPECT_TRUE(isAvi(readFile(path("20061012/153012-1T.AVI")), {jpeg(100)}, perFrame(0, 1)));
    EXPECT_TRUE(isAvi(readFile(path("20061012/153012-2T.AVI")), {jpeg(100)}, perFrame(0, 1)));
}

TEST_F(RecorderTest, FullIndexFinishesTheFileAndGoesOnInTheNext) {
    session().ManualRequest = true;
    const auto p = jpeg(4);
    picture(p);
    for (uint32_t i = 1; i < avi::kMaxFrames; ++i) picture(p);
    EXPECT_EQ(session().RecordKind, kNotRecording);
    EXPECT_TRUE(session().ManualRequest);
    const auto f = readFile(path("20061012/153012T.AVI"));
    EXPECT_EQ(f.size(), 512u + 12u * avi::kMaxFrames + 8u + 16u * avi::kMaxFrames);
    EXPECT_EQ(frameCount(f), avi::kMaxFrames);
    picture(p);
    EXPECT_EQ(session().RecordKind, kManual);
    picture(p);
    endFromOutside();
    EXPECT_EQ(frameCount(readFile(path("20061012/153012-1T.AVI"))), 2u);
}

TEST_F(RecorderTest, AFileNearItsByteLimitIsCutAndTheNextPictureBeginsTheNextFile) {
    // 1 GiB in the program; here a file is cut once it holds 3000 bytes.
    recorder->setFileCutBytes(3000);
    session().ManualRequest = true;
    std::vector<std::vector<uint8_t>> pictures{jpeg(100)};
    picture(pictures.back());  // starts the recording, its first picture
    for (uint8_t i = 0; i < 7; ++i) {
        pictures.push_back(jpeg(999, i));
        picture(pictures.back());
    }
    EXPECT_EQ(session().RecordKind, kManual);
    endFromOutside();
    // 512 + 8 + 124 + three pictures of 8 + 1000 + 16 = 3716: the third
    // large one reaches 3000; 520 + three of them = 3592.
    const std::vector<std::vector<uint8_t>> first(pictures.begin(), pictures.begin() + 4);
    const std::vector<std::vector<uint8_t>> second(pictures.begin() + 4, pictures.begin() + 7);
    const std::vector<std::vector<uint8_t>> third(pictures.begin() + 7, pictures.end());
    EXPECT_TRUE(isAvi(readFile(path("20061012/153012T.AVI")), first, perFrame(0, first.size())));
    EXPECT_TRUE(isAvi(readFile(path("20061012/153012-1T.AVI")), second, perFrame(0, second.size())));
    EXPECT_TRUE(isAvi(readFile(path("20061012/153012-2T.AVI")), third, perFrame(0, third.size())));
}

TEST_F(RecorderTest, MotionRecordingSplitByAFullIndexStillEndsTenMinutesAfterItBegan) {
    settings.motionDetectionEnabled = 1;
    settings.motionSensitivity = 10;
    const Bitmap still(0xFF000000), moved(0xFF808080);
    clock.setTime(10, 0, 0);
    picture(jpeg(4), still.view());
    picture(jpeg(4), still.view());
    picture(jpeg(4), moved.view());
    ASSERT_EQ(session().RecordKind, kMotion);
    const auto p = jpeg(4);
    clock.setTime(10, 5, 0);
    for (uint32_t i = 0; i < avi::kMaxFrames; ++i) picture(p);
    EXPECT_EQ(session().RecordKind, kMotion);  // goes on in a second file
    EXPECT_EQ(frameCount(readFile(path("20061012/100000A.AVI"))), avi::kMaxFrames);

    clock.setTime(10, 10, 1);
    picture(p);
    EXPECT_EQ(session().RecordKind, kNotRecording);
    EXPECT_TRUE(isValidAvi(readFile(path("20061012/100500A.AVI"))));
}

TEST_F(RecorderTest, SlowDiskNeverHoldsUpPicturesAndLosesNone) {
    using namespace std::chrono;
    std::atomic<int> syncs{0};
    DiskHooks slow;
    slow.sync = [&](int fd, bool dataOnly) {
        ++syncs;
        std::this_thread::sleep_for(milliseconds(700));
        return (dataOnly ? ::fdatasync(fd) : ::fsync(fd)) == 0 ? 0 : errno;
    };
    recorder->setDiskHooks(slow);
    session().ManualRequest = true;
    std::vector<std::vector<uint8_t>> sent{jpeg(10)};
    recorder->step(sent.back(), {});
    // 10 pictures a second for 2.5 seconds, as the socket hands them over.
    auto longest = nanoseconds::zero();
    for (int i = 0; i < 25; ++i) {
        sent.push_back(jpeg(30001 + i, static_cast<uint8_t>(i)));
        const auto t0 = steady_clock::now();
        recorder->step(sent.back(), {});
        longest = std::max(longest, steady_clock::now() - t0);
        std::this_thread::sleep_for(milliseconds(100));
    }
    const auto t0 = steady_clock::now();
    recorder->endFromOutside();
    longest = std::max(longest, steady_clock::now() - t0);
    // Well under one sync even on a loaded machine; the benchmark gives the figure.
    EXPECT_LT(duration_cast<milliseconds>(longest).count(), 300);
    recorder->settle();
    EXPECT_GE(syncs.load(), 2);
    EXPECT_TRUE(host.warnings.empty());
    // Every picture on its own, in order.
    EXPECT_TRUE(isAvi(readFile(path("20061012/153012T.AVI")), sent, perFrame(0, sent.size())));
}

TEST_F(RecorderTest, ADiskFarBehindDropsPicturesPastTheQueueCap) {
    std::atomic<bool> stuck{true};
    std::atomic<bool> blocked{false};
    DiskHooks hooks;
    hooks.beforeWrite = [&](size_t bytes) {
        if (bytes < 70000) return 0;  // the header
        blocked = true;
        while (stuck) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 0;
    };
    recorder->setDiskHooks(hooks);
    recorder->setDiskQueueCap(70000 + 100000);  // the hanging write counts until it is done
    session().ManualRequest = true;
    recorder->step(jpeg(10), {});
    recorder->settle();
    // A picture too big to be gathered is written at once: the disk hangs in
    // that write, holding nothing else, before the camera's pictures come.
    const auto big = jpeg(70000, 99);
    recorder->step(big, {});
    while (!blocked) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::vector<std::vector<uint8_t>> kept{jpeg(10), big};
    for (int i = 0; i < 10; ++i) {
        const auto p = jpeg(30001, static_cast<uint8_t>(i));
        if (i < 3) kept.push_back(p);
        recorder->step(p, {});
    }
    EXPECT_EQ(recorder->droppedPictures(), 7u);
    EXPECT_EQ(session().RecordFrames, 5u);
    stuck = false;
    endFromOutside();
    EXPECT_TRUE(isAvi(readFile(path("20061012/153012T.AVI")), kept, perFrame(0, kept.size())));
}

TEST_F(RecorderTest, MissingRecordingDirectoryIsReportedAndRecorderGoesIdle) {
    settings.aviDirectory = dir + "/gone/deeper";
    session().ManualRequest = true;
    int kindAtWarning = -1;
    host.onWarning = [&] { kindAtWarning = session().RecordKind; };
    picture(jpeg(100));
    ASSERT_EQ(host.warnings.size(), 1u);
    EXPECT_NE(host.warnings[0].find(dir + "/gone/deeper/20061012"), std::string::npos) << host.warnings[0];
    EXPECT_NE(host.warnings[0].find("No such file or directory"), std::string::npos) << host.warnings[0];
    EXPECT_EQ(kindAtWarning, kNotRecording);
    EXPECT_EQ(session().RecordKind, kNotRecording);
    EXPECT_EQ(host.buttons.back(), 0);
    picture(jpeg(100));
    picture(jpeg(100));
    EXPECT_EQ(host.warnings.size(), 1u);  // no retry storm
}

TEST_F(RecorderTest, FileThatCannotBeSavedIsReportedAndRecoveredLater) {
    session().ManualRequest = true;
    picture(jpeg(100));
    clock.setTime(15, 30, 13);
    picture(jpeg(101));
    // Something takes the date folder's place.
    std::filesystem::remove(path("20061012"));
    writeFile(path("20061012"), "in the way");
    endFromOutside();
    ASSERT_EQ(host.warnings.size(), 1u);
    EXPECT_NE(host.warnings[0].find("20061012/153012T.AVI"), std::string::npos) << host.warnings[0];
    EXPECT_NE(host.warnings[0].find("Not a directory"), std::string::npos) << host.warnings[0];
    EXPECT_EQ(session().RecordKind, kNotRecording);
    EXPECT_FALSE(session().SpaceConfirmed);
    ASSERT_EQ(partialFiles().size(), 1u);  // nothing lost

    std::filesystem::remove(path("20061012"));
    EXPECT_EQ(recover(*recorder), 1);
    const auto f = readFile(path("20061012/153012T.AVI"));
    EXPECT_TRUE(isValidAvi(f));
    EXPECT_EQ(frameCount(f), 2u);
}

}  // namespace
}  // namespace ipcam::rectest

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <QLoggingCategory>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "recording/avi_writer.h"
#include "recording/disk_guard.h"
#include "recording/recorder.h"
#include "recording_fakes.h"
#include "support/log_capture.h"

namespace ipcam::rectest {
namespace {

using DiskGuardTest = RecorderFixture;

TEST(DiskGuardFreeSpace, PosixQueryAndLabelText) {
    PosixFreeSpaceQuery q;
    QTemporaryDir tmp;
    EXPECT_GT(q.freeSpaceMB(tmp.path().toStdString()), 0u);
    EXPECT_EQ(q.freeSpaceMB(tmp.path().toStdString() + "/not-there"), 0u);
    EXPECT_EQ(q.freeSpaceMB(""), 0u);
    EXPECT_EQ(freeSpaceText(10240), "Free Space :10240M Bytes.");
}

TEST_F(DiskGuardTest, DeletionOrderIsStartTimeThenName) {
    std::filesystem::create_directory(path("20061010"));
    // A later recording of the same second is named "-N" and goes after
    // the one without it ("-10" after "-2"); "A" before "T" within each,
    // a Matroska recording among the AVI ones by the same rule.
    for (const char* f : {"120000T.AVI", "120000A.AVI", "115959-1T.AVI", "090000T.AVI.bak", "120000-10T.AVI",
                          "120000-2A.AVI", "120000-1T.AVI", "115959T.MKV", "120000-1A.MKV", "notes.mkv"})
        writeFile(path(std::string("20061010/") + f), "x");
    for (const char* f : {"115959T.MKV", "115959-1T.AVI", "120000A.AVI", "120000T.AVI", "120000-1A.MKV",
                          "120000-1T.AVI", "120000-2A.AVI", "120000-10T.AVI"}) {
        EXPECT_EQ(deleteOldestRecording(dir), DeleteOutcome::DeletedFile);
        EXPECT_FALSE(exists(path(std::string("20061010/") + f))) << f;
    }
    // A folder holding only someone else's file is left alone.
    EXPECT_EQ(deleteOldestRecording(dir), DeleteOutcome::NothingLeft);
    EXPECT_TRUE(exists(path("20061010/090000T.AVI.bak")));
    EXPECT_TRUE(exists(path("20061010/notes.mkv")));
}

TEST_F(DiskGuardTest, FinishDeletesOldestRecordingsOneAtATime) {
    test::LogCapture log;
    const std::vector<std::string> old = {"20061010/073000A.AVI", "20061010/080000T.AVI", "20061011/100000T.AVI"};
    std::filesystem::create_directory(path("20061010"));
    std::filesystem::create_directory(path("20061011"));
    for (const auto& f : old) writeFile(path(f), "ten MB");
    uint32_t base = 600;
    freeSpace.value = [&] {
        uint32_t deleted = 0;
        for (const auto& f : old) deleted += exists(path(f)) ? 0 : 1;
        return base + 10 * deleted;
    };

    session().ManualRequest = true;
    picture(jpeg(100));
    picture(jpeg(100));
    base = 500;
    host.diskTexts.clear();
    endFromOutside();
    EXPECT_FALSE(exists(path(old[0])));
    EXPECT_FALSE(exists(path(old[1])));
    EXPECT_TRUE(exists(path(old[2])));
    EXPECT_TRUE(exists(path("20061010")));  // stays until room is needed again
    EXPECT_THAT(log.text(), ::testing::HasSubstr("ipcam.guard: Disk space guard deleted 2 recordings (0.0 MB) "
                                                 "dated 20061010 to 20061010; Free Space :520M Bytes.\n"));
    EXPECT_EQ(host.diskTexts, (std::vector<std::string>{"Free Space :510M Bytes.", "Free Space :520M Bytes.",
                                                        "Free Space :520M Bytes."}));
    EXPECT_TRUE(host.warnings.empty());
    EXPECT_TRUE(session().SpaceConfirmed);
    EXPECT_TRUE(isValidAvi(readFile(path("20061012/153012T.AVI"))));

    // Space short again: the empty folder goes first, then 20061011's file.
    base = 485;
    clock.setTime(15, 40, 0);
    session().ManualRequest = true;
    picture(jpeg(100));  // 505 MB, but the last finish made room
    ASSERT_EQ(session().RecordKind, kManual);
    endFromOutside();
    EXPECT_FALSE(exists(path("20061010")));
    EXPECT_FALSE(exists(path(old[2])));
    EXPECT_TRUE(exists(path("20061011")));
    EXPECT_TRUE(exists(path("20061012/153012T.AVI")));
    EXPECT_TRUE(exists(path("20061012/154000T.AVI")));
    EXPECT_TRUE(host.warnings.empty());
}

TEST_F(DiskGuardTest, ExactlyFiveHundredTwelveMegabytesRefusesAStart) {
    freeSpace.value = [] { return 512u; };
    session().ManualRequest = true;
    uint8_t kindAtWarning = 99;
    host.onWarning = [&] { kindAtWarning = session().RecordKind; };
    picture(jpeg(100));
    EXPECT_EQ(host.warnings, (std::vector<std::string>{"HDD Free Space is not enough, so Manual Record stops."}));
    EXPECT_EQ(kindAtWarning, kNotRecording);
    EXPECT_FALSE(session().ManualRequest);
    EXPECT_TRUE(session().StopRequest);
    EXPECT_EQ(host.statusTimerStarts, 1);
    EXPECT_TRUE(partialFiles().empty());
    EXPECT_FALSE(exists(path("20061012")));

    freeSpace.value = [] { return 513u; };
    session().ManualRequest = true;
    picture(jpeg(100));
    EXPECT_EQ(session().RecordKind, kManual);
}

TEST_F(DiskGuardTest, NoRoomAtFinishGivesUpButKeepsThePictures) {
    uint32_t mb = 600;
    freeSpace.value = [&] { return mb; };
    session().ManualRequest = true;
    picture(jpeg(100));
    picture(jpeg(101));
    picture(jpeg(102));
    mb = 100;  // no subfolder but the current, empty one
    bool stopAtWarning = false;
    host.onWarning = [&] { stopAtWarning = session().StopRequest && session().RecordKind == kNotRecording; };
    endFromOutside();
    EXPECT_EQ(host.warnings, (std::vector<std::string>{"HDD Free Space is not enough, so Manual Record stops. The "
                                                       "pictures recorded up to then were kept in " +
                                                       path("20061012/153012T.AVI") + "."}));
    EXPECT_TRUE(stopAtWarning);
    EXPECT_FALSE(session().SpaceConfirmed);
    EXPECT_EQ(host.buttons.back(), 0);
    const auto f = readFile(path("20061012/153012T.AVI"));
    EXPECT_TRUE(isValidAvi(f));
    EXPECT_EQ(frameCount(f), 3u);
}

TEST_F(DiskGuardTest, NoRoomEndsDailyForTheHourAndMotionDetection) {
    uint32_t mb = 600;
    freeSpace.value = [&] { return mb; };
    settings.schedule.at(4, 13) = 1;
    clock.setTime(13, 10, 0);
    picture(jpeg(100));
    ASSERT_EQ(session().RecordKind, kDaily);
    mb = 100;
    picture(jpeg(100));
    endFromOutside();
    ASSERT_EQ(host.warnings.size(), 1u);
    EXPECT_EQ(host.warnings[0].rfind("HDD Free Space is not enough, so Daily Record stops. The pictures", 0), 0u);
    EXPECT_TRUE(session().BlockHandled);
    EXPECT_EQ(session().BlockHandledTime.hour, 13);
    mb = 600;
    clock.setTime(13, 20, 0);
    picture(jpeg(100));  // the latch holds for this hour
    EXPECT_EQ(session().RecordKind, kNotRecording);

    // A Motion recording given up switches motion detection off (in memory).
    settings.schedule = WeekSchedule{};
    settings.motionDetectionEnabled = 1;
    settings.motionSensitivity = 10;
    std::vector<uint32_t> dark(320 * 240, 0xFF000000), light(320 * 240, 0xFFFFFFFF);
    const PixelView darkView{dark.data(), 320, 240, 320}, lightView{light.data(), 320, 240, 320};
    picture(jpeg(100), darkView);
    picture(jpeg(100), darkView);
    picture(jpeg(100), lightView);
    ASSERT_EQ(session().RecordKind, kMotion);
    mb = 100;
    endFromOutside();
    ASSERT_EQ(host.warnings.size(), 2u);
    EXPECT_EQ(host.warnings[1].rfind("HDD Free Space is not enough, so Motion Detection is turned off. The", 0), 0u);
    // Off until the settings are applied again; the settings keep the choice.
    EXPECT_TRUE(host.motionOff);
    EXPECT_EQ(settings.motionDetectionEnabled, 1);
}

// Blocks at 15 and 16. The camera is lost at 15:59:55 and the slow disk
// reports the no-room finish at 16:00:01: the recording ended in hour 15,
// which is the hour latched, and block 16 records once the camera is back,
// not cut short by the give-up's stop.
TEST_F(DiskGuardTest, ALateNoRoomReportLatchesTheHourTheRecordingEndedIn) {
    std::atomic<uint32_t> mb{600};
    freeSpace.value = [&] { return mb.load(); };
    settings.schedule.at(4, 15) = 1;
    settings.schedule.at(4, 16) = 1;
    clock.setTime(15, 59, 50);
    picture(jpeg(100));
    ASSERT_EQ(session().RecordKind, kDaily);
    mb = 100;
    clock.setTime(15, 59, 55);
    recorder->endFromOutside();  // the finish is queued; its outcome comes later
    clock.setTime(16, 0, 1);
    recorder->settle();
    ASSERT_EQ(host.warnings.size(), 1u);
    EXPECT_EQ(host.warnings[0].rfind("HDD Free Space is not enough, so Daily Record stops.", 0), 0u);
    EXPECT_TRUE(session().BlockHandled);
    EXPECT_EQ(session().BlockHandledTime.hour, 15);

    mb = 10240;
    clock.setTime(16, 0, 30);
    picture(jpeg(101));
    ASSERT_EQ(session().RecordKind, kDaily);
    clock.setTime(16, 0, 31);
    picture(jpeg(102));
    EXPECT_EQ(session().RecordKind, kDaily);
    EXPECT_EQ(session().RecordFrames, 2u);
}

// The next write of a picture finds the disk full.
DiskHooks fullOnce(std::atomic<bool>& armed) {
    DiskHooks hooks;
    hooks.beforeWrite = [&armed](size_t bytes) { return bytes > 1000 && armed.exchange(false) ? ENOSPC : 0; };
    return hooks;
}

TEST_F(DiskGuardTest, FullDiskMidFileMakesRoomAndGoesOnInANewFile) {
    namespace fs = std::filesystem;
    fs::create_directory(path("20061010"));
    for (int i = 0; i < 10; ++i) writeFile(path("20061010/10000" + std::to_string(i) + "T.AVI"), "old");
    // 10 MB come free with each old recording deleted.
    freeSpace.value = [&] {
        return 500u + 10u * (10u - static_cast<uint32_t>(std::distance(fs::directory_iterator(path("20061010")),
                                                                        fs::directory_iterator())));
    };
    std::atomic<bool> full{false};
    recorder->setDiskHooks(fullOnce(full));
    session().SpaceConfirmed = true;
    session().ManualRequest = true;
    const auto p1 = jpeg(70001, 1), p2 = jpeg(70002, 2), p3 = jpeg(70003, 3), p4 = jpeg(70004, 4);
    picture(jpeg(10));
    picture(p1);
    picture(p2);
    full = true;
    clock.setTime(15, 31, 0);
    picture(p3);          // lost with the full disk
    picture(jpeg(10));    // begins the next file
    picture(p4);
    endFromOutside();

    EXPECT_TRUE(host.warnings.empty()) << host.warnings[0];
    EXPECT_FALSE(exists(path("20061010/100000T.AVI")));
    EXPECT_FALSE(exists(path("20061010/100001T.AVI")));
    EXPECT_TRUE(exists(path("20061010/100002T.AVI")));
    const auto first = readFile(path("20061012/153012T.AVI"));
    ASSERT_TRUE(isValidAvi(first));
    EXPECT_EQ(frameCount(first), 3u);
    const auto second = readFile(path("20061012/153100T.AVI"));
    ASSERT_TRUE(isValidAvi(second));
    EXPECT_EQ(frameCount(second), 2u);
    EXPECT_TRUE(partialFiles().empty());
}

TEST_F(DiskGuardTest, FullDiskWithNothingOfOursLeftGivesUpAndSaysWhatWasKept) {
    std::atomic<bool> full{false}, nextWriteFails{false};
    freeSpace.value = [&] { return full ? 100u : 600u; };
    recorder->setDiskHooks(fullOnce(nextWriteFails));
    settings.schedule.at(4, 15) = 1;
    picture(jpeg(10));
    ASSERT_EQ(session().RecordKind, kDaily);
    picture(jpeg(70001));
    full = nextWriteFails = true;
    int kindAtWarning = -1;
    host.onWarning = [&] { kindAtWarning = session().RecordKind; };
    picture(jpeg(70002));
    picture(jpeg(10));  // the outcome is handled at the next picture

    ASSERT_EQ(host.warnings.size(), 1u);
    EXPECT_EQ(host.warnings[0], "HDD Free Space is not enough, so Daily Record stops. The pictures recorded up to then "
                                "were kept in " + path("20061012/153012T.AVI") +
                                ". Daily Record stays off for the rest of this hour.");
    EXPECT_EQ(kindAtWarning, kNotRecording);
    EXPECT_TRUE(session().BlockHandled);
    EXPECT_EQ(host.buttons.back(), 0);
    const auto f = readFile(path("20061012/153012T.AVI"));
    ASSERT_TRUE(isValidAvi(f));
    EXPECT_EQ(frameCount(f), 2u);
    EXPECT_TRUE(partialFiles().empty());
}

TEST_F(DiskGuardTest, PersonsOwnFilesAndFoldersSurvive) {
    namespace fs = std::filesystem;
    const std::vector<std::string> foreignFiles = {
        "notes.txt", "photos/IMG_0001.jpg", "20060101/diary.txt", "20060102/123456T.AVI.bak",
        "20060102/abc.AVI", "20060102/12345T.AVI", "20060102/123456X.AVI", "20060102/123456-T.AVI",
        "20060105/120000T.AVI/inside.txt", "20060102/notes.mkv", "20060102/123456X.MKV"};
    const std::vector<std::string> foreignDirs = {"2006010", "200601011", "2006010a", "photos", "20060101",
                                                  "20060102", "20060105"};
    for (const auto& d : foreignDirs) fs::create_directories(path(d));
    fs::create_directories(path("20060105/120000T.AVI"));
    for (const auto& f : foreignFiles) writeFile(path(f), "mine");
    fs::create_directory_symlink(path("photos"), path("20060104"));
    writeFile(path("photos/090000T.AVI"), "mine too");
    fs::create_directory(path("20060103"));
    writeFile(path("20060103/120000T.AVI"), "ours");
    writeFile(path("20060103/120500A.MKV"), "ours too");

    char before[4096];
    ASSERT_NE(getcwd(before, sizeof before), nullptr);
    uint32_t mb = 600;
    freeSpace.value = [&] { return mb; };
    session().ManualRequest = true;
    picture(jpeg(100));
    mb = 100;  // never enough: everything of ours goes, then it gives up
    endFromOutside();

    EXPECT_EQ(host.warnings.size(), 1u);
    EXPECT_FALSE(exists(path("20060103")));
    for (const auto& f : foreignFiles) EXPECT_TRUE(exists(path(f))) << f;
    for (const auto& d : foreignDirs) EXPECT_TRUE(exists(path(d))) << d;
    EXPECT_TRUE(exists(path("20060104")));
    EXPECT_TRUE(exists(path("photos/090000T.AVI")));
    EXPECT_TRUE(exists(path("20061012/153012T.AVI")));
    char after[4096];
    ASSERT_NE(getcwd(after, sizeof after), nullptr);
    EXPECT_STREQ(before, after);
}

// Keep_Days = 2 keeps today's recordings and the two days' before them. On
// 2 January 2007 the 31 December folder stays, on the 3rd it goes.
TEST_F(DiskGuardTest, KeepDaysDeletesOnlyOurOlderRecordingsAndTheirEmptyFolders) {
    namespace fs = std::filesystem;
    test::LogCapture log;
    clock.set(2007, 1, 2, 10, 0, 0);
    const std::vector<std::string> expired = {"20061223/120000T.AVI", "20061230/080000A.MKV",
                                              "20061230/080000T.AVI", "20061230/080000-1A.AVI"};  // oldest first
    const std::vector<std::string> files = {
        "20070102/090000T.AVI", "20070101/235959A.AVI", "20061231/000000T.AVI", "20070105/080000T.AVI",
        "notes.txt", "120000T.AVI", "photos/090000T.AVI", "2006122/120000T.AVI", "20061220/diary.txt",
        "20061223/diary.txt", "20061229/123456T.AVI.bak", "20061228/120000T.AVI/inside.txt",
        "20070101/235958T.MKV", "20061229/notes.mkv"};
    for (const auto& f : files) {
        fs::create_directories(fs::path(path(f)).parent_path());
        writeFile(path(f), "mine");
    }
    fs::create_directory(path("20061230"));
    for (const auto& f : expired) writeFile(path(f), "ours");
    fs::create_directory(path("20061225"));
    fs::create_directory_symlink(path("photos"), path("20061227"));
    const auto before = listTree(dir);

    // 0 keeps everything, also at start.
    recover(*recorder);
    recorder->applyRetention();
    recorder->settle();
    EXPECT_EQ(listTree(dir), before);
    for (const auto& f : expired) ASSERT_TRUE(exists(path(f))) << f;

    // A recording in progress, then the hourly run.
    session().ManualRequest = true;
    picture(jpeg(100));
    picture(jpeg(101));
    const auto partial = partialFiles();
    ASSERT_EQ(partial.size(), 1u);
    settings.keepDays = 2;
    recorder->applyRetention();
    recorder->settle();
    auto expected = before;
    for (const char* gone : {"20061223/120000T.AVI", "20061230/080000A.MKV", "20061230/080000T.AVI",
                             "20061230/080000-1A.AVI", "20061230/",
                             "20061225/"})
        std::erase(expected, gone);
    expected.push_back(partial[0]);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listTree(dir), expected);
    EXPECT_THAT(log.text(), ::testing::HasSubstr("ipcam.guard: Retention (2 days) deleted 4 recordings (0.0 MB) "
                                                 "dated 20061223 to 20061230, 2 empty date folders removed\n"));
    picture(jpeg(102));
    endFromOutside();
    const auto recorded = readFile(path("20070102/100000T.AVI"));
    EXPECT_TRUE(isValidAvi(recorded));
    EXPECT_EQ(frameCount(recorded), 3u);
    EXPECT_TRUE(partialFiles().empty());

    // The program started the next day: right after the recovery.
    clock.set(2007, 1, 3, 8, 0, 0);
    makeRecorder();
    recover(*recorder);
    EXPECT_FALSE(exists(path("20061231")));
    EXPECT_TRUE(exists(path("20070101/235959A.AVI")));
    EXPECT_TRUE(exists(path("20061220/diary.txt")));
    EXPECT_TRUE(host.warnings.empty());
}

// A clock 400 days ahead: the recordings are aged from the newest one, and
// after recording on at the wrong date the older ones age only as the days
// really pass; put right again, the folder dated "in the future" stays.
TEST_F(DiskGuardTest, KeepDaysSurvivesAClockThatJumps) {
    namespace fs = std::filesystem;
    test::LogCapture log;
    for (int d = 1; d <= 12; ++d) {  // 1 to 12 October 2006, one recording each
        const std::string folder = path("200610" + std::string(d < 10 ? "0" : "") + std::to_string(d));
        fs::create_directory(folder);
        writeFile(folder + "/120000T.AVI", "ours");
    }
    const auto kept = [&](int from) {
        std::vector<int> days;
        for (int d = 1; d <= 12; ++d)
            if (exists(path("200610" + std::string(d < 10 ? "0" : "") + std::to_string(d) + "/120000T.AVI")))
                days.push_back(d);
        std::vector<int> expected;
        for (int d = from; d <= 12; ++d) expected.push_back(d);
        return days == expected;
    };
    settings.keepDays = 5;
    clock.set(2007, 11, 16, 9, 0, 0);  // 400 days after 12 October 2006
    makeRecorder();
    recover(*recorder);
    EXPECT_TRUE(kept(7));  // 12 October and the 5 days before it
    EXPECT_THAT(log.text(), ::testing::HasSubstr(
                                "ipcam.guard: Retention keeps 6 date folders older than 5 days by today's date "
                                "(20071116): the newest recording is from 20061012, 400 days before; the clock "
                                "looks wrong, or nothing was recorded since\n"));

    session().ManualRequest = true;  // recording on at the wrong date
    picture(jpeg(100));
    endFromOutside();
    ASSERT_TRUE(exists(path("20071116/090000T.AVI")));
    recorder->applyRetention();
    recorder->settle();
    EXPECT_TRUE(kept(7));
    clock.set(2007, 11, 18, 9, 0, 0);  // two days on
    recorder->applyRetention();
    recorder->settle();
    EXPECT_TRUE(kept(9));

    clock.set(2006, 10, 14, 9, 0, 0);  // put right
    makeRecorder();
    recover(*recorder);
    EXPECT_TRUE(kept(9));
    EXPECT_TRUE(exists(path("20071116/090000T.AVI")));
    EXPECT_TRUE(host.warnings.empty());
}

// One pass, one line: thousands of deletions name their files only at the
// debug level, so the rotated log keeps what came before them.
TEST_F(DiskGuardTest, ManyDeletionsWriteOneLinePerPass) {
    namespace fs = std::filesystem;
    const auto fill = [&](const std::string& day, int files) {
        fs::create_directory(path(day));
        for (int i = 0; i < files; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "/%06dT.AVI", i);
            writeFile(path(day) + name, std::string(1024, 'x'));
        }
    };
    const auto guardLines = [](const std::string& text) {
        size_t n = 0;
        for (size_t at = 0; (at = text.find(" ipcam.guard: ", at)) != std::string::npos; ++at) ++n;
        return n;
    };
    for (const char* day : {"20061001", "20061002", "20061003"}) fill(day, 100);
    {
        test::LogCapture log;
        const RetentionOutcome r = deleteExpiredRecordings(dir, makeDateTime(2006, 10, 6), 2);
        EXPECT_EQ(r.deleted.files, 300);
        EXPECT_EQ(guardLines(log.text()), 1u) << log.text().substr(0, 2000);
        EXPECT_THAT(log.text(), ::testing::HasSubstr("ipcam.guard: Retention (2 days) deleted 300 recordings "
                                                     "(0.3 MB) dated 20061001 to 20061003, 3 empty date folders "
                                                     "removed\n"));
    }

    // The free-space guard at a finish, deleting 100 files of 1 KiB to make
    // up for 4 MB short (25 files a MB).
    fill("20061010", 100);
    const auto left = [&] {
        return static_cast<uint32_t>(std::distance(fs::directory_iterator(path("20061010")), fs::directory_iterator()));
    };
    uint32_t base = 600;
    freeSpace.value = [&] { return base + (100 - left()) / 25; };
    session().ManualRequest = true;
    picture(jpeg(100));
    base = 508;
    test::LogCapture log;
    QLoggingCategory::setFilterRules("ipcam.guard.debug=true");
    endFromOutside();
    QLoggingCategory::setFilterRules("");
    EXPECT_EQ(left(), 0u);
    EXPECT_THAT(log.text(), ::testing::HasSubstr("ipcam.guard: Disk space guard deleted 100 recordings (0.1 MB) "
                                                 "dated 20061010 to 20061010; Free Space :512M Bytes.\n"));
    EXPECT_THAT(log.text(), ::testing::HasSubstr("DEBUG ipcam.guard: Disk space guard deletes the oldest recording " +
                                                 path("20061010/000099T.AVI") + "\n"));
    EXPECT_EQ(guardLines(log.text()), 101u);  // the summary and, at the debug level, the names
    EXPECT_TRUE(host.warnings.empty());
}

TEST_F(DiskGuardTest, CheckAtStartWarnsByWhatItTurnedOff) {
    struct Case {
        bool daily, motion;
        const char* text;
    };
    const Case cases[] = {
        {true, false, "HDD Free Space is not enough, so Daily Record stops."},
        {false, true, "HDD Free Space is not enough, so Motion Detection is turned off."},
        {true, true, "HDD Free Space is not enough, so Motion Detection and Daily Record are turned off."},
        {false, false, "Please make sure HDD free space is more than 512MB."},
    };
    freeSpace.value = [] { return 512u; };
    for (const Case& c : cases) {
        session() = RecordingSession{};
        host.warnings.clear();
        settings.schedule = WeekSchedule{};
        if (c.daily) settings.schedule.at(4, 15) = 1;
        settings.motionDetectionEnabled = c.motion ? 1 : 0;
        recorder->resumeMotion();
        recorder->checkDiskAtStart();
        EXPECT_EQ(host.warnings, std::vector<std::string>{c.text});
        EXPECT_TRUE(session().StopRequest);
        EXPECT_EQ(session().BlockHandled, c.daily);
        EXPECT_EQ(host.motionOff, c.motion);
        EXPECT_EQ(host.buttons.back(), 0);
    }

    freeSpace.value = [] { return 513u; };
    session().StopRequest = true;
    session().BlockHandled = true;
    host.warnings.clear();
    recorder->checkDiskAtStart();
    EXPECT_FALSE(session().StopRequest);
    EXPECT_FALSE(session().BlockHandled);
    EXPECT_TRUE(host.warnings.empty());
}

}  // namespace
}  // namespace ipcam::rectest

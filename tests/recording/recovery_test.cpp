#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <thread>

extern "C" {
#include <libavformat/avformat.h>
}

#include "media_fixtures.h"
#include "playback/mkv_reader.h"
#include "recording/avi_format.h"
#include "recording/mkv_file.h"
#include "recording/avi_writer.h"
#include "recording/recorder.h"
#include "recording_fakes.h"

namespace ipcam::rectest {
namespace {

using RecoveryTest = RecorderFixture;

void setLocalMtime(const std::string& file, int y, int mo, int d, int h, int mi, int s) {
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    const timespec times[2] = {{std::mktime(&tm), 0}, {std::mktime(&tm), 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

TEST(PartialNames, RoundTrip) {
    const auto t = makeDateTime(2006, 10, 12, 15, 30, 12);
    EXPECT_EQ(partialFileName(t, 'T'), ".recording-20061012-153012-T.partial");
    EXPECT_EQ(partialFileName(t, 'A', 3), ".recording-20061012-153012-A-3.partial");
    const auto parsed = parsePartialFileName(partialFileName(t, 'A', 3));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->start, t);
    EXPECT_EQ(parsed->letter, 'A');
    EXPECT_EQ(partialFileName(t, 'T', 2, RecordingFormat::Mkv), ".recording-20061012-153012-T-2.mkv.partial");
    const auto mkv = parsePartialFileName(partialFileName(t, 'T', 2, RecordingFormat::Mkv));
    ASSERT_TRUE(mkv);
    EXPECT_EQ(mkv->format, RecordingFormat::Mkv);
    EXPECT_EQ(parsed->format, RecordingFormat::Avi);
    for (const char* no : {".recording-20061012-153012-X.partial", ".recording-20061012-153012-T.avi.partial", ".recording-2006101-153012-T.partial",
                           ".recording-20061012-153012-T-.partial", ".recording-20061012-153012-T.part",
                           "recording-20061012-153012-T.partial", ".recording-20061312-153012-T.partial"})
        EXPECT_FALSE(parsePartialFileName(no)) << no;
}

TEST_F(RecoveryTest, AbandonedRecordingBecomesValidFileWithEveryWholePicture) {
    const auto p0 = jpeg(50), p1 = jpeg(1001, 1), p2 = jpeg(2000, 2), p3 = jpeg(333, 3);
    session().ManualRequest = true;
    picture(p0);
    picture(p1);
    picture(p2);
    picture(p3);
    recorder.reset();  // the process dies here
    const auto partial = partialFiles();
    ASSERT_EQ(partial.size(), 1u);
    // A picture cut off in the middle of its write.
    {
        std::ofstream out(path(partial[0]), std::ios::binary | std::ios::app);
        out.write("00dc", 4);
        const char len[4] = {static_cast<char>(0xE8), 0x03, 0, 0};
        out.write(len, 4);
        out.write("half a picture", 14);
    }
    setLocalMtime(path(partial[0]), 2006, 10, 12, 15, 30, 19);

    makeRecorder();
    EXPECT_EQ(recover(*recorder), 1);
    EXPECT_TRUE(isAvi(readFile(path("20061012/153012T.AVI")), {p0, p1, p2, p3}, perFrame(7, 4)));
    EXPECT_TRUE(partialFiles().empty());
    EXPECT_EQ(recover(*recorder), 0);
}

TEST_F(RecoveryTest, KilledProcessLeavesARecoverableRecording) {
    // Large enough that the writer puts them on disk before the kill
    // (small pictures are gathered for up to a second).
    const auto p1 = jpeg(40001, 7), p2 = jpeg(40002, 8);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        FakeHost h;
        FakeFreeSpace f;
        Recorder r(settings, clock, h, f);
        r.requestManual();
        r.step(p1, PixelView{});
        r.step(p2, PixelView{});
        r.settle();  // handed to the kernel, not yet finished
        ::kill(::getpid(), SIGKILL);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    const auto partial = partialFiles();
    ASSERT_EQ(partial.size(), 1u);
    setLocalMtime(path(partial[0]), 2006, 10, 12, 15, 30, 14);

    // The recovery runs on the recording's thread. A recording started at
    // once, in the same second, comes after it: neither is taken for the other.
    recorder->recoverPartialFiles();
    session().ManualRequest = true;
    recorder->step(jpeg(11), PixelView{});
    recorder->settle();
    EXPECT_EQ(recorder->recoveredFiles(), 1);
    EXPECT_TRUE(isAvi(readFile(path("20061012/153012T.AVI")), {p1, p2}, perFrame(2, 2)));
    EXPECT_EQ(partialFiles().size(), 1u);  // the new recording, still open
}

TEST_F(RecoveryTest, CrashDuringFinishIsCompletedAndKeepsItsKind) {
    // Index already appended, not yet renamed.
    const auto p = jpeg(600, 4);
    const auto bytes = aviFile({p, p, p}, perFrame(1, 3), 160, 120);
    const std::string name = partialFileName(makeDateTime(2006, 10, 12, 10, 0, 5), 'A');
    writeFile(path(name), std::string(bytes.begin(), bytes.end()));
    setLocalMtime(path(name), 2006, 10, 12, 10, 10, 6);
    std::filesystem::create_directory(path("20061012"));
    writeFile(path("20061012/100005A.AVI"), "an earlier recording");

    EXPECT_EQ(recover(*recorder), 1);
    EXPECT_TRUE(isAvi(readFile(path("20061012/100005-1A.AVI")), {p, p, p}, perFrame(601, 3), 160, 120));
    EXPECT_EQ(readFile(path("20061012/100005A.AVI")).size(), 20u);  // not overwritten
}

// The rate a recovery gives is the one a finish would: from the pictures'
// arrival times, not from the time that passed while none came.
TEST_F(RecoveryTest, RateComesFromTheRecordersOwnTimingNotTheWallClock) {
    const auto p1 = jpeg(70001, 1), p2 = jpeg(70002, 2);
    std::chrono::steady_clock::time_point arrival{};
    recorder->setArrivalClock([&] { return arrival; });
    session().ManualRequest = true;
    picture(jpeg(10));
    arrival += std::chrono::milliseconds(100);
    picture(p1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the camera stalls
    arrival += std::chrono::milliseconds(100);
    picture(p2);  // a second has passed: synced, with the running totals
    recorder.reset();  // the process dies here
    const auto partial = partialFiles();
    ASSERT_EQ(partial.size(), 1u);
    // The clock was corrected by a year meanwhile.
    setLocalMtime(path(partial[0]), 2007, 10, 12, 15, 30, 14);

    makeRecorder();
    EXPECT_EQ(recover(*recorder), 1);
    const auto f = readFile(path("20061012/153012T.AVI"));
    // Three pictures 0.1 s apart; the running totals are gone from the filler.
    EXPECT_TRUE(isAvi(f, {jpeg(10), p1, p2}, 100000));
}

TEST_F(RecoveryTest, SecondCopyOnTheSameFolderTouchesNothingThere) {
    EXPECT_EQ(recover(*recorder), 0);  // this copy holds the folder now
    session().ManualRequest = true;
    picture(jpeg(10));
    picture(jpeg(70001));
    const auto live = partialFiles();
    ASSERT_EQ(live.size(), 1u);

    // A second copy (a lock is per open file, so one process shows it).
    FakeHost h2;
    FakeFreeSpace f2;
    auto second = std::make_unique<Recorder>(settings, clock, h2, f2);
    RecordingSession& s2 = second->session();
    const std::string busy = "Another IPCam Recorder is recording into " + dir + "; this one will not record there.";
    EXPECT_EQ(recover(*second), 0);
    EXPECT_EQ(h2.warnings, std::vector<std::string>{busy});
    EXPECT_EQ(partialFiles(), live);
    s2.ManualRequest = true;
    second->step(jpeg(10), PixelView{});
    second->settle();
    ASSERT_EQ(h2.warnings.size(), 2u);
    EXPECT_EQ(h2.warnings[1].rfind(busy, 0), 0u);
    EXPECT_EQ(s2.RecordKind, kNotRecording);
    EXPECT_EQ(partialFiles(), live);

    // The first copy ends: the folder is free for the second.
    endFromOutside();
    recorder.reset();
    EXPECT_TRUE(exists(path("20061012/153012T.AVI")));
    s2.ManualRequest = true;
    second->step(jpeg(10), PixelView{});
    second->settle();
    EXPECT_EQ(s2.RecordKind, kManual);
    EXPECT_EQ(h2.warnings.size(), 2u);
}

TEST_F(RecoveryTest, ForeignAndHeaderlessFilesAreHandledSafely) {
    // Cut off before the header was complete: no picture in it.
    writeFile(path(partialFileName(makeDateTime(2006, 10, 12, 9, 0, 0), 'T')), "RIFF");
    // Named like ours but not one of our recordings: left alone.
    const std::string strange = partialFileName(makeDateTime(2006, 10, 12, 9, 0, 1), 'T');
    writeFile(path(strange), std::string(600, 'x'));
    writeFile(path(".recording-notes.partial"), "mine");
    writeFile(path("notes.partial"), "mine");

    EXPECT_EQ(recover(*recorder), 0);
    EXPECT_EQ(listTree(dir), (std::vector<std::string>{strange, ".recording-notes.partial", "notes.partial"}));
}

TEST(MkvRecovery, KilledWriterLeavesEveryPictureButTheLastSecondOrTwo) {
    // 60 pictures at 25/s, handed over in real time, then kill -9.
    const media_test::Camera cam = media_test::makeCamera(AV_CODEC_ID_H264, 60, 25, 25, true);
    if (!cam.tracks) GTEST_SKIP() << "no libx264 encoder";
    QTemporaryDir tmp;
    const std::string dir = tmp.path().toStdString();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        PartialMkvWriter w;
        std::string error;
        if (!w.open(dir, makeDateTime(2006, 10, 12, 15, 30, 12), false, *cam.tracks, &error)) ::_exit(2);
        for (const MediaPacket& p : cam.packets) {
            if (!w.append(p, &error)) ::_exit(3);
            if (p.isVideo()) std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
        ::kill(::getpid(), SIGKILL);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << WEXITSTATUS(status);
    const std::string partial = dir + "/.recording-20061012-153012-T.mkv.partial";
    ASSERT_TRUE(std::filesystem::exists(partial));

    // Beside it: one cut off before its header (removed) and one named like
    // ours that is not (left alone).
    const std::string headerless = dir + "/" + partialFileName(makeDateTime(2006, 10, 12, 9, 0, 0), 'T', 0, RecordingFormat::Mkv);
    const std::string strange = dir + "/" + partialFileName(makeDateTime(2006, 10, 12, 9, 0, 1), 'A', 0, RecordingFormat::Mkv);
    writeFile(headerless, "");
    writeFile(strange, std::string(600, 'x'));

    EXPECT_EQ(recoverPartialRecordings(dir), 1);
    EXPECT_FALSE(std::filesystem::exists(partial));
    EXPECT_FALSE(std::filesystem::exists(headerless));
    EXPECT_TRUE(std::filesystem::exists(strange));
    const std::string final = dir + "/20061012/153012T.MKV";
    ASSERT_TRUE(std::filesystem::exists(final));

    // A complete file: libavformat reads it with its cues, every track there.
    bool ours = false;
    std::string error;
    AVFormatContext* in = mkv::openInput(final, &ours, &error);
    ASSERT_NE(in, nullptr) << error;
    EXPECT_TRUE(ours);
    EXPECT_EQ(in->nb_streams, 3u);
    EXPECT_GT(in->duration, 0);
    int video = 0;
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(in, pkt) >= 0) {
        if (pkt->stream_index == 0) ++video;
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    mkv::closeInput(in);
    EXPECT_GE(video, 60 - 2 * 25);  // at most about the last two seconds lost
    EXPECT_LE(video, 60);
    if (std::system("command -v ffprobe >/dev/null 2>&1") == 0) {
        const std::string cmd = "ffprobe -v error -count_packets -select_streams v:0 -show_entries "
                                "stream=nb_read_packets -of csv=p=0 '" + final + "'";
        FILE* p = ::popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        int probed = -1;
        EXPECT_EQ(std::fscanf(p, "%d", &probed), 1);
        ::pclose(p);
        EXPECT_EQ(probed, video);
    }
    MkvReader reader;
    ASSERT_EQ(reader.open(QString::fromStdString(final)), MkvReader::OpenStatus::Opened);
    EXPECT_EQ(reader.frameCount(), video);
    QImage last;
    EXPECT_TRUE(reader.decodePicture(video - 1, last, {}));
    EXPECT_EQ(recoverPartialRecordings(dir), 0);
}

}  // namespace
}  // namespace ipcam::rectest

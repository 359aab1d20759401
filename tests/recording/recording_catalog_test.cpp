// The recordings catalog: the name rule on a real folder tree (links and
// names from outside included), and listing and opening real recordings of
// both formats through the one factory.

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <filesystem>
#include <fstream>

#include "media_fixtures.h"
#include "playback/playback_fixtures.h"
#include "playback/recording_source.h"
#include "recording/mkv_file.h"
#include "recording/recording_catalog.h"

namespace ipcam {
namespace {

namespace fs = std::filesystem;

void writeFile(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

TEST(RecordingCatalog, NameRuleOnARealTreeWithLinks) {
    for (const char* ok : {"153012T.AVI", "153012A.AVI", "153012-1T.AVI", "000000-12A.AVI", "153012T.MKV",
                           "153012-3A.MKV", "999999-007T.AVI"}) {
        const auto name = RecordingName::parse("20061012", ok);
        ASSERT_TRUE(name) << ok;
        EXPECT_EQ(name->fileName(), ok);
        EXPECT_EQ(RecordingName::parse("20061012/" + std::string(ok)), name) << ok;
    }
    for (const char* no : {"15301T.AVI", "153012X.AVI", "153012T.avi", "153012-T.AVI", "153012T.AVI.bak",
                           "abc.AVI", "1530121T.AVI", "153012-1aT.AVI", "diary.txt", "153012 T.AVI", "notes.mkv",
                           "123456X.MKV", "153012T.mkv", "153012T.MKV.partial", "153012T.MKA", "",
                           ".recording-20061012-153012-T.partial"})
        EXPECT_FALSE(RecordingName::parseFileName(no)) << no;
    const auto n = RecordingName::parse("20061012/153012-2A.MKV");
    ASSERT_TRUE(n);
    EXPECT_EQ(n->time, "153012");
    EXPECT_EQ(n->suffix, "2");
    EXPECT_TRUE(n->alarm());
    EXPECT_EQ(n->format, RecordingFormat::Mkv);
    EXPECT_EQ(n->relativePath(), "20061012/153012-2A.MKV");
    // Same second: the plain name, then -1, -2, -10; the day before first.
    EXPECT_LT(*RecordingName::parse("20061011/235959-9T.AVI"), *RecordingName::parse("20061012/000000T.AVI"));
    EXPECT_LT(*RecordingName::parse("20061012/153012T.MKV"), *RecordingName::parse("20061012/153012-1A.AVI"));
    EXPECT_LT(*RecordingName::parse("20061012/153012-2A.AVI"), *RecordingName::parse("20061012/153012-10A.AVI"));

    QTemporaryDir tmp;
    const std::string root = tmp.path().toStdString() + "/rec";
    const std::string outside = tmp.path().toStdString() + "/outside";
    fs::create_directories(root + "/20061012");
    fs::create_directories(root + "/20061013/153000A.AVI");  // a folder named like a recording
    fs::create_directories(outside + "/20061014");
    writeFile(root + "/20061012/153012T.AVI", "ours");
    writeFile(root + "/20061012/153012-1A.MKV", "ours too");
    writeFile(root + "/20061012/notes.txt", "someone else's");
    writeFile(root + "/153012T.AVI", "not in a date folder");
    writeFile(outside + "/secret", "outside");
    writeFile(outside + "/20061014/120000T.AVI", "outside");
    fs::create_symlink(outside + "/secret", root + "/20061012/160000T.AVI");      // a link out of the folder
    fs::create_symlink(root + "/20061012/153012T.AVI", root + "/20061012/170000T.AVI");  // a link within
    fs::create_symlink(outside + "/20061014", root + "/20061014");                // a linked date folder

    EXPECT_EQ(resolveRecording(root, "20061012/153012T.AVI"), root + "/20061012/153012T.AVI");
    EXPECT_EQ(resolveRecording(root, "20061012/153012-1A.MKV"), root + "/20061012/153012-1A.MKV");
    for (const char* refused : {"20061012/160000T.AVI", "20061012/170000T.AVI", "20061014/120000T.AVI",
                                "20061013/153000A.AVI", "20061012/120000T.AVI", "20061012/notes.txt",
                                "153012T.AVI", "/20061012/153012T.AVI", "20061012//153012T.AVI",
                                "20061012/../20061012/153012T.AVI", "../rec/20061012/153012T.AVI",
                                "20061012/./153012T.AVI", "2006101/153012T.AVI", "20061012/153012T.AVI/"})
        EXPECT_FALSE(resolveRecording(root, refused)) << refused;
    const std::string absolute = root + "/20061012/153012T.AVI";
    EXPECT_FALSE(resolveRecording(root, absolute));
    EXPECT_FALSE(resolveRecording("", "20061012/153012T.AVI"));

    // The listing shows the same: links, foreign files and folders left out.
    const auto days = listRecordings(root);
    ASSERT_EQ(days.size(), 1u);
    EXPECT_EQ(days[0].date, "20061012");
    ASSERT_EQ(days[0].recordings.size(), 2u);
    EXPECT_EQ(days[0].recordings[0].name.fileName(), "153012-1A.MKV");  // newest first
    EXPECT_EQ(days[0].recordings[0].size, 8u);
    EXPECT_EQ(days[0].recordings[1].name.fileName(), "153012T.AVI");
    const auto timed = listRecordings(root, KindFilter::Timed, ListOrder::OldestFirst);
    ASSERT_EQ(timed.size(), 1u);
    ASSERT_EQ(timed[0].recordings.size(), 1u);
    EXPECT_EQ(timed[0].recordings[0].name.relativePath(), "20061012/153012T.AVI");
}

TEST(RecordingCatalog, ListsDaysAndOpensBothFormatsThroughOneFactory) {
    QTemporaryDir tmp;
    const std::string root = tmp.path().toStdString();
    fs::create_directories(root + "/20061011");
    ASSERT_TRUE(playback_test::writeFile(QString::fromStdString(root + "/20061011/080000T.AVI"),
                                         playback_test::recording(1, 6, 3)));
    // An AVI file under a Matroska name is opened as what its name says.
    ASSERT_TRUE(playback_test::writeFile(QString::fromStdString(root + "/20061011/090000A.MKV"),
                                         playback_test::recording(1, 6, 3)));

    const media_test::Camera cam = media_test::makeCamera(AV_CODEC_ID_H264, 25, 25, 10, false);
    const bool mkv = cam.tracks != nullptr;
    if (mkv) {  // the writer's own final name
        PartialMkvWriter w;
        std::string error, final;
        ASSERT_TRUE(w.open(root, makeDateTime(2006, 10, 12, 15, 30, 12), true, *cam.tracks, &error)) << error;
        for (const MediaPacket& p : cam.packets) ASSERT_TRUE(w.append(p, &error)) << error;
        fs::create_directories(root + "/20061012");
        ASSERT_TRUE(w.finish(root + "/20061012", "153012", true, &final, &error)) << error;
        EXPECT_EQ(final, root + "/20061012/153012A.MKV");
    }

    const auto days = listRecordings(root, KindFilter::All, ListOrder::OldestFirst);
    ASSERT_EQ(days.size(), mkv ? 2u : 1u);
    EXPECT_EQ(days[0].date, "20061011");
    ASSERT_EQ(days[0].recordings.size(), 2u);

    const auto avi = resolveRecording(root, days[0].recordings[0].name.relativePath());
    ASSERT_TRUE(avi);
    auto source = openRecording(QString::fromStdString(*avi));
    ASSERT_TRUE(source);
    EXPECT_EQ(source->frameCount(), 6);
    EXPECT_EQ(source->secondsAt(source->frameCount()), 3u);
    EXPECT_FALSE(openRecording(QString::fromStdString(*resolveRecording(root, "20061011/090000A.MKV"))));
    EXPECT_FALSE(openRecording(QString::fromStdString(root + "/20061011/missing.AVI")));

    if (!mkv) GTEST_SKIP() << "no libx264 encoder: the Matroska half not run";
    ASSERT_EQ(days[1].recordings.size(), 1u);
    const RecordingEntry& e = days[1].recordings[0];
    EXPECT_EQ(e.name.relativePath(), "20061012/153012A.MKV");
    EXPECT_EQ(e.size, fs::file_size(root + "/20061012/153012A.MKV"));
    source = openRecording(QString::fromStdString(*resolveRecording(root, e.name.relativePath())));
    ASSERT_TRUE(source);
    EXPECT_EQ(source->frameCount(), 25);
    QImage picture;
    EXPECT_TRUE(source->decodePicture(24, picture, QSize(32, 24)));
}

}  // namespace
}  // namespace ipcam

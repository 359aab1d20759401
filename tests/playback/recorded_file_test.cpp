// The recorded-file reader: header marks, timing rules, picture lookup
// through the index, and staying inside damaged or truncated files.

#include <gtest/gtest.h>

#include <QBuffer>
#include <QImage>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include "camera/jpeg_decoder.h"
#include "playback/recorded_file.h"
#include "playback_fixtures.h"

namespace ipcam {
namespace {

using playback_test::putU32;
using playback_test::recording;

RecordedFile::OpenStatus openBytes(RecordedFile& reader, const QByteArray& bytes) {
    auto buffer = std::make_unique<QBuffer>();
    buffer->setData(bytes);
    return reader.openDevice(std::move(buffer));
}

TEST(PlaybackClock, TimesAreExactWholeSeconds) {
    // 250 pictures in 100 s.
    EXPECT_EQ(frameSeconds(250, 400000), 100u);
    EXPECT_EQ(formatClock(frameSeconds(250, 400000)), "00:01:40");
    EXPECT_EQ(formatClock(frameSeconds(125, 400000)), "00:00:50");
    EXPECT_EQ(frameInterval(400000), 400);
    // 3 pictures in 10 s: 3333333 us each, truncated everywhere.
    EXPECT_EQ(formatClock(frameSeconds(2, 3333333)), "00:00:06");
    EXPECT_EQ(formatClock(frameSeconds(3, 3333333)), "00:00:09");
    EXPECT_EQ(frameInterval(3333333), 3333);
    EXPECT_EQ(frameSeconds(0, 3333333), 0u);
    // Products that would not fit 32 bits, and a large n.
    EXPECT_EQ(frameSeconds(30000, 4000000000u), 120000000u);
    EXPECT_EQ(frameSeconds(3000000, 1000001), 3000003u);
}

TEST(PlaybackClock, FormatsHoursMinutesSeconds) {
    EXPECT_EQ(formatClock(0), "00:00:00");
    EXPECT_EQ(formatClock(3725), "01:02:05");
    EXPECT_EQ(formatClock(86399), "23:59:59");
    EXPECT_EQ(formatClock(360000), "100:00:00");
}

TEST(PlaybackLayout, SizeClasses) {
    EXPECT_EQ(playbackLayoutFor(640, 480), 0);
    EXPECT_EQ(playbackLayoutFor(320, 240), 1);
    EXPECT_EQ(playbackLayoutFor(160, 120), 2);
    EXPECT_EQ(playbackLayoutFor(800, 600), 1);
    EXPECT_EQ(playbackLayoutFor(480, 640), 1);
    EXPECT_EQ(playbackLayoutFor(120, 160), 1);
}

TEST(RecordedFileReader, OpensARecordingAndServesEachPictureThroughTheIndex) {
    std::vector<std::vector<uint8_t>> pictures;
    for (int i = 0; i < 5; ++i)
        pictures.push_back(playback_test::jpegPicture(16 + i, 16, playback_test::pictureColour(i)));
    pictures[1].push_back(0xAB);  // odd or even, the pad must not matter
    const auto file = playback_test::aviOf(2, pictures, 2);
    QTemporaryDir dir;
    const QString path = dir.filePath("120000T.AVI");
    ASSERT_TRUE(playback_test::writeFile(path, QByteArray(reinterpret_cast<const char*>(file.data()),
                                                          static_cast<qsizetype>(file.size()))));

    RecordedFile reader;
    ASSERT_EQ(reader.openRecordedFile(path), RecordedFile::OpenStatus::Opened);
    EXPECT_TRUE(reader.isOpen());
    EXPECT_EQ(reader.frameTotal(), 5u);
    EXPECT_EQ(reader.frameCount(), 5);
    EXPECT_EQ(reader.frameDuration(), 400000u);
    EXPECT_EQ(reader.playbackLayout(), 2);
    // The index starts 8 bytes past the "idx1" id, which follows the last chunk.
    const uint64_t idx1 = file.size() - 8 - 16 * pictures.size();
    EXPECT_EQ(reader.indexStart(), idx1 + 8);

    QByteArray bytes;
    for (int n = 4; n >= 0; --n) {  // any order: seeking is direct
        ASSERT_TRUE(reader.readPicture(n, bytes)) << n;
        const auto& p = pictures[static_cast<size_t>(n)];
        ASSERT_EQ(static_cast<size_t>(bytes.size()), avi::paddedLength(p.size()));
        EXPECT_EQ(0, memcmp(bytes.constData(), p.data(), p.size())) << n;
    }
    EXPECT_FALSE(reader.readPicture(5, bytes));
    EXPECT_FALSE(reader.readPicture(-1, bytes));
    EXPECT_TRUE(bytes.isEmpty());

    reader.close();
    EXPECT_FALSE(reader.isOpen());
    EXPECT_FALSE(reader.readPicture(0, bytes));
}

TEST(RecordedFileReader, LongRecordingTimesAndLayoutClasses) {
    RecordedFile reader;
    ASSERT_EQ(openBytes(reader, recording(1, 250, 100)), RecordedFile::OpenStatus::Opened);
    EXPECT_EQ(reader.frameCount(), 250);
    EXPECT_EQ(formatClock(frameSeconds(reader.frameTotal(), reader.frameDuration())), "00:01:40");
    EXPECT_EQ(reader.playbackLayout(), 1);

    ASSERT_EQ(openBytes(reader, recording(0, 3, 10)), RecordedFile::OpenStatus::Opened);
    EXPECT_EQ(reader.frameDuration(), 3333333u);
    EXPECT_EQ(reader.playbackLayout(), 0);

    QByteArray big = recording(1, 2, 1);
    putU32(big, 64, 800);
    putU32(big, 68, 600);
    ASSERT_EQ(openBytes(reader, big), RecordedFile::OpenStatus::Opened);
    EXPECT_EQ(reader.playbackLayout(), 1);
}

TEST(RecordedFileReader, RefusesFilesNotWrittenByThisProgram) {
    const QByteArray good = recording(1, 2, 1);
    RecordedFile reader;
    // Each of the five marks on its own is enough to refuse the file.
    for (int offset : {0, 8, 212, 220, 508}) {
        QByteArray bad = good;
        bad[offset + 1] = 'x';
        EXPECT_EQ(openBytes(reader, bad), RecordedFile::OpenStatus::Foreign) << offset;
        EXPECT_FALSE(reader.isOpen());
    }
    // Another writer's AVI: same RIFF frame but a different maker text.
    QByteArray other = good;
    other.replace(220, 4, "Lavf");
    EXPECT_EQ(openBytes(reader, other), RecordedFile::OpenStatus::Foreign);
    // Not even a RIFF file.
    EXPECT_EQ(openBytes(reader, QByteArray(600, 'A')), RecordedFile::OpenStatus::Foreign);
    EXPECT_EQ(openBytes(reader, good.left(511)), RecordedFile::OpenStatus::TooShort);
    EXPECT_EQ(openBytes(reader, QByteArray()), RecordedFile::OpenStatus::TooShort);

    QTemporaryDir dir;
    EXPECT_EQ(reader.openRecordedFile(dir.filePath("missing.AVI")), RecordedFile::OpenStatus::Unreadable);
    EXPECT_EQ(reader.openRecordedFile(dir.path()), RecordedFile::OpenStatus::Unreadable);
    EXPECT_EQ(reader.openRecordedFile(QString()), RecordedFile::OpenStatus::Unreadable);
}

TEST(RecordedFileReader, EmptyRecordingHasNoPictureToServe) {
    const auto file = playback_test::aviOf(1, {}, 3);
    ASSERT_EQ(file.size(), 520u);
    QByteArray bytes(reinterpret_cast<const char*>(file.data()), 520);
    RecordedFile reader;
    // The header claims one picture, but the index holds none.
    EXPECT_EQ(openBytes(reader, bytes), RecordedFile::OpenStatus::NoPictures);
    EXPECT_FALSE(reader.isOpen());
    QByteArray picture;
    EXPECT_FALSE(reader.readPicture(0, picture));
}

TEST(RecordedFileReader, DamagedIndexOpensWithThePicturesReallyThere) {
    const QByteArray good = recording(1, 6, 3);
    const int idx1 = good.size() - 8 - 6 * 16;
    RecordedFile reader;

    // Cut inside the index: only whole entries count.
    ASSERT_EQ(openBytes(reader, good.left(good.size() - 16 - 5)), RecordedFile::OpenStatus::Opened);
    EXPECT_EQ(reader.frameCount(), 4);
    EXPECT_EQ(reader.frameTotal(), 6u);

    // The header announces more pictures than the index holds.
    QByteArray more = good;
    putU32(more, 140, 1000000);
    ASSERT_EQ(openBytes(reader, more), RecordedFile::OpenStatus::Opened);
    EXPECT_EQ(reader.frameCount(), 6);

    // Fewer announced than indexed: the header wins.
    QByteArray fewer = good;
    putU32(fewer, 140, 2);
    ASSERT_EQ(openBytes(reader, fewer), RecordedFile::OpenStatus::Opened);
    EXPECT_EQ(reader.frameCount(), 2);

    // Entries pointing past the end: the last ones are dropped, one in the
    // middle serves nothing but the others still play.
    QByteArray outside = good;
    putU32(outside, idx1 + 8 + 5 * 16 + 8, 0xFFFFFFF0u);        // last offset
    putU32(outside, idx1 + 8 + 4 * 16 + 12, 0xFFFFFFFFu);       // 5th length
    putU32(outside, idx1 + 8 + 2 * 16 + 8, static_cast<uint32_t>(good.size()));  // 3rd offset
    ASSERT_EQ(openBytes(reader, outside), RecordedFile::OpenStatus::Opened);
    EXPECT_EQ(reader.frameCount(), 4);
    QByteArray picture;
    EXPECT_TRUE(reader.readPicture(1, picture));
    EXPECT_FALSE(reader.readPicture(2, picture));
    EXPECT_TRUE(picture.isEmpty());
    EXPECT_TRUE(reader.readPicture(3, picture));

    // A movi size that puts the index past the end of the file.
    QByteArray lost = good;
    putU32(lost, 504, 0xFFFFFFFFu);
    EXPECT_EQ(openBytes(reader, lost), RecordedFile::OpenStatus::NoPictures);
    // Truncated before the index: nothing can be found.
    EXPECT_EQ(openBytes(reader, good.left(idx1)), RecordedFile::OpenStatus::NoPictures);
}

TEST(RecordedFileReader, MutatedRecordingsNeverReadOutsideTheFile) {
    const QByteArray good = recording(2, 5, 2);
    JpegDecoder decoder;
    QImage image;
    QRandomGenerator random(20240601u);
    int opened = 0;
    for (int round = 0; round < 400; ++round) {
        QByteArray bad = good;
        const int kind = round % 4;
        if (kind == 0) {
            bad.truncate(static_cast<qsizetype>(random.bounded(good.size())));
        } else {
            const int flips = 1 + static_cast<int>(random.bounded(8));
            for (int i = 0; i < flips; ++i) {
                // Aim at the header fields and the index most of the time.
                int at;
                if (kind == 1)
                    at = static_cast<int>(random.bounded(512));
                else if (kind == 2)
                    at = good.size() - 1 - static_cast<int>(random.bounded(5 * 16 + 8));
                else
                    at = static_cast<int>(random.bounded(good.size()));
                bad[at] = static_cast<char>(random.bounded(256));
            }
            if (kind == 2 && random.bounded(2) == 0)
                putU32(bad, good.size() - 8, random.generate());
        }
        RecordedFile reader;
        if (openBytes(reader, bad) != RecordedFile::OpenStatus::Opened)
            continue;
        ++opened;
        ASSERT_GT(reader.frameCount(), 0);
        ASSERT_LE(static_cast<uint32_t>(reader.frameCount()), reader.frameTotal());
        QByteArray picture;
        for (int n = 0; n < reader.frameCount(); ++n) {
            if (!reader.readPicture(n, picture))
                continue;
            ASSERT_LE(picture.size(), bad.size());
            decoder.decode(reinterpret_cast<const uint8_t*>(picture.constData()),
                           static_cast<size_t>(picture.size()), image);
        }
    }
    EXPECT_GT(opened, 0);
}

TEST(RecordedFileReader, PadByteDoesNotChangeThePicture) {
    auto odd = playback_test::jpegPicture(24, 16, Qt::blue);
    if (odd.size() % 2 == 0)
        odd.push_back(0);  // trailing stream bytes make it odd
    const auto file = playback_test::aviOf(1, {odd}, 1);
    RecordedFile reader;
    ASSERT_EQ(openBytes(reader, QByteArray(reinterpret_cast<const char*>(file.data()),
                                           static_cast<qsizetype>(file.size()))),
              RecordedFile::OpenStatus::Opened);
    QByteArray padded;
    ASSERT_TRUE(reader.readPicture(0, padded));
    EXPECT_EQ(static_cast<size_t>(padded.size()), odd.size() + 1);

    JpegDecoder decoder;
    QImage fromFile, direct;
    ASSERT_TRUE(decoder.decode(reinterpret_cast<const uint8_t*>(padded.constData()),
                               static_cast<size_t>(padded.size()), fromFile));
    ASSERT_TRUE(decoder.decode(odd.data(), odd.size(), direct));
    EXPECT_EQ(fromFile, direct);
}

}  // namespace
}  // namespace ipcam

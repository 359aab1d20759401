// The Matroska recording: written packet by packet through PartialMkvWriter,
// finished under its final name, read back by libavformat, ffprobe and our
// own reader (pictures, times, decoded colours).

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cstdio>
#include <filesystem>

extern "C" {
#include <libavformat/avformat.h>
}

#include "media_fixtures.h"
#include "playback/mkv_reader.h"
#include "recording/mkv_file.h"

namespace ipcam {
namespace {

using namespace media_test;

bool near(QRgb c, int r, int g, int b) {
    return std::abs(qRed(c) - r) < 40 && std::abs(qGreen(c) - g) < 40 && std::abs(qBlue(c) - b) < 40;
}

bool pictureColourIs(MkvReader& reader, int n, int colourIndex) {
    QImage image;
    if (!reader.decodePicture(n, image, QSize(32, 24))) return false;
    int r, g, b;
    colourOf(colourIndex, r, g, b);
    return near(image.pixel(image.width() / 2, image.height() / 2), r, g, b);
}

// What ffprobe counts in a file: "codec,packets" of its first video stream
// (empty when ffprobe is not installed).
std::string ffprobeVideo(const std::string& path) {
    if (std::system("command -v ffprobe >/dev/null 2>&1") != 0) return {};
    const std::string cmd = "ffprobe -v error -count_packets -select_streams v:0 -show_entries "
                            "stream=codec_name,nb_read_packets -of csv=p=0 '" + path + "'";
    std::string out;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, p)) out += buf;
        ::pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ',')) out.pop_back();
    return out;
}

std::string record(const Camera& cam, const MediaTracks& tracks, const std::string& dir, bool alarm,
                   std::string* error) {
    PartialMkvWriter w;
    const auto start = makeDateTime(2006, 10, 12, 15, 30, 12);
    if (!w.open(dir, start, alarm, tracks, error)) return {};
    for (const MediaPacket& p : cam.packets)
        if (!w.append(p, error)) return {};
    std::filesystem::create_directories(dir + "/20061012");
    std::string final;
    return w.finish(dir + "/20061012", "153012", alarm, &final, error) ? final : std::string();
}

TEST(MkvFile, WrittenFinishedAndReadBackPictureByPicture) {
    const Camera cam = makeCamera(AV_CODEC_ID_H264, 50, 25, 10, true);
    if (!cam.tracks) GTEST_SKIP() << "no libx264 encoder";
    ASSERT_EQ(cam.tracks->tracks.size(), 3u);  // H.264, AAC, G.711 A-law
    QTemporaryDir tmp;
    const std::string dir = tmp.path().toStdString();

    PartialMkvWriter w;
    std::string error;
    const auto start = makeDateTime(2006, 10, 12, 15, 30, 12);
    ASSERT_TRUE(w.open(dir, start, false, *cam.tracks, &error)) << error;
    EXPECT_EQ(w.partialPath(), dir + "/.recording-20061012-153012-T.mkv.partial");
    const auto parsed = parsePartialFileName(".recording-20061012-153012-T.mkv.partial");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->format, RecordingFormat::Mkv);

    // Another connection's packet is refused, the file goes on.
    const Camera other = makeCamera(AV_CODEC_ID_H264, 1, 25, 10, false);
    EXPECT_FALSE(w.append(other.packets[0], &error));
    EXPECT_EQ(w.lastErrno(), 0);
    for (const MediaPacket& p : cam.packets) ASSERT_TRUE(w.append(p, &error)) << error;
    EXPECT_EQ(w.frames(), 50u);
    EXPECT_EQ(w.elapsedMs(), 49u * 40);
    EXPECT_GT(w.length(), 1000u);
    ASSERT_TRUE(w.setAlarm(true, &error)) << error;
    EXPECT_EQ(w.partialPath(), dir + "/.recording-20061012-153012-A.mkv.partial");
    std::filesystem::create_directories(dir + "/20061012");
    std::string final;
    ASSERT_TRUE(w.finish(dir + "/20061012", "153012", true, &final, &error)) << error;
    EXPECT_EQ(final, dir + "/20061012/153012A.MKV");
    EXPECT_FALSE(w.isOpen());
    EXPECT_FALSE(std::filesystem::exists(dir + "/.recording-20061012-153012-A.mkv.partial"));

    // libavformat: every track, starting at 0.
    bool ours = false;
    AVFormatContext* in = mkv::openInput(final, &ours, &error);
    ASSERT_NE(in, nullptr) << error;
    EXPECT_TRUE(ours);
    ASSERT_EQ(in->nb_streams, 3u);
    EXPECT_EQ(in->streams[0]->codecpar->codec_id, AV_CODEC_ID_H264);
    EXPECT_EQ(in->streams[1]->codecpar->codec_id, AV_CODEC_ID_AAC);
    EXPECT_EQ(in->streams[2]->codecpar->codec_id, AV_CODEC_ID_PCM_ALAW);
    int counts[3] = {};
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(in, pkt) >= 0) {
        if (counts[pkt->stream_index]++ == 0 && pkt->stream_index == 0) {
            EXPECT_EQ(pkt->pts, 0);
        }
        EXPECT_GE(pkt->pts, 0);
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    mkv::closeInput(in);
    EXPECT_EQ(counts[0], 50);
    EXPECT_GT(counts[1], 0);
    EXPECT_GT(counts[2], 0);
    const std::string probed = ffprobeVideo(final);
    if (!probed.empty()) {
        EXPECT_EQ(probed, "h264,50");
    }

    // Our reader: the pictures' times from the packets, any picture decoded.
    MkvReader reader;
    ASSERT_EQ(reader.open(QString::fromStdString(final)), MkvReader::OpenStatus::Opened);
    EXPECT_EQ(reader.frameCount(), 50);
    EXPECT_EQ(reader.width(), 64);
    EXPECT_EQ(reader.playbackLayout(), 1);
    EXPECT_EQ(reader.frameTimeMs(1), 40);
    EXPECT_EQ(reader.intervalAfter(7), 40);
    EXPECT_EQ(reader.durationMs(), 2000);
    EXPECT_EQ(reader.secondsAt(50), 2u);
    EXPECT_TRUE(reader.keyFrame(0));
    EXPECT_TRUE(reader.keyFrame(10));
    EXPECT_FALSE(reader.keyFrame(11));
    EXPECT_TRUE(pictureColourIs(reader, 0, 0));
    EXPECT_TRUE(pictureColourIs(reader, 13, 13));  // from key frame 10, forward
    EXPECT_TRUE(pictureColourIs(reader, 14, 14));  // playing on
    EXPECT_TRUE(pictureColourIs(reader, 3, 3));    // back
    EXPECT_TRUE(pictureColourIs(reader, 49, 49));
    QImage scaled;
    ASSERT_TRUE(reader.decodePicture(5, scaled, QSize(32, 32)));
    EXPECT_EQ(scaled.size(), QSize(32, 24));  // fitted, its shape kept
    EXPECT_EQ(scaled.format(), QImage::Format_RGB32);
    EXPECT_FALSE(reader.decodePicture(50, scaled, {}));

    // A second recording of the same second, from a camera whose tracks
    // carry no SPS/PPS, sent in-band before each key frame instead (taken
    // from the first): "-1", nothing replaced.
    auto bare = std::make_shared<MediaTracks>(*cam.tracks);
    AVCodecParameters* p = avcodec_parameters_alloc();
    avcodec_parameters_copy(p, cam.tracks->tracks[0].params.get());
    av_freep(&p->extradata);
    p->extradata_size = 0;
    bare->tracks[0].params = copyCodecParameters(p);
    avcodec_parameters_free(&p);
    Camera again = cam;
    again.tracks = bare;
    const AVCodecParameters* full = cam.tracks->tracks[0].params.get();
    for (MediaPacket& m : again.packets) {
        m.tracks = bare;
        if (m.track == 0 && m.key) m.data.insert(m.data.begin(), full->extradata, full->extradata + full->extradata_size);
    }
    const std::string second = record(again, *bare, dir, true, &error);
    EXPECT_EQ(second, dir + "/20061012/153012-1A.MKV") << error;
    ASSERT_EQ(reader.open(QString::fromStdString(second)), MkvReader::OpenStatus::Opened);
    EXPECT_TRUE(pictureColourIs(reader, 20, 20));

    // H.265 the same way.
    const Camera hevc = makeCamera(AV_CODEC_ID_HEVC, 12, 10, 5, false);
    if (hevc.tracks) {
        const std::string third = record(hevc, *hevc.tracks, dir, false, &error);
        EXPECT_EQ(third, dir + "/20061012/153012T.MKV") << error;
        ASSERT_EQ(reader.open(QString::fromStdString(third)), MkvReader::OpenStatus::Opened);
        EXPECT_EQ(reader.frameCount(), 12);
        EXPECT_EQ(reader.durationMs(), 1200);
        EXPECT_TRUE(pictureColourIs(reader, 7, 7));
        if (const std::string h = ffprobeVideo(third); !h.empty()) {
            EXPECT_EQ(h, "hevc,12");
        }
    }

    // The disk fills up in the middle: the append fails with ENOSPC, the
    // file takes no more, and finish saves the pictures that reached the disk.
    {
        int writes = 0;
        DiskHooks full;
        full.beforeWrite = [&](size_t) { return ++writes > 3 ? ENOSPC : 0; };
        full.sync = [](int, bool) { return 0; };
        PartialMkvWriter f;
        f.setHooks(&full);
        ASSERT_TRUE(f.open(dir, makeDateTime(2006, 10, 12, 16, 0, 0), false, *cam.tracks, &error));
        bool failed = false;
        for (const MediaPacket& p : cam.packets) {
            // A cluster every ten pictures.
            if (!f.append(p, &error) || (p.isVideo() && f.frames() % 10 == 0 && !f.flush(&error))) {
                failed = true;
                break;
            }
        }
        ASSERT_TRUE(failed);
        EXPECT_EQ(f.lastErrno(), ENOSPC);
        EXPECT_FALSE(f.append(cam.packets.back(), &error));
        std::string saved;
        ASSERT_TRUE(f.finish(dir + "/20061012", "160000", false, &saved, &error)) << error;
        EXPECT_EQ(saved, dir + "/20061012/160000T.MKV");
        ASSERT_EQ(reader.open(QString::fromStdString(saved)), MkvReader::OpenStatus::Opened);
        EXPECT_GE(reader.frameCount(), 10);
        EXPECT_LT(reader.frameCount(), 50);
        EXPECT_TRUE(pictureColourIs(reader, reader.frameCount() - 1, reader.frameCount() - 1));
        EXPECT_FALSE(std::filesystem::exists(dir + "/.recording-20061012-160000-T.mkv.partial"));
    }

    // Not ours, or no Matroska at all.
    EXPECT_EQ(reader.open(QString::fromStdString(dir + "/missing.MKV")), MkvReader::OpenStatus::Unreadable);
    {
        std::FILE* f = std::fopen((dir + "/junk.MKV").c_str(), "wb");
        std::fputs("not a recording", f);
        std::fclose(f);
    }
    EXPECT_EQ(reader.open(QString::fromStdString(dir + "/junk.MKV")), MkvReader::OpenStatus::Unreadable);
    EXPECT_FALSE(reader.isOpen());
}

}  // namespace
}  // namespace ipcam

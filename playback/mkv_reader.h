#pragma once
// The Matroska recording reader: opens one .MKV file written by this program
// (recording/mkv_file.h), lists its video pictures and their times from the
// packets alone (nothing decoded at open), and decodes picture n on demand:
// from the key frame at or before it, forward (while playing on, simply the
// next), with libavcodec, scaled by libswscale into an RGB32 image.
//
// Nothing from the file is trusted: the demuxer takes at most
// mkv::kMaxStreams tracks, the picture size is bounded before a decoder is
// made, at most mkv::kMaxFrames pictures are listed, and a decode reads a
// bounded number of packets.

#include <QImage>
#include <QSize>
#include <QString>

#include <cstdint>
#include <vector>

#include "playback/picture_source.h"

extern "C" {
struct AVFormatContext;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;
}

namespace ipcam {

class MkvReader : public PictureSource {
public:
    enum class OpenStatus {
        Opened,
        Unreadable,  // missing, unreadable or no Matroska file
        Foreign,     // not a recording of this program, or no video it plays
        NoPictures,  // ours, but no picture in it
    };

    MkvReader() = default;
    ~MkvReader() override;
    MkvReader(const MkvReader&) = delete;
    MkvReader& operator=(const MkvReader&) = delete;

    OpenStatus open(const QString& path);

    bool isOpen() const override { return input_ != nullptr; }
    void close() override;
    int frameCount() const override { return static_cast<int>(frames_.size()); }
    int playbackLayout() const override;
    uint64_t secondsAt(int n) const override;
    int intervalAfter(int n) const override;
    bool decodePicture(int n, QImage& image, QSize area) override;

    int width() const { return width_; }
    int height() const { return height_; }
    bool keyFrame(int n) const { return n >= 0 && n < frameCount() && frames_[size_t(n)].key; }
    // Milliseconds from the first picture to picture n; frameCount(): the length.
    int64_t frameTimeMs(int n) const;
    int64_t durationMs() const { return durationMs_; }

private:
    struct Frame {
        int64_t pts = 0;  // in the stream's time base
        bool key = false;
    };
    bool feedAndReceive(int n, QImage& image, QSize area);
    bool convert(QImage& image, QSize area);
    int displayIndexOf(int64_t pts) const;

    AVFormatContext* input_ = nullptr;
    AVCodecContext* decoder_ = nullptr;
    SwsContext* scaler_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    int video_ = -1;
    int tbNum_ = 1, tbDen_ = 1000;
    int width_ = 0, height_ = 0;
    std::vector<Frame> frames_;   // in presentation order
    std::vector<int> keyBefore_;  // per picture: the last key frame at or before it (-1: none)
    int64_t durationMs_ = 0;
    int64_t lastDurationMs_ = 0;
    int lastShown_ = -1;       // the picture the decoder last gave
    bool decoderReady_ = false;  // positioned after lastShown_
};

}  // namespace ipcam

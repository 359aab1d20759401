#pragma once
// What the playback window asks of an open recording, whichever its format:
// the Motion-JPEG AVI reader (RecordedFile) and the Matroska reader
// (MkvReader) both answer it.

#include <QImage>
#include <QSize>

#include <cstdint>

namespace ipcam {

class PictureSource {
public:
    virtual ~PictureSource() = default;

    virtual bool isOpen() const = 0;
    virtual void close() = 0;
    // Pictures on offer, in the order they are shown.
    virtual int frameCount() const = 0;
    // Picture size class (playbackLayoutFor).
    virtual int playbackLayout() const = 0;
    // Whole seconds from the start at which picture n is shown; n ==
    // frameCount() gives the recording's length.
    virtual uint64_t secondsAt(int n) const = 0;
    // Milliseconds picture n stays on show while playing.
    virtual int intervalAfter(int n) const = 0;
    // Picture n into `image`, fitted into `area` where the format scales
    // (an AVI picture is shown as decoded). False leaves `image` as it was.
    virtual bool decodePicture(int n, QImage& image, QSize area) = 0;
};

}  // namespace ipcam

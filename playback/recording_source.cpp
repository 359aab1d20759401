#include "playback/recording_source.h"

#include "playback/mkv_reader.h"
#include "playback/recorded_file.h"
#include "recording/recording_catalog.h"

namespace ipcam {

std::unique_ptr<PictureSource> openRecording(const QString& path) {
    switch (formatOfFileName(path.toStdString())) {
    case RecordingFormat::Mkv: {
        auto reader = std::make_unique<MkvReader>();
        if (reader->open(path) == MkvReader::OpenStatus::Opened) return reader;
        return nullptr;
    }
    case RecordingFormat::Avi:
        break;
    }
    auto reader = std::make_unique<RecordedFile>();
    if (reader->openRecordedFile(path) == RecordedFile::OpenStatus::Opened) return reader;
    return nullptr;
}

}  // namespace ipcam

#pragma once
// Opens a recording as a PictureSource, whichever its format: the format
// its name gives (recording/recording_catalog.h) decides the reader,
// RecordedFile for AVI, MkvReader for Matroska.

#include <QString>

#include <memory>

#include "playback/picture_source.h"

namespace ipcam {

// The open recording at `path`, or null when it is missing, unreadable or
// not a recording of this program with a picture in it.
std::unique_ptr<PictureSource> openRecording(const QString& path);

}  // namespace ipcam

#pragma once
// Categories of the activity log: one line per event (link, recordings, disk
// guard, alarm mails, settings, warnings), never one per picture. Where the
// lines go (log file beside the settings file, standard error) is decided by
// the program entry; modules only write to these categories.

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcApp)       // "ipcam.app": program start and end
Q_DECLARE_LOGGING_CATEGORY(lcWeb)       // "ipcam.web": the web page: start, sign-ins, commands
Q_DECLARE_LOGGING_CATEGORY(lcLink)      // "ipcam.link": link up, lost, off-line, rebuilt
Q_DECLARE_LOGGING_CATEGORY(lcRecording) // "ipcam.recording": each finished file
Q_DECLARE_LOGGING_CATEGORY(lcGuard)     // "ipcam.guard": one line per guard or retention pass (names: debug)
Q_DECLARE_LOGGING_CATEGORY(lcMail)      // "ipcam.mail": each alarm mail sent or failed
Q_DECLARE_LOGGING_CATEGORY(lcSettings)  // "ipcam.settings": settings saved
Q_DECLARE_LOGGING_CATEGORY(lcWarning)   // "ipcam.warning": the text of each warning box
Q_DECLARE_LOGGING_CATEGORY(lcFfmpeg)    // "ipcam.ffmpeg": FFmpeg's own messages (RTSP cameras)

// The kind of a finished recording for the log: "Motion" for an alarm file
// ("A.AVI"), else the first kind bit set (1 Manual, 2 Daily, 4 Motion).
inline const char* recordingKindName(unsigned kind, bool alarm) {
    if (alarm) return "Motion";
    if (kind & 1) return "Manual";
    if (kind & 2) return "Daily";
    if (kind & 4) return "Motion";
    return "none";
}

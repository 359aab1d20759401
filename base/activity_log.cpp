#include "base/activity_log.h"

Q_LOGGING_CATEGORY(lcApp, "ipcam.app", QtInfoMsg)
Q_LOGGING_CATEGORY(lcWeb, "ipcam.web", QtInfoMsg)
Q_LOGGING_CATEGORY(lcLink, "ipcam.link", QtInfoMsg)
Q_LOGGING_CATEGORY(lcRecording, "ipcam.recording", QtInfoMsg)
Q_LOGGING_CATEGORY(lcGuard, "ipcam.guard", QtInfoMsg)
Q_LOGGING_CATEGORY(lcMail, "ipcam.mail", QtInfoMsg)
Q_LOGGING_CATEGORY(lcSettings, "ipcam.settings", QtInfoMsg)
Q_LOGGING_CATEGORY(lcWarning, "ipcam.warning", QtInfoMsg)
Q_LOGGING_CATEGORY(lcFfmpeg, "ipcam.ffmpeg", QtInfoMsg)

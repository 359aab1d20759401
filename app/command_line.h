#pragma once
// The program's command line: --help, --version, --settings FILE.

#include <QString>
#include <QStringList>

namespace ipcam {

inline constexpr const char* kProgramVersionText = "IPCam Recorder 1.5";

struct CommandLine {
    bool help = false;
    bool version = false;
    QString settingsFile;  // empty: the usual place
    QString error;         // not empty: the command line is wrong, exit non-zero
    QString helpText;      // usage and options; the caller adds the settings file in use
};

// `arguments` includes the program name first, as QCoreApplication::arguments().
CommandLine parseCommandLine(const QStringList& arguments);

}  // namespace ipcam

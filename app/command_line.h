#pragma once
// The program's command line: --help, --version, --settings FILE, --headless,
// --set-web-password.

#include <QString>
#include <QStringList>

namespace ipcam {

inline constexpr const char* kProgramVersionText = "IPCam Recorder 1.5";

struct CommandLine {
    bool help = false;
    bool version = false;
    QString settingsFile;  // empty: the usual place
    bool headless = false; // no window: the recording service
    bool setWebPassword = false;  // read the web page's password from standard input, store its hash, exit
    QString error;         // not empty: the command line is wrong, exit non-zero
    QString helpText;      // usage and options; the caller adds the settings file in use
};

// `arguments` includes the program name first, as QCoreApplication::arguments().
CommandLine parseCommandLine(const QStringList& arguments);

}  // namespace ipcam

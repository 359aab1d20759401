#pragma once
// Where the program keeps its files on a Linux desktop.
//
// Settings: the program's own path with ".INI" when that file exists or its
// folder can be written (a build folder, a portable copy); a program
// installed in a system folder (/usr, /bin, /sbin, /opt) or anywhere the user
// cannot write uses $XDG_CONFIG_HOME/ipcam-recorder/ipcam-recorder.INI
// (default ~/.config/...). --settings FILE overrides both.
// Log: "ipcam-recorder.log" beside the settings file.
// Snapshot "jpeg_view01.jpg": the working directory, or beside the settings
// file when the working directory cannot be written (a menu may start the
// program in "/").
// Fallback recording folder (first-run default): the working directory for a
// program with its settings beside it; otherwise the user's videos folder
// ($XDG_VIDEOS_DIR, default ~/Videos) + "/IPCam", a folder the user can write.

#include <functional>
#include <string>

namespace ipcam {

struct PathEnvironment {
    std::string programPath;        // full path of the running program
    std::string workingDirectory;
    std::string home;               // $HOME
    std::string xdgConfigHome;      // $XDG_CONFIG_HOME, may be empty
    std::string videosDirectory;    // the user's videos folder, may be empty
    std::string settingsOverride;   // --settings FILE, may be empty
    // Seams, so the rules can be checked without root's view of the disk.
    std::function<bool(const std::string&)> exists;
    std::function<bool(const std::string&)> writable;
};

struct DesktopPaths {
    std::string settingsFile;
    bool besideProgram = false;     // the settings file is the program path with ".INI"
    std::string logFile;
    std::string snapshotFile;
    std::string fallbackDirectory;
};

DesktopPaths resolveDesktopPaths(const PathEnvironment& env);

// The real environment: $HOME, $XDG_CONFIG_HOME, the videos folder, access(2).
PathEnvironment systemPathEnvironment(const std::string& programPath, const std::string& settingsOverride);

// Creates the folders the paths need: the settings folder (0700 when it is
// ours under the configuration home) and the fallback recording folder.
// Returns false with `error` set when the settings folder cannot be made.
bool prepareDesktopPaths(const DesktopPaths& paths, std::string* error);

std::string parentDirectory(const std::string& path);

}  // namespace ipcam

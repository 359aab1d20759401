#include "app/desktop_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QStandardPaths>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "settings/settings_store.h"

namespace ipcam {

namespace fs = std::filesystem;

namespace {

constexpr const char* kAppFolder = "ipcam-recorder";

bool inSystemFolder(const std::string& path) {
    for (const char* prefix : {"/usr/", "/bin/", "/sbin/", "/opt/"}) {
        if (path.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

std::string joinPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string getEnv(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

}  // namespace

std::string parentDirectory(const std::string& path) {
    const fs::path parent = fs::path(path).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

DesktopPaths resolveDesktopPaths(const PathEnvironment& env) {
    DesktopPaths p;
    const std::string beside = SettingsStore::pathForProgram(env.programPath);
    const bool besideUsable = !inSystemFolder(env.programPath) &&
                              (env.exists(beside) || env.writable(parentDirectory(beside)));
    std::string configHome = env.xdgConfigHome;
    // Only an absolute $XDG_CONFIG_HOME counts; otherwise the default.
    if (configHome.empty() || configHome.front() != '/') configHome = joinPath(env.home, ".config");

    if (!env.settingsOverride.empty()) {
        p.settingsFile = fs::absolute(env.settingsOverride).lexically_normal().string();
    } else if (besideUsable) {
        p.settingsFile = beside;
        p.besideProgram = true;
    } else {
        p.settingsFile = joinPath(joinPath(configHome, kAppFolder), "ipcam-recorder.INI");
    }
    const std::string settingsDir = parentDirectory(p.settingsFile);
    p.logFile = joinPath(settingsDir, "ipcam-recorder.log");
    p.snapshotFile = joinPath(env.writable(env.workingDirectory) ? env.workingDirectory : settingsDir,
                              "jpeg_view01.jpg");
    if (p.besideProgram || (!env.settingsOverride.empty() && env.writable(env.workingDirectory))) {
        p.fallbackDirectory = env.workingDirectory;
    } else {
        const std::string videos = env.videosDirectory.empty() || env.videosDirectory == env.home
                                       ? joinPath(env.home, "Videos")
                                       : env.videosDirectory;
        p.fallbackDirectory = joinPath(videos, "IPCam");
    }
    return p;
}

PathEnvironment systemPathEnvironment(const std::string& programPath, const std::string& settingsOverride) {
    PathEnvironment env;
    env.programPath = programPath;
    std::error_code ec;
    env.workingDirectory = fs::current_path(ec).string();
    env.home = getEnv("HOME");
    if (env.home.empty()) env.home = QStandardPaths::writableLocation(QStandardPaths::HomeLocation).toStdString();
    env.xdgConfigHome = getEnv("XDG_CONFIG_HOME");
    // Follows $XDG_VIDEOS_DIR in ~/.config/user-dirs.dirs.
    env.videosDirectory = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation).toStdString();
    env.settingsOverride = settingsOverride;
    env.exists = [](const std::string& path) { return ::access(path.c_str(), F_OK) == 0; };
    env.writable = [](const std::string& path) { return ::access(path.c_str(), W_OK | X_OK) == 0; };
    return env;
}

bool prepareDesktopPaths(const DesktopPaths& paths, std::string* error) {
    const std::string settingsDir = parentDirectory(paths.settingsFile);
    std::error_code ec;
    if (!fs::is_directory(settingsDir, ec)) {
        // Our own folder under the configuration home holds passwords: 0700.
        fs::create_directories(parentDirectory(settingsDir), ec);
        if (::mkdir(settingsDir.c_str(), 0700) != 0 && errno != EEXIST) {
            if (error) *error = "cannot create " + settingsDir + ": " + std::strerror(errno);
            return false;
        }
    }
    if (!paths.besideProgram && !paths.fallbackDirectory.empty() && !fs::exists(paths.fallbackDirectory, ec)) {
        fs::create_directories(paths.fallbackDirectory, ec);
        if (!ec) ::chmod(paths.fallbackDirectory.c_str(), 0700);
    }
    return true;
}

}  // namespace ipcam

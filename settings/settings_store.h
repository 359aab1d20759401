#pragma once
// The settings file: one INI file beside the program, section "IPCAM_1".

#include <stdexcept>
#include <string>

#include "base/camera_settings.h"

namespace ipcam {

class SettingsWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The settings file exists but cannot be read (another user's file, a
// folder that may not be entered).
class SettingsReadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class SettingsStore {
public:
    explicit SettingsStore(std::string iniPath);

    // The program's own path with its extension replaced by ".INI".
    static std::string pathForProgram(const std::string& programPath);

    const std::string& path() const { return path_; }
    bool exists() const;

    // Fills `s` from section "IPCAM_<slot+1>"; missing keys give their defaults.
    void load(CameraSettings& s, int slot = 0) const;
    // As load(), but a file that exists and cannot be read throws
    // SettingsReadError instead of reading as an empty file (whose
    // defaults would then be used, and saved over it).
    void loadStrict(CameraSettings& s, int slot = 0) const;
    // Writes all 191 keys of the slot's section, keeping other sections and
    // keys; the file is readable and writable by its owner only, and keeps
    // its owner and group (root saving the service's settings leaves them
    // readable by the service).
    // Throws SettingsWriteError when the file cannot be written, or when a
    // text holds a CR or LF (the file is then left as it was).
    void save(const CameraSettings& s, int slot = 0) const;

private:
    std::string path_;
};

// The decimal-long rule: leading blanks skipped, optional sign, digits up to
// the first non-digit, no digits gives 0, 32-bit wrap-around arithmetic.
int32_t decimalLong(const std::string& text);

}  // namespace ipcam

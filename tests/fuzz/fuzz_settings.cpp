// The settings file as found beside the program: loaded by the settings
// store from a real file, and read key by key through the INI layer.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "settings/ini_file.h"
#include "settings/settings_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/ipcam-fuzz-settings-" + std::to_string(::getpid()) + ".INI";
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    const ipcam::IniFile ini = ipcam::IniFile::fromText(text);
    if (ini.readString("IPCAM_1", "Host_Addr").size() >= ipcam::kIniTextBuffer) std::abort();
    ini.readInteger("IPCAM_1", "Host_Port", 0);
    ini.toText();
    ipcam::parseIniInteger(text);
    ipcam::decimalLong(std::string(text));

    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
        ipcam::SettingsStore store(path);
        ipcam::CameraSettings settings{};
        store.load(settings);
        std::remove(path.c_str());
    }
    return 0;
}

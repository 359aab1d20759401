// What a browser sends the web page that our own code reads: the Range
// header of a download, and the settings form's JSON body, taken over the
// first-run settings through the same checks as the dialogs.

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/camera_settings.h"
#include "frontends/web/byte_range.h"
#include "frontends/web/web_settings_json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string header(reinterpret_cast<const char*>(data), size);
    for (const uint64_t fileSize : {uint64_t{0}, uint64_t{1}, uint64_t{1000}, UINT64_MAX}) {
        uint64_t first = 0, last = 0;
        if (ipcam::parseRange(header, fileSize, first, last) == ipcam::RangeResult::Part &&
            (first > last || last >= fileSize))
            std::abort();
    }

    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    if (doc.isObject()) {
        ipcam::CameraSettings current;
        ipcam::applyFirstRunDefaults(current, "/tmp");
        current.cameraPassword = "pxwqe";
        ipcam::CameraSettings out;
        if (!ipcam::settingsFromJson(doc.object(), current, out) && out.cameraPassword != "pxwqe" &&
            !doc.object().contains("IPCAM_Password"))
            std::abort();  // a password the page did not send is kept
    }
    return 0;
}

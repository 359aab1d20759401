#include "camera/ffmpeg_log.h"

extern "C" {
#include <libavutil/log.h>
}

#include <QString>

#include <algorithm>
#include <cstdarg>
#include <string>

#include "base/activity_log.h"
#include "base/secrets.h"

namespace ipcam {

namespace {

QtMsgType messageType(int level) {
    if (level <= AV_LOG_ERROR) return QtCriticalMsg;
    if (level <= AV_LOG_WARNING) return QtWarningMsg;
    if (level <= AV_LOG_INFO) return QtInfoMsg;
    return QtDebugMsg;
}

// A message may come in pieces, the line ending with the last one; each
// thread collects its own.
struct PendingLine {
    std::string text;
    int level = AV_LOG_INFO;
    bool cut = false;
    int printPrefix = 1;  // FFmpeg's: the next piece begins a line
};

void addPiece(PendingLine& line, const char* piece, size_t size, int level) {
    if (line.text.empty()) line.level = level;
    line.level = std::min(line.level, level);  // the most severe piece's
    for (size_t i = 0; i < size; ++i) {
        const auto c = static_cast<unsigned char>(piece[i]);
        if (c == '\n' || c == '\r') continue;
        if (line.text.size() >= kFfmpegLogLineLimit) {
            line.cut = true;
            break;
        }
        line.text += c < 0x20 || c == 0x7F ? ' ' : static_cast<char>(c);
    }
}

void emitLine(PendingLine& line) {
    if (line.cut) line.text += " [cut]";
    const QString text = maskSecrets(QString::fromUtf8(line.text.data(), static_cast<qsizetype>(line.text.size())));
    switch (messageType(line.level)) {
    case QtCriticalMsg: qCCritical(lcFfmpeg).noquote() << text; break;
    case QtWarningMsg: qCWarning(lcFfmpeg).noquote() << text; break;
    case QtInfoMsg: qCInfo(lcFfmpeg).noquote() << text; break;
    default: qCDebug(lcFfmpeg).noquote() << text; break;
    }
    line.text.clear();
    line.cut = false;
}

void logCallback(void* context, int level, const char* format, va_list arguments) {
    if (level > av_log_get_level() || !lcFfmpeg().isEnabled(messageType(level))) return;
    thread_local PendingLine line;
    char piece[kFfmpegLogLineLimit + 1];
    // The length the whole piece would have; what fits is in `piece`.
    const int n = av_log_format_line2(context, level, format, arguments, piece, static_cast<int>(sizeof piece),
                                      &line.printPrefix);
    if (n < 0) return;
    if (static_cast<size_t>(n) >= sizeof piece) line.cut = true;
    addPiece(line, piece, std::min(static_cast<size_t>(n), sizeof piece - 1), level);
    // printPrefix is set again when the piece ended its line.
    if (line.printPrefix && (!line.text.empty() || line.cut)) emitLine(line);
}

}  // namespace

void installFfmpegLog() {
    static const bool installed = [] {
        av_log_set_callback(logCallback);
        return true;
    }();
    (void)installed;
}

}  // namespace ipcam

#pragma once
// Captures the activity log's lines (as the program writes them) while alive.

#include <QtGlobal>

#include <atomic>
#include <mutex>
#include <string>

#include "app/log_file.h"

namespace ipcam::test {

class LogCapture {
public:
    LogCapture() {
        current().store(this);
        previous_ = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture() {
        qInstallMessageHandler(previous_);
        current().store(nullptr);
    }
    std::string text() const {
        std::lock_guard lock(mutex_);
        return text_;
    }

private:
    static std::atomic<LogCapture*>& current() {
        static std::atomic<LogCapture*> instance{nullptr};
        return instance;
    }
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message) {
        LogCapture* self = current().load();
        if (self == nullptr) return;
        std::lock_guard lock(self->mutex_);
        self->text_ += LogFile::formatLine(type, context.category, message);
    }

    QtMessageHandler previous_ = nullptr;
    mutable std::mutex mutex_;
    std::string text_;
};

}  // namespace ipcam::test

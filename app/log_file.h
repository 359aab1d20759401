#pragma once
// The activity log's output: every message of Qt's logging becomes one line
// with the local date and time and its offset from UTC, written to standard
// error and appended to a log file that is rotated by size (name.log,
// name.log.1 ... name.log.N).
// Lines are handed to a writer thread, so no caller ever waits on the disk.

#include <QString>
#include <QtGlobal>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace ipcam {

class LogFile {
public:
    struct Options {
        std::string path;                       // empty: standard error only
        std::uintmax_t maxBytes = 1024 * 1024;  // rotate before a file grows past this
        int keep = 5;                           // files kept, the current one included
        bool toStderr = true;
    };

    explicit LogFile(Options options);
    ~LogFile();  // writes what is queued, then stops the writer
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // One line: "2026-12-08T21:05:03+01:00 INFO  ipcam.link: text", the
    // local time of `when` with its offset from UTC (ISO 8601), so that the
    // hour the clocks repeat in autumn reads apart from the first one.
    static std::string formatLine(QtMsgType type, const char* category, const QString& message,
                                  std::chrono::system_clock::time_point when = std::chrono::system_clock::now());

    void append(std::string line);
    // Waits until every line appended so far is written.
    void flush();

    // Routes Qt's messages to `log` (nullptr: back to Qt's default handler).
    static void install(LogFile* log);

private:
    void run();
    void writeLine(const std::string& line);
    void rotate();

    Options options_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::string> queue_;
    bool stopping_ = false;
    std::uint64_t appended_ = 0;
    std::uint64_t written_ = 0;
    int fd_ = -1;
    std::uintmax_t size_ = 0;
    std::thread thread_;
};

}  // namespace ipcam

#pragma once
// The activity log's output: every message of Qt's logging becomes one line
// with the local date and time and its offset from UTC, written to standard
// error and appended to a log file that is rotated by size (name.log,
// name.log.1 ... name.log.N). When standard error is the journal (a systemd
// service: JOURNAL_STREAM names the stream on fd 2), its lines carry their
// syslog priority ("<4>" for a warning) instead of the time stamp, which the
// journal keeps itself; the file keeps its dated lines.
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
        // Standard error is the journal: "auto" looks at JOURNAL_STREAM.
        enum class Journal { Auto, No, Yes } journal = Journal::Auto;
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

    // A line as formatLine() makes it; `priority` is its syslog level (3
    // error, 4 warning, 6 info, 7 debug), or -1 for a line written as it is.
    void append(std::string line, int priority = -1);
    // The syslog level of a message type.
    static int syslogPriority(QtMsgType type);
    // Whether standard error is the stream JOURNAL_STREAM ("device:inode") names.
    static bool stderrIsJournal();
    bool writesToJournal() const { return journal_; }
    // Waits until every line appended so far is written.
    void flush();

    // Routes Qt's messages to `log` (nullptr: back to Qt's default handler).
    static void install(LogFile* log);

private:
    void run();
    struct Entry {
        std::string line;
        int priority;
    };
    void writeLine(const Entry& entry);
    void rotate();

    Options options_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Entry> queue_;
    bool journal_ = false;
    bool stopping_ = false;
    std::uint64_t appended_ = 0;
    std::uint64_t written_ = 0;
    int fd_ = -1;
    std::uintmax_t size_ = 0;
    std::thread thread_;
};

}  // namespace ipcam

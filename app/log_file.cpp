#include "app/log_file.h"
#include "base/file_owner.h"
#include "base/secrets.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace ipcam {

namespace {

// The installed log. Held while a message is handed to it, so that the log
// cannot be taken away (and destroyed) while another thread is writing to it.
std::mutex g_logMutex;
LogFile* g_log = nullptr;

void messageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    // Whoever wrote the message, no password reaches the line.
    std::string line = LogFile::formatLine(type, context.category, maskSecrets(message));
    std::lock_guard lock(g_logMutex);
    LogFile* log = g_log;
    if (log == nullptr) return;
    log->append(std::move(line), LogFile::syslogPriority(type));
    if (type == QtFatalMsg) {
        log->flush();
        std::abort();
    }
}

void writeAll(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

// "2026-10-25T02:10:01+01:00": the local time of `when` and its offset from
// UTC, as the C library's time zone (TZ) has them.
std::string localTimeWithOffset(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    if (::localtime_r(&t, &local) == nullptr) {
        ::gmtime_r(&t, &local);
        local.tm_gmtoff = 0;
    }
    char text[48];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    const long offset = local.tm_gmtoff;  // seconds east of UTC
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    std::snprintf(text + n, sizeof text - n, "%c%02ld:%02ld", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return text;
}

}  // namespace

LogFile::LogFile(Options options) : options_(std::move(options)) {
    journal_ = options_.toStderr && (options_.journal == Options::Journal::Yes ||
                                     (options_.journal == Options::Journal::Auto && stderrIsJournal()));
    if (!options_.path.empty()) {
        fd_ = ::open(options_.path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        // Root running the window on the service's settings writes the
        // service's log: it stays the service's.
        if (fd_ >= 0) giveToFolderOwner(fd_, options_.path);
        struct stat st {};
        if (fd_ >= 0 && ::fstat(fd_, &st) == 0) size_ = static_cast<std::uintmax_t>(st.st_size);
    }
    thread_ = std::thread([this] { run(); });
}

LogFile::~LogFile() {
    bool installed = false;
    {
        std::lock_guard lock(g_logMutex);
        installed = g_log == this;
        if (installed) g_log = nullptr;
    }
    if (installed) qInstallMessageHandler(nullptr);
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    thread_.join();
    if (fd_ >= 0) ::close(fd_);
}

std::string LogFile::formatLine(QtMsgType type, const char* category, const QString& message,
                                std::chrono::system_clock::time_point when) {
    const char* level = "INFO ";
    switch (type) {
    case QtDebugMsg: level = "DEBUG"; break;
    case QtInfoMsg: level = "INFO "; break;
    case QtWarningMsg: level = "WARN "; break;
    case QtCriticalMsg: level = "ERROR"; break;
    case QtFatalMsg: level = "FATAL"; break;
    }
    QString text = message;
    // One event, one line.
    text.replace(QLatin1Char('\n'), QLatin1String(" | "));
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    std::string line = localTimeWithOffset(when);
    line += ' ';
    line += level;
    line += ' ';
    line += (category && *category) ? category : "default";
    line += ": ";
    line += text.toStdString();
    line += '\n';
    return line;
}

int LogFile::syslogPriority(QtMsgType type) {
    switch (type) {
    case QtDebugMsg: return 7;
    case QtInfoMsg: return 6;
    case QtWarningMsg: return 4;
    case QtCriticalMsg: return 3;
    case QtFatalMsg: return 2;
    }
    return 6;
}

bool LogFile::stderrIsJournal() {
    // systemd sets JOURNAL_STREAM to the device and inode of the stream it
    // connected; a child whose standard error was redirected elsewhere
    // inherits the variable but not the stream.
    const char* value = std::getenv("JOURNAL_STREAM");
    if (value == nullptr) return false;
    unsigned long long device = 0, inode = 0;
    char end = 0;
    if (std::sscanf(value, "%llu:%llu%c", &device, &inode, &end) != 2) return false;
    struct stat st {};
    return ::fstat(STDERR_FILENO, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == device &&
           static_cast<unsigned long long>(st.st_ino) == inode;
}

void LogFile::append(std::string line, int priority) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(Entry{std::move(line), priority});
        ++appended_;
    }
    cv_.notify_all();
}

void LogFile::flush() {
    std::unique_lock lock(mutex_);
    const std::uint64_t target = appended_;
    cv_.wait(lock, [&] { return written_ >= target || stopping_; });
}

void LogFile::install(LogFile* log) {
    {
        std::lock_guard lock(g_logMutex);
        g_log = log;
    }
    qInstallMessageHandler(log ? messageHandler : nullptr);
}

void LogFile::run() {
    std::unique_lock lock(mutex_);
    while (true) {
        cv_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty() && stopping_) break;
        std::deque<Entry> batch;
        batch.swap(queue_);
        lock.unlock();
        for (const Entry& entry : batch) writeLine(entry);
        lock.lock();
        written_ += batch.size();
        cv_.notify_all();
    }
}

void LogFile::writeLine(const Entry& entry) {
    const std::string& line = entry.line;
    if (options_.toStderr) {
        if (journal_ && entry.priority >= 0) {
            // "<4>WARN  ipcam.link: text": the priority for the journal, the
            // time stamp (up to the first blank) left to it.
            const size_t blank = line.find(' ');
            std::string out = "<" + std::to_string(entry.priority) + ">";
            out.append(line, blank == std::string::npos ? 0 : blank + 1, std::string::npos);
            writeAll(STDERR_FILENO, out);
        } else {
            writeAll(STDERR_FILENO, line);
        }
    }
    if (fd_ < 0) return;
    if (size_ > 0 && size_ + line.size() > options_.maxBytes) rotate();
    if (fd_ < 0) return;
    writeAll(fd_, line);
    size_ += line.size();
}

void LogFile::rotate() {
    ::close(fd_);
    fd_ = -1;
    // name.log.(N-1) is dropped, each older one moves up, name.log becomes .1.
    const int keep = options_.keep < 1 ? 1 : options_.keep;
    std::remove((options_.path + "." + std::to_string(keep - 1)).c_str());
    for (int i = keep - 2; i >= 1; --i) {
        std::rename((options_.path + "." + std::to_string(i)).c_str(),
                    (options_.path + "." + std::to_string(i + 1)).c_str());
    }
    if (keep > 1) {
        std::rename(options_.path.c_str(), (options_.path + ".1").c_str());
    } else {
        std::remove(options_.path.c_str());
    }
    fd_ = ::open(options_.path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_TRUNC | O_CLOEXEC, 0600);
    if (fd_ >= 0) giveToFolderOwner(fd_, options_.path);
    size_ = 0;
}

}  // namespace ipcam

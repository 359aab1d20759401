#pragma once
// Says in the activity log what was dropped, one kind per report: the first
// drop at once, then at most once a minute how many more were dropped since
// the last line, so that a hostile stream or a slow disk neither goes unseen
// nor floods the log.

#include <QLoggingCategory>

#include <cstdint>
#include <string>
#include <utility>

namespace ipcam {

class DropReport {
public:
    static constexpr int64_t kIntervalSeconds = 60;

    // `what` names what is dropped, e.g. "Picture parts over 16 MiB"; the line
    // reads "<what>: <n> dropped".
    DropReport(const QLoggingCategory& (*category)(), std::string what)
        : category_(category), what_(std::move(what)) {}

    // `n` more dropped; `now` is any steady count of seconds.
    void add(uint64_t n, int64_t now);
    // What is still unsaid once its minute is over.
    void tick(int64_t now);
    uint64_t total() const { return total_; }

private:
    void say(int64_t now);

    const QLoggingCategory& (*category_)();
    std::string what_;
    uint64_t unsaid_ = 0;
    uint64_t total_ = 0;
    bool saidOnce_ = false;
    int64_t saidAt_ = 0;
};

}  // namespace ipcam

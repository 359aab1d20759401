#include "base/drop_report.h"

namespace ipcam {

void DropReport::add(uint64_t n, int64_t now) {
    if (n == 0) {
        return;
    }
    unsaid_ += n;
    total_ += n;
    tick(now);
}

void DropReport::tick(int64_t now) {
    if (unsaid_ != 0 && (!saidOnce_ || now - saidAt_ >= kIntervalSeconds || now < saidAt_)) {
        say(now);
    }
}

void DropReport::say(int64_t now) {
    QString line = QString::fromStdString(what_) + ": " + QString::number(unsaid_) + " dropped";
    if (total_ != unsaid_) {
        line += " (" + QString::number(total_) + " in all)";
    }
    qCWarning(category_).noquote() << line;
    unsaid_ = 0;
    saidOnce_ = true;
    saidAt_ = now;
}

}  // namespace ipcam

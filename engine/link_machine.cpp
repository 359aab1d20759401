#include "engine/link_machine.h"

#include <algorithm>

namespace ipcam {

void LinkMachine::schedule(LinkStep step, int delayMs) {
    if (step == LinkStep::None) {
        pending_ = LinkStep::None;
        pendingDelay_ = -1;
        pendingAt_ = -1;
    } else if (step != pending_ || delayMs != pendingDelay_) {
        pending_ = step;
        pendingDelay_ = delayMs;
        pendingAt_ = timing_.linkNow() + delayMs;
    }
    rearm();
}

void LinkMachine::watch() {
    if (watchdogAt_ < 0) {
        watchdogAt_ = timing_.linkNow() + ReconnectPolicy::kWatchdogTickMs;
        rearm();
    }
}

void LinkMachine::unwatch() {
    watchdogAt_ = -1;
    rearm();
}

void LinkMachine::wake() {
    const int64_t now = timing_.linkNow();
    if (watchdogAt_ >= 0 && watchdogAt_ <= now) {
        // A late tick counts once, as a timer's would.
        watchdogAt_ = std::max(watchdogAt_ + ReconnectPolicy::kWatchdogTickMs, now + 1);
        if (--watchdog_ == 0) {
            steps_.linkWatchdogExpired();
        }
    }
    if (pending_ != LinkStep::None && pendingAt_ <= timing_.linkNow()) {
        // A step that finds the camera not ready yet comes again at the usual
        // pace (one at once, too); a step done is cancelled by its handler.
        const LinkStep step = pending_;
        pendingAt_ = std::max(pendingAt_ + std::max(pendingDelay_, ReconnectPolicy::kStepMs), now + 1);
        steps_.linkStep(step);
    }
    rearm();
}

void LinkMachine::rearm() {
    int64_t next = -1;
    if (watchdogAt_ >= 0) next = watchdogAt_;
    if (pending_ != LinkStep::None && (next < 0 || pendingAt_ < next)) next = pendingAt_;
    timing_.wakeLinkAt(next);
}

}  // namespace ipcam

#pragma once
// The camera link's state machine: its state (EngineState::link), the next
// connection attempt and when it comes, the attempts of the current series,
// and the picture watchdog. One reconnect policy decides the timing; the
// controller does what each step means for the camera, the recording and
// the front ends.
//
//   Stopped    --start / settings / Reload-------------> Connecting, an attempt in 5 s
//   (attempt)  --the camera answered the probe---------> Opening: the connection opens
//   (attempt)  --no answer, address unusable, or the
//                fourth attempt without a ping---------> Offline, a quiet retry in 30 s
//   Opening    --connected (TCP, or an RTSP session)---> Up
//   Opening/Up --the camera refused the sign-in--------> Refused, an attempt in 5 s
//   Opening/Up --the connection ended------------------> Down, an attempt at once or in 5 s
//   Up         --no picture for 60 s-------------------> Down, an attempt in 5 s
//   Opening/Up --no picture stream---------------------> Down, a quiet retry in 30 s
//   any        --suspend / close-----------------------> Stopped, nothing pending
//
// Time is the host's (LinkTiming): the machine asks to be woken when its
// next step or watchdog tick is due, and does what is due when woken.

#include <cstdint>

#include "camera/camera_source.h"
#include "engine/engine_state.h"

namespace ipcam {

// What an attempt resets before it connects, by what scheduled it.
enum class LinkStep : uint8_t {
    None,
    Connect,        // after the start, a loss or a refusal: a recording still running is written,
                    // the requests cleared, the watchdog rewound; the watchdog stops
    Rebuild,        // after Reload, the watchdog or the off-line retry: the requests cleared, the
                    // watchdog rewound; the watchdog stops
    AfterSettings,  // after the settings: nothing reset, the watchdog left as it is
    OfflineRetry,   // off-line: a quiet Rebuild is scheduled
};

// The link's timing, the same for every camera; the legacy camera's rules.
struct ReconnectPolicy {
    static constexpr int kStepMs = 5000;          // an attempt after the start, a loss, Reload, the settings
    static constexpr int kOfflineRetryMs = 30000;  // off-line: tried again this often
    static constexpr int kWatchdogTickMs = 1000;
    static constexpr int kWatchdogTicks = 60;      // no picture for this many ticks: the link is lost
    static constexpr int kAttempts = 3;            // unanswered pings: the fourth attempt gives up

    // When the attempt after a lost connection comes, and why (for the log).
    struct Next {
        int delayMs;
        const char* why;
    };
    // A camera that is not pinged and whose link was up for a second or
    // more is tried again at once; the next attempts, and the others, at
    // the usual pace.
    static Next afterLoss(SourceStop code, bool pinged, bool wasUp) {
        if (!pinged && wasUp) return {0, "(at once after the link was lost)"};
        if (code == SourceStop::NoAnswer) return {kStepMs, "(again while the camera does not answer)"};
        return {kStepMs, nullptr};
    }
    static bool givesUp(int attempt) { return attempt > kAttempts; }
};

class LinkTiming {
public:
    virtual ~LinkTiming() = default;
    // Milliseconds on a steady clock (the engine's timer scale applied).
    virtual int64_t linkNow() const = 0;
    // Wakes the machine (LinkMachine::wake) at `at`; -1: nothing due.
    virtual void wakeLinkAt(int64_t at) = 0;
};

class LinkMachine {
public:
    class Steps {
    public:
        virtual ~Steps() = default;
        virtual void linkStep(LinkStep step) = 0;   // the scheduled attempt is due
        virtual void linkWatchdogExpired() = 0;     // no picture for 60 ticks
    };

    LinkMachine(LinkTiming& timing, Steps& steps) : timing_(timing), steps_(steps) {}

    LinkState state() const { return state_; }
    void enter(LinkState state) { state_ = state; }

    // The next attempt, `delayMs` from now; one already scheduled is
    // replaced, except the same step at the same delay, which keeps its time.
    void schedule(LinkStep step, int delayMs);
    void cancel() { schedule(LinkStep::None, -1); }
    LinkStep pending() const { return pending_; }
    // Milliseconds until the pending step (-1 when none).
    int64_t pendingIn() const { return pending_ == LinkStep::None ? -1 : pendingAt_ - timing_.linkNow(); }

    // The attempts of the current series.
    int attempts() const { return attempts_; }
    int countAttempt() { return ++attempts_; }
    void resetAttempts() { attempts_ = 0; }

    // The off-line retry's attempt runs: the off-line texts and buttons stay.
    bool quiet() const { return quiet_; }
    void setQuiet(bool quiet) { quiet_ = quiet; }

    // The picture watchdog: ticks once a second while it runs (started
    // again while it runs, it keeps its tick), counts down from 60, and
    // each picture rewinds it.
    void watch();
    void unwatch();
    void rewind() { watchdog_ = ReconnectPolicy::kWatchdogTicks; }
    bool watching() const { return watchdogAt_ >= 0; }
    int watchdog() const { return watchdog_; }

    // What is due now: the watchdog's ticks, then the pending step.
    void wake();

private:
    void rearm();

    LinkTiming& timing_;
    Steps& steps_;
    LinkState state_ = LinkState::Stopped;
    LinkStep pending_ = LinkStep::None;
    int pendingDelay_ = -1;
    int64_t pendingAt_ = -1;
    int attempts_ = 0;
    bool quiet_ = false;
    int watchdog_ = ReconnectPolicy::kWatchdogTicks;
    int64_t watchdogAt_ = -1;
};

}  // namespace ipcam

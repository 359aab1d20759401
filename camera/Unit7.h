#pragma once
// TICMPThread, the ping worker: pings the camera's host in passes of four
// echo requests and reports through cameraReachable whether it answers.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "base/worker_shared.h"
#include "camera/icmp_pinger.h"
#include "camera/ping_control.h"

namespace ipcam {

constexpr int kPingsPerPass = 4;
constexpr int kReachableAnswers = 2;

// answered := 4 minus the requests whose reply has TTL 0 (timed out);
// errors (nullopt) count as answered.
int countAnswered(const std::optional<ReplyRecord> (&replies)[kPingsPerPass]);

class TICMPThread final : public PingControl {
public:
    // Created suspended: no pass runs before the first restart().
    explicit TICMPThread(WorkerShared& shared, std::unique_ptr<Pinger> pinger = std::make_unique<SocketPinger>());
    ~TICMPThread() override;

    TICMPThread(const TICMPThread&) = delete;
    TICMPThread& operator=(const TICMPThread&) = delete;

    void restart() override;
    void suspend() override;

    // Program end: the worker stops at its next check. Waits at most about
    // one reply time-out for it; a worker still stuck in the operating system
    // after that is left to finish on its own and touches nothing shared.
    void terminate();

    void setReplyTimeout(std::chrono::milliseconds t);
    // Shortest time from the start of one pass to the start of the next, so
    // that requests failing at once do not spin a processor. 0 = back to back.
    void setMinPassInterval(std::chrono::milliseconds t);

    // Passes whose outcome reached cameraReachable (for tests and status).
    uint64_t completedPasses() const;

private:
    struct State;
    static void run(std::shared_ptr<State> st);

    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace ipcam

// The ping worker's passes, driven by a scripted pinger.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "camera/Unit7.h"

using namespace ipcam;
using namespace std::chrono_literals;

namespace {

enum class Answer { Echo, TimeOut, Error };

// Answers from a script (repeated); can hold every request at a gate.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool closed = false;
    int waiting = 0;
};

class ScriptedPinger final : public Pinger {
public:
    ScriptedPinger(std::vector<Answer> script, std::shared_ptr<Gate> gate, std::shared_ptr<std::atomic<int>> calls,
                   std::shared_ptr<std::vector<std::string>> hosts = nullptr)
        : script_(std::move(script)), gate_(std::move(gate)), calls_(std::move(calls)), hosts_(std::move(hosts)) {}

    std::optional<ReplyRecord> ping(const std::string& host, std::chrono::milliseconds) override {
        {
            std::unique_lock lock(gate_->m);
            ++gate_->waiting;
            gate_->cv.notify_all();
            gate_->cv.wait(lock, [&] { return !gate_->closed; });
            --gate_->waiting;
            if (hosts_)
                hosts_->push_back(host);
        }
        const Answer a = script_[static_cast<size_t>(calls_->fetch_add(1)) % script_.size()];
        if (a == Answer::Error)
            return std::nullopt;
        if (a == Answer::TimeOut)
            return timedOutReply();
        ReplyRecord r;
        r.status = ReplyStatus::Echo;
        r.ttl = 64;
        r.bytesReceived = 72;
        return r;
    }

private:
    std::vector<Answer> script_;
    std::shared_ptr<Gate> gate_;
    std::shared_ptr<std::atomic<int>> calls_;
    std::shared_ptr<std::vector<std::string>> hosts_;
};

bool waitFor(const std::function<bool()>& pred) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

struct Rig {
    WorkerShared shared;
    std::shared_ptr<Gate> gate = std::make_shared<Gate>();
    std::shared_ptr<std::atomic<int>> calls = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<std::vector<std::string>> hosts = std::make_shared<std::vector<std::string>>();
    std::unique_ptr<TICMPThread> worker;

    explicit Rig(std::vector<Answer> script) {
        CameraSettings s;
        s.hostAddress = "127.0.0.1";
        shared.publishSettings(s);
        worker = std::make_unique<TICMPThread>(shared, std::make_unique<ScriptedPinger>(std::move(script), gate, calls, hosts));
        worker->setReplyTimeout(50ms);
        worker->setMinPassInterval(0ms);
    }
    void closeGate() {
        std::lock_guard lock(gate->m);
        gate->closed = true;
    }
    void openGate() {
        std::lock_guard lock(gate->m);
        gate->closed = false;
        gate->cv.notify_all();
    }
    bool waitUntilHeld() {
        std::unique_lock lock(gate->m);
        return gate->cv.wait_for(lock, 5s, [&] { return gate->waiting > 0; });
    }
};

// The outcome of one pass with the given four answers.
bool passOutcome(std::vector<Answer> four) {
    Rig rig(std::move(four));
    rig.worker->restart();
    EXPECT_TRUE(waitFor([&] { return rig.worker->completedPasses() >= 1; }));
    const bool reachable = rig.shared.cameraReachable;
    rig.worker->terminate();
    return reachable;
}

}  // namespace

TEST(PingWorker, TwoOfFourAnsweredIsReachableOneIsNot) {
    EXPECT_TRUE(passOutcome({Answer::Echo, Answer::TimeOut, Answer::Echo, Answer::TimeOut}));
    EXPECT_FALSE(passOutcome({Answer::TimeOut, Answer::Echo, Answer::TimeOut, Answer::TimeOut}));
    EXPECT_FALSE(passOutcome({Answer::TimeOut, Answer::TimeOut, Answer::TimeOut, Answer::TimeOut}));
    EXPECT_TRUE(passOutcome({Answer::Echo, Answer::Echo, Answer::Echo, Answer::Echo}));
}

TEST(PingWorker, ErrorsCountAsAnswered) {
    EXPECT_TRUE(passOutcome({Answer::Error, Answer::TimeOut, Answer::TimeOut, Answer::Error}));
    EXPECT_TRUE(passOutcome({Answer::Error, Answer::Error, Answer::Error, Answer::Error}));
    EXPECT_FALSE(passOutcome({Answer::Error, Answer::TimeOut, Answer::TimeOut, Answer::TimeOut}));
}

TEST(PingWorker, CountAnsweredRule) {
    ReplyRecord echo;
    echo.ttl = 1;
    const std::optional<ReplyRecord> mixed[kPingsPerPass] = {echo, timedOutReply(), std::nullopt, timedOutReply()};
    EXPECT_EQ(countAnswered(mixed), 2);
}

TEST(PingWorker, CreatedSuspendedAndHostReadEveryPass) {
    Rig rig({Answer::Echo});
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(*rig.calls, 0);  // nothing before the first restart

    rig.worker->restart();
    ASSERT_TRUE(waitFor([&] { return rig.worker->completedPasses() >= 1; }));
    EXPECT_TRUE(rig.shared.cameraReachable);

    CameraSettings s;
    s.hostAddress = "127.0.0.2";
    rig.shared.publishSettings(s);
    const uint64_t seen = rig.worker->completedPasses();
    ASSERT_TRUE(waitFor([&] { return rig.worker->completedPasses() >= seen + 2; }));
    rig.worker->terminate();
    ASSERT_FALSE(rig.hosts->empty());
    EXPECT_EQ(rig.hosts->front(), "127.0.0.1");
    EXPECT_EQ(rig.hosts->back(), "127.0.0.2");
}

TEST(PingWorker, NoWriteAfterSuspendReturned) {
    Rig rig({Answer::Echo});
    rig.closeGate();
    rig.worker->restart();
    ASSERT_TRUE(rig.waitUntilHeld());  // a pass is in the middle of a request
    rig.worker->suspend();
    EXPECT_FALSE(rig.shared.cameraReachable);
    rig.openGate();  // the request completes with an answer...
    std::this_thread::sleep_for(20ms);
    rig.worker->terminate();  // ...and the worker has wound down
    EXPECT_FALSE(rig.shared.cameraReachable);
    EXPECT_EQ(rig.worker->completedPasses(), 0u);
    EXPECT_LE(*rig.calls, 1);  // the abandoned pass sent nothing more
}

TEST(PingWorker, RestartAfterSuspendPingsAgainAndClearsFlag) {
    Rig rig({Answer::Echo});
    rig.worker->restart();
    ASSERT_TRUE(waitFor([&] { return rig.shared.cameraReachable.load(); }));
    rig.worker->suspend();
    EXPECT_FALSE(rig.shared.cameraReachable);
    const int callsAtSuspend = *rig.calls;
    std::this_thread::sleep_for(20ms);
    EXPECT_LE(*rig.calls, callsAtSuspend + 1);  // at most the request in flight

    rig.shared.cameraReachable = true;  // stale value from before
    rig.closeGate();
    rig.worker->restart();
    EXPECT_FALSE(rig.shared.cameraReachable);  // restart clears first
    rig.openGate();
    ASSERT_TRUE(waitFor([&] { return rig.shared.cameraReachable.load(); }));
}

TEST(PingWorker, TerminateDoesNotWaitForAStuckRequest) {
    auto gate = std::make_shared<Gate>();
    auto calls = std::make_shared<std::atomic<int>>(0);
    {
        WorkerShared shared;
        TICMPThread worker(shared, std::make_unique<ScriptedPinger>(std::vector<Answer>{Answer::Echo}, gate, calls));
        worker.setReplyTimeout(30ms);
        {
            std::lock_guard lock(gate->m);
            gate->closed = true;
        }
        worker.restart();
        {
            std::unique_lock lock(gate->m);
            ASSERT_TRUE(gate->cv.wait_for(lock, 5s, [&] { return gate->waiting > 0; }));
        }
        worker.terminate();  // returns although the request never ends
        worker.restart();    // no effect after termination
        EXPECT_FALSE(shared.cameraReachable);
    }
    // Let the left-behind worker finish; it touches nothing that is gone.
    {
        std::lock_guard lock(gate->m);
        gate->closed = false;
        gate->cv.notify_all();
    }
    std::this_thread::sleep_for(20ms);
}

TEST(SocketPingerTest, EmptyHostIsAnError) {
    SocketPinger pinger;
    EXPECT_FALSE(pinger.ping("", 50ms));
}

TEST(SocketPingerTest, RealPingOfLoopback) {
    if (SocketPinger::availableMode() == SocketPinger::Mode::None)
        GTEST_SKIP() << "no ICMP socket available to this process";
    SocketPinger pinger;
    const auto r = pinger.ping("127.0.0.1", 1000ms);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, ReplyStatus::Echo);
    EXPECT_GT(r->ttl, 0);

    WorkerShared shared;
    CameraSettings s;
    s.hostAddress = "127.0.0.1";
    shared.publishSettings(s);
    TICMPThread worker(shared);
    worker.restart();
    ASSERT_TRUE(waitFor([&] { return worker.completedPasses() >= 1; }));
    EXPECT_TRUE(shared.cameraReachable);
}

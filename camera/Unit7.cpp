#include "camera/Unit7.h"

namespace ipcam {

// Everything the worker touches lives here, owned jointly by the object and
// the thread, so a worker left behind at program end never reads freed
// memory. `shared` is used only under `mutex` and only before `terminated`.
struct TICMPThread::State {
    std::mutex mutex;
    std::condition_variable wake;
    WorkerShared* shared = nullptr;
    std::unique_ptr<Pinger> pinger;
    bool running = false;
    bool terminated = false;
    bool finished = false;
    // Bumped by every restart, suspend and terminate: a pass may publish its
    // outcome only if no such call came since it started.
    uint64_t generation = 0;
    uint64_t passes = 0;
    std::chrono::milliseconds replyTimeout{1000};
    std::chrono::milliseconds minPassInterval{200};
};

int countAnswered(const std::optional<ReplyRecord> (&replies)[kPingsPerPass]) {
    int answered = kPingsPerPass;
    for (const auto& r : replies)
        if (r && r->ttl == 0)
            --answered;
    return answered;
}

TICMPThread::TICMPThread(WorkerShared& shared, std::unique_ptr<Pinger> pinger) : state_(std::make_shared<State>()) {
    state_->shared = &shared;
    state_->pinger = std::move(pinger);
}

TICMPThread::~TICMPThread() { terminate(); }

void TICMPThread::restart() {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->terminated)
            return;
        state_->shared->cameraReachable = false;
        state_->running = true;
        ++state_->generation;
    }
    if (!thread_.joinable())
        thread_ = std::thread(&TICMPThread::run, state_);
    state_->wake.notify_all();
}

void TICMPThread::suspend() {
    std::lock_guard lock(state_->mutex);
    state_->running = false;
    ++state_->generation;
    if (!state_->terminated)
        state_->shared->cameraReachable = false;
}

void TICMPThread::terminate() {
    std::chrono::milliseconds grace;
    {
        std::lock_guard lock(state_->mutex);
        state_->terminated = true;
        state_->running = false;
        ++state_->generation;
        grace = state_->replyTimeout + std::chrono::milliseconds(200);
    }
    state_->wake.notify_all();
    if (!thread_.joinable())
        return;
    std::unique_lock lock(state_->mutex);
    const bool done = state_->wake.wait_for(lock, grace, [&] { return state_->finished; });
    lock.unlock();
    if (done)
        thread_.join();
    else
        thread_.detach();
}

void TICMPThread::setReplyTimeout(std::chrono::milliseconds t) {
    std::lock_guard lock(state_->mutex);
    state_->replyTimeout = t;
}

void TICMPThread::setMinPassInterval(std::chrono::milliseconds t) {
    std::lock_guard lock(state_->mutex);
    state_->minPassInterval = t;
}

uint64_t TICMPThread::completedPasses() const {
    std::lock_guard lock(state_->mutex);
    return state_->passes;
}

void TICMPThread::run(std::shared_ptr<State> st) {
    std::unique_lock lock(st->mutex);
    for (;;) {
        st->wake.wait(lock, [&] { return st->terminated || st->running; });
        if (st->terminated)
            break;
        const uint64_t generation = st->generation;
        const std::string host = st->shared->settings().hostAddress;
        const auto timeout = st->replyTimeout;
        const auto passStart = std::chrono::steady_clock::now();
        const auto earliestNext = passStart + st->minPassInterval;
        auto stillCurrent = [&] { return !st->terminated && st->generation == generation; };

        std::optional<ReplyRecord> replies[kPingsPerPass];
        bool abandoned = false;
        for (auto& reply : replies) {
            if (!stillCurrent()) {
                abandoned = true;
                break;
            }
            lock.unlock();
            try {
                reply = st->pinger->ping(host, timeout);
            } catch (...) {
                reply.reset();  // an error counts as answered
            }
            lock.lock();
        }
        if (abandoned || !stillCurrent())
            continue;
        st->shared->cameraReachable = countAnswered(replies) >= kReachableAnswers;
        ++st->passes;
        st->wake.wait_until(lock, earliestNext, [&] { return !stillCurrent(); });
    }
    st->finished = true;
    st->wake.notify_all();
}

}  // namespace ipcam

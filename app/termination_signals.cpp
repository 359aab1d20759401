#include "app/termination_signals.h"

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ipcam {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
// [0] written by the handler, [1] read on the user-interface thread.
int pipeFds[2] = {-1, -1};

extern "C" void onTerminationSignal(int signalNumber) {
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // Only async-signal-safe calls here.
    [[maybe_unused]] const ssize_t n = ::write(pipeFds[0], &byte, 1);
}

}  // namespace

TerminationSignals::TerminationSignals(Hangup hangup, QObject* parent) : QObject(parent), hangup_(hangup) {
    if (pipeFds[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pipeFds) != 0) {
        return;
    }
    ::fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
    notifier_ = std::make_unique<QSocketNotifier>(pipeFds[1], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &TerminationSignals::onReadable);
    struct sigaction sa {};
    sa.sa_handler = onTerminationSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int s : kSignals) {
        ::sigaction(s, &sa, nullptr);
    }
}

TerminationSignals::~TerminationSignals() {
    for (int s : kSignals) {
        ::signal(s, SIG_DFL);
    }
}

void TerminationSignals::onReadable() {
    unsigned char byte = 0;
    if (::read(pipeFds[1], &byte, 1) != 1) {
        return;
    }
    if (byte == SIGHUP && hangup_ == Hangup::Reloads) {
        emit reloadRequested();
    } else {
        emit terminationRequested(byte);
    }
}

}  // namespace ipcam

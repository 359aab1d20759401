#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <csignal>

#include "app/termination_signals.h"

namespace ipcam {
namespace {

TEST(TerminationSignals, SigtermBecomesARequestOnTheEventLoop) {
    TerminationSignals termination;
    int received = 0;
    QObject::connect(&termination, &TerminationSignals::terminationRequested, [&](int s) { received = s; });
    ASSERT_EQ(::raise(SIGTERM), 0);  // handled: the process goes on
    EXPECT_EQ(received, 0);          // nothing happens inside the handler itself
    QElapsedTimer t;
    t.start();
    while (received == 0 && t.elapsed() < 2000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    EXPECT_EQ(received, SIGTERM);
}

}  // namespace
}  // namespace ipcam

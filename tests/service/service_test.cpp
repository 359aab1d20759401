#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <string>

#include <sys/stat.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "app/log_file.h"
#include "app/service_notify.h"

namespace ipcam {
namespace {

std::string pending(int fd) {
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// The next datagram, the event loop running until it comes (bounded, so a
// missing message fails instead of hanging).
std::string nextMessage(int fd) {
    std::string message = pending(fd);
    if (!message.empty())
        return message;
    QSocketNotifier readable(fd, QSocketNotifier::Read);
    QEventLoop loop;
    QObject::connect(&readable, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    return pending(fd);
}

// systemd's side of the conversation: a datagram socket named by NOTIFY_SOCKET,
// a watchdog interval for this process.
TEST(ServiceNotifier, ReadyThenWatchdogPingsFromTheEventLoopThenStopping) {
    qunsetenv("NOTIFY_SOCKET");
    qputenv("WATCHDOG_USEC", "100000");
    {
        ServiceNotifier outside;
        outside.ready();
        EXPECT_EQ(outside.watchdogInterval().count(), 0) << "no pings outside systemd";
    }

    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/notify";
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    path.copy(address.sun_path, path.size());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    qputenv("NOTIFY_SOCKET", QByteArray::fromStdString(path));
    qputenv("WATCHDOG_PID", QByteArray::number(static_cast<qint64>(::getpid())));

    ServiceNotifier notifier;
    notifier.ready(QStringLiteral("Recording 127.0.0.1"));
    EXPECT_EQ(pending(fd), "READY=1\nSTATUS=Recording 127.0.0.1");
    EXPECT_EQ(notifier.watchdogInterval().count(), 50);

    // A line break in a status text cannot smuggle in another assignment.
    notifier.status(QStringLiteral("Camera\nSTOPPING=1"));
    EXPECT_EQ(pending(fd), "STATUS=Camera STOPPING=1");

    // An event loop that does not run sends no pings, however long it stalls.
    QThread::msleep(250);
    EXPECT_EQ(pending(fd), "");
    EXPECT_EQ(nextMessage(fd), "WATCHDOG=1");
    EXPECT_EQ(nextMessage(fd), "WATCHDOG=1");

    while (!pending(fd).empty()) {
    }
    notifier.stopping();
    EXPECT_EQ(nextMessage(fd), "STOPPING=1");
    EXPECT_EQ(notifier.watchdogInterval().count(), 0);

    ::close(fd);
    qunsetenv("NOTIFY_SOCKET");
    qunsetenv("WATCHDOG_USEC");
    qunsetenv("WATCHDOG_PID");
}

// Root running the window on the service's settings writes the activity log
// beside them: the log it makes, also by rotation, stays the service user's.
TEST(ServiceFolder, LogMadeByRootBelongsToTheServiceUser) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can give files to another user";
    constexpr uid_t kService = 65534;
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString() + "/service";
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::chown(folder.c_str(), kService, kService), 0);
    const std::string path = folder + "/ipcam-recorder.log";
    {
        LogFile log(LogFile::Options{path, 100, 3, false});
        log.append(std::string(60, 'a') + "\n");
        log.append(std::string(60, 'b') + "\n");  // past 100 bytes: rotated first
        log.flush();
    }
    for (const std::string& name : {path, path + ".1"}) {
        struct stat info {};
        ASSERT_EQ(::stat(name.c_str(), &info), 0) << name;
        EXPECT_EQ(info.st_uid, kService) << name;
        EXPECT_EQ(info.st_gid, kService) << name;
        EXPECT_EQ(info.st_mode & 07777, 0600u) << name;
    }
}

}  // namespace
}  // namespace ipcam

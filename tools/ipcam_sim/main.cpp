// ipcam-sim: a stand-in for the network camera, for the demo and for manual
// tests. Listens on loopback only.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ipcam_sim/camera_simulator.h"

using ipcam::sim::CameraSimulator;
using ipcam::sim::HeaderMode;
using ipcam::sim::SimulatorOptions;
using ipcam::sim::WriteMode;

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int sig) {
    const char c = static_cast<char>(sig);
    [[maybe_unused]] const auto n = ::write(signalPipe[1], &c, 1);
}

bool parsePort(const QString& text, quint16& out) {
    bool ok = false;
    const uint v = text.toUInt(&ok);
    if (!ok || v > 65535)
        return false;
    out = static_cast<quint16>(v);
    return true;
}

const char* kCommands =
    "Commands on standard input, one per line:\n"
    "  motion        a burst of motion (a few all-white/all-black pictures)\n"
    "  still         identical pictures from now on (no clock, no movement)\n"
    "  moving        the moving scene with its running clock again\n"
    "  stall         stop sending pictures; connections stay open\n"
    "  resume        send pictures again\n"
    "  close         close every stream connection\n"
    "  split-header  send the reply header in two pieces from now on\n"
    "  other-header  send a different reply header from now on\n"
    "  normal-header send the normal reply header again\n"
    "  garbage on|off  begin each picture in the middle of a write\n"
    "  writes whole|split|joined  one write per picture; the stream cut at random\n"
    "                points into small writes; two to four pictures per write\n"
    "  silent on|off   the start page accepts and never answers\n"
    "  quit          end the simulator\n"
    "Signals: SIGUSR1 triggers a burst of motion, SIGUSR2 toggles the still scene.\n";

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("ipcam-sim");

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QString("Camera simulator for IPCam Recorder: serves a stream of JPEG pictures and a start page.\n\n") +
        kCommands);
    parser.addHelpOption();
    parser.addOption({"port", "Stream port (default 8080, 0 = any free port).", "N", "8080"});
    parser.addOption({"http-port", "Start page port (default 80, 0 = any free port).", "N", "80"});
    parser.addOption({"password", "Camera password (default \"pxwqe\").", "TEXT", "pxwqe"});
    parser.addOption({"name", "Camera name, the start page's title (default \"IPCam Simulator\").", "TEXT",
                      "IPCam Simulator"});
    parser.addOption({"fps", "Pictures per second (default 10).", "N", "10"});
    parser.addOption({"still", "Start with the still scene (identical pictures)."});
    parser.addOption({"writes", "How pictures are cut into writes: whole, split or joined (default whole).", "MODE",
                      "whole"});
    parser.addOption({"bind", "Address to listen on (default 127.0.0.1; loopback addresses only).", "ADDR",
                      "127.0.0.1"});
    parser.addOption({"keep-sent",
                      "Append each picture sent to FILE (emptied at start): a 4-byte little-endian length, "
                      "then its bytes, boundary line included, flushed at once. A picture still among the "
                      "last 400 written is not written again.",
                      "FILE"});
    parser.process(app);

    SimulatorOptions options;
    if (!parsePort(parser.value("port"), options.streamPort) ||
        !parsePort(parser.value("http-port"), options.httpPort)) {
        std::fprintf(stderr, "ipcam-sim: a port must be a number from 0 to 65535\n");
        return 2;
    }
    options.password = parser.value("password").toUtf8();
    options.name = parser.value("name");
    bool ok = false;
    options.fps = parser.value("fps").toInt(&ok);
    if (!ok || options.fps < 1 || options.fps > 100) {
        std::fprintf(stderr, "ipcam-sim: --fps must be from 1 to 100\n");
        return 2;
    }
    options.still = parser.isSet("still");
    const QString writes = parser.value("writes");
    if (writes == "whole") {
        options.writeMode = WriteMode::Whole;
    } else if (writes == "split") {
        options.writeMode = WriteMode::Split;
    } else if (writes == "joined") {
        options.writeMode = WriteMode::Joined;
    } else {
        std::fprintf(stderr, "ipcam-sim: --writes must be whole, split or joined\n");
        return 1;
    }
    options.bindAddress = QHostAddress(parser.value("bind"));
    if (options.bindAddress.isNull() || !options.bindAddress.isLoopback()) {
        std::fprintf(stderr, "ipcam-sim: --bind must be a loopback address such as 127.0.0.1\n");
        return 2;
    }
    options.keepSentFile = parser.value("keep-sent");

    CameraSimulator sim(options);
    QString error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "ipcam-sim: %s\n", qPrintable(error));
        return 1;
    }

    // Signals reach the event loop through a pipe.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) == 0) {
        std::signal(SIGUSR1, onSignal);
        std::signal(SIGUSR2, onSignal);
        auto* sn = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(sn, &QSocketNotifier::activated, &app, [&sim] {
            char c = 0;
            if (::read(signalPipe[0], &c, 1) != 1)
                return;
            if (c == SIGUSR1)
                sim.triggerMotion();
            else if (c == SIGUSR2)
                sim.setStill(!sim.still());
        });
    }

    // Commands on standard input.
    auto* in = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, &app);
    auto pending = std::make_shared<QByteArray>();
    QObject::connect(in, &QSocketNotifier::activated, &app, [&sim, in, pending] {
        char buf[512];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            in->setEnabled(false);  // end of input: keep serving
            return;
        }
        pending->append(buf, n);
        qsizetype eol;
        while ((eol = pending->indexOf('\n')) >= 0) {
            const QByteArray line = pending->left(eol).trimmed();
            pending->remove(0, eol + 1);
            if (line == "motion") sim.triggerMotion();
            else if (line == "still") sim.setStill(true);
            else if (line == "moving") sim.setStill(false);
            else if (line == "stall") sim.stall();
            else if (line == "resume") sim.resume();
            else if (line == "close") sim.closeConnections();
            else if (line == "split-header") sim.setHeaderMode(HeaderMode::Split);
            else if (line == "other-header") sim.setHeaderMode(HeaderMode::Different);
            else if (line == "normal-header") sim.setHeaderMode(HeaderMode::Normal);
            else if (line == "garbage on") sim.setGarbagePrefix(true);
            else if (line == "garbage off") sim.setGarbagePrefix(false);
            else if (line == "writes whole") sim.setWriteMode(WriteMode::Whole);
            else if (line == "writes split") sim.setWriteMode(WriteMode::Split);
            else if (line == "writes joined") sim.setWriteMode(WriteMode::Joined);
            else if (line == "silent on") sim.setStartPageSilent(true);
            else if (line == "silent off") sim.setStartPageSilent(false);
            else if (line == "quit") QCoreApplication::quit();
            else if (!line.isEmpty())
                std::fprintf(stderr, "ipcam-sim: unknown command \"%s\"\n%s", line.constData(), kCommands);
        }
    });

    std::printf("ipcam-sim ready: stream on %s:%u, start page on %s:%u, %d pictures/s\n",
                qPrintable(options.bindAddress.toString()), sim.streamPort(),
                qPrintable(options.bindAddress.toString()), sim.httpPort(), options.fps);
    std::fflush(stdout);
    return app.exec();
}

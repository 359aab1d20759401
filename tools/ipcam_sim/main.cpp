// ipcam-sim: a stand-in for the network camera, for the demo and for manual
// tests. Listens on loopback only.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ipcam_sim/camera_simulator.h"

using ipcam::sim::CameraSimulator;
using ipcam::sim::HeaderMode;
using ipcam::sim::JpegFormat;
using ipcam::sim::MjpegAuth;
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

// RFC 2046's boundary characters, without the space.
bool validBoundary(const QString& text) {
    if (text.isEmpty() || text.size() > 70)
        return false;
    for (QChar c : text) {
        const char a = c.toLatin1();
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && !QByteArray("'()+_,-./:=?").contains(a))
            return false;
    }
    return true;
}

bool parseSize(const QString& text, QSize& out) {
    const QStringList parts = text.toLower().split('x');
    bool okW = false, okH = false;
    if (parts.size() != 2)
        return false;
    const int w = parts[0].toInt(&okW), h = parts[1].toInt(&okH);
    if (!okW || !okH || w < 16 || h < 16 || w > ipcam::sim::kMaxPictureSize.width() ||
        h > ipcam::sim::kMaxPictureSize.height())
        return false;
    out = QSize(w, h);
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
    "  corrupt       spoil the next picture: random bytes in the middle\n"
    "  truncate      the next picture ends early (no FF D9), framed as if whole\n"
    "  cut           write half of the next picture, then close the connection\n"
    "  refuse on|off   outage: close the stream connections and refuse new ones\n"
    "  noise N       write N random bytes into every stream at once\n"
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
                      "then its bytes, boundary line included (with --mjpeg the JPEG alone, FF D8 to FF D9), "
                      "flushed at once.",
                      "FILE"});
    parser.addOption({"mjpeg",
                      "Serve standard MJPEG over HTTP at PATH (e.g. /stream) on the stream port instead of "
                      "the camera's own protocol; other paths get 404. The options below need it.",
                      "PATH"});
    parser.addOption({"boundary", "MJPEG: the multipart boundary (default ipcamsimframe).", "NAME",
                      "ipcamsimframe"});
    parser.addOption({"boundary-quoted", "MJPEG: declare boundary=\"NAME\" rather than boundary=NAME."});
    parser.addOption({"boundary-dashes",
                      "MJPEG: declare boundary=--NAME (delimiter lines stay --NAME), as some cameras do."});
    parser.addOption({"no-delimiter-crlf", "MJPEG: no CRLF before a delimiter: --NAME right after the FF D9."});
    parser.addOption({"no-first-delimiter", "MJPEG: the first part's headers follow the response header directly."});
    parser.addOption({"empty-parts", "MJPEG: an empty part (the delimiter twice) after every Nth picture "
                                     "(default 0: never).",
                      "N", "0"});
    parser.addOption({"no-content-length", "MJPEG: no Content-Length in the parts' headers."});
    parser.addOption({"chunked", "MJPEG: Transfer-Encoding: chunked (also under HTTP/1.0)."});
    parser.addOption({"http11", "MJPEG: status lines HTTP/1.1 rather than HTTP/1.0."});
    parser.addOption({"content-type",
                      "MJPEG: answer Content-Type: TEXT (e.g. application/octet-stream, as ffmpeg's and VLC's "
                      "servers do) with no boundary declared; \"\": no Content-Type at all. The body is the same.",
                      "TEXT"});
    parser.addOption({"auth", "MJPEG: none, basic, digest (MD5, qop=auth) or digest-no-qop (default none).", "MODE",
                      "none"});
    parser.addOption({"user", "MJPEG: user name for --auth, with --password (default \"admin\").", "TEXT",
                      "admin"});
    parser.addOption({"snapshot", "MJPEG: each GET of PATH answers one JPEG picture (Content-Length, kept "
                                  "alive) rather than a stream, as snapshot cameras do."});
    parser.addOption({"exif", "MJPEG: Exif pictures (FF D8 FF E1) rather than JFIF (FF D8 FF E0)."});
    parser.addOption({"size", "MJPEG: picture size, 16x16 to 4000x3000 (default 640x480).", "WxH", "640x480"});
    parser.addOption({"mark",
                      "Give every picture a comment segment \"ipcam-sim serial=S conn=C ms=T\" (the picture's "
                      "number, its connection's number, the time it was sent), so that each is unique."});
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

    options.mjpegPath = parser.value("mjpeg").toUtf8();
    if (parser.isSet("mjpeg") && (!options.mjpegPath.startsWith('/') || options.mjpegPath.contains(' '))) {
        std::fprintf(stderr, "ipcam-sim: --mjpeg must be a path such as /stream\n");
        return 2;
    }
    static const char* const mjpegOnly[] = {"boundary", "boundary-quoted", "boundary-dashes", "no-delimiter-crlf",
                                            "no-first-delimiter", "empty-parts", "no-content-length", "chunked",
                                            "http11", "content-type", "auth", "user", "exif", "size", "snapshot"};
    for (const char* name : mjpegOnly) {
        if (parser.isSet(name) && options.mjpegPath.isEmpty()) {
            std::fprintf(stderr, "ipcam-sim: --%s needs --mjpeg PATH\n", name);
            return 2;
        }
    }
    if (!validBoundary(parser.value("boundary"))) {
        std::fprintf(stderr, "ipcam-sim: --boundary must be 1 to 70 letters, digits or '()+_,-./:=?\n");
        return 2;
    }
    options.mjpeg.boundary = parser.value("boundary").toLatin1();
    options.mjpeg.quoted = parser.isSet("boundary-quoted");
    options.mjpeg.dashedDeclaration = parser.isSet("boundary-dashes");
    options.mjpeg.crlfBeforeDelimiter = !parser.isSet("no-delimiter-crlf");
    options.mjpeg.firstDelimiter = !parser.isSet("no-first-delimiter");
    options.mjpeg.emptyPartEvery = parser.value("empty-parts").toInt(&ok);
    if (!ok || options.mjpeg.emptyPartEvery < 0) {
        std::fprintf(stderr, "ipcam-sim: --empty-parts must be a number, 0 for none\n");
        return 2;
    }
    options.mjpeg.contentLength = !parser.isSet("no-content-length");
    options.mjpeg.chunked = parser.isSet("chunked");
    options.mjpeg.http11 = parser.isSet("http11");
    options.snapshot = parser.isSet("snapshot");
    if (parser.isSet("content-type")) {
        const QString type = parser.value("content-type");
        if (std::any_of(type.begin(), type.end(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() >= 0x7F; })) {
            std::fprintf(stderr, "ipcam-sim: --content-type must be printable ASCII\n");
            return 2;
        }
        options.mjpeg.contentType = type.toLatin1();
    }
    const QString auth = parser.value("auth");
    if (auth == "none") {
        options.auth = MjpegAuth::None;
    } else if (auth == "basic") {
        options.auth = MjpegAuth::Basic;
    } else if (auth == "digest" || auth == "digest-no-qop") {
        options.auth = MjpegAuth::Digest;
        options.digestQop = auth == "digest";
    } else {
        std::fprintf(stderr, "ipcam-sim: --auth must be none, basic, digest or digest-no-qop\n");
        return 2;
    }
    options.user = parser.value("user").toUtf8();
    if (options.user.contains(':')) {
        std::fprintf(stderr, "ipcam-sim: --user cannot hold a colon\n");
        return 2;
    }
    options.jpegFormat = parser.isSet("exif") ? JpegFormat::Exif : JpegFormat::Jfif;
    if (!parseSize(parser.value("size"), options.pictureSize)) {
        std::fprintf(stderr, "ipcam-sim: --size must be WxH from 16x16 to 4000x3000\n");
        return 2;
    }

    options.markPictures = parser.isSet("mark");

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
            else if (line == "corrupt") sim.spoilNextPicture(ipcam::sim::PictureFault::Corrupt);
            else if (line == "truncate") sim.spoilNextPicture(ipcam::sim::PictureFault::Truncated);
            else if (line == "cut") sim.spoilNextPicture(ipcam::sim::PictureFault::Cut);
            else if (line == "refuse on") sim.setRefusing(true);
            else if (line == "refuse off") sim.setRefusing(false);
            else if (line.startsWith("noise ") && line.mid(6).toLongLong() > 0 &&
                     line.mid(6).toLongLong() <= 64 * 1024 * 1024)
                sim.sendNoise(line.mid(6).toLongLong());
            else if (line == "quit") QCoreApplication::quit();
            else if (!line.isEmpty())
                std::fprintf(stderr, "ipcam-sim: unknown command \"%s\"\n%s", line.constData(), kCommands);
        }
    });

    std::printf("ipcam-sim ready: stream on %s:%u, start page on %s:%u, %d pictures/s",
                qPrintable(options.bindAddress.toString()), sim.streamPort(),
                qPrintable(options.bindAddress.toString()), sim.httpPort(), options.fps);
    if (!options.mjpegPath.isEmpty())
        std::printf(options.snapshot ? ", single pictures at %s (%dx%d)" : ", MJPEG at %s (%dx%d)",
                    options.mjpegPath.constData(), options.pictureSize.width(),
                    options.pictureSize.height());
    std::printf("\n");
    std::fflush(stdout);
    return app.exec();
}

// The least a program can do with the camera's stream: receive it over TCP
// and decode every picture, nothing shown, nothing recorded. No Qt event
// loop, no window, no other thread: a blocking poll() and read() on the
// socket, the program's own framing and JpegDecoder. bench_shown measures the
// CPU time of this process beside the real program's, as the floor of a
// whole program that has to receive and decode each picture.
//
// Usage: bench_receive <loopback address> <stream port> <resolution 0|1|2>
// Runs until the stream ends or the process is stopped.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QImage>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/camera_settings.h"
#include "camera/jpeg_decoder.h"
#include "camera/stream_protocol.h"

using namespace ipcam;

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_receive <loopback address> <stream port> <resolution 0|1|2>\n");
        return 2;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
    // Loopback only: this is a measurement against the simulator.
    if (::inet_pton(AF_INET, argv[1], &to.sin_addr) != 1 || (ntohl(to.sin_addr.s_addr) >> 24) != 127) {
        std::fprintf(stderr, "bench_receive: %s is not a loopback address\n", argv[1]);
        return 2;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        std::perror("bench_receive: connect");
        return 1;
    }
    CameraSettings settings;
    settings.cameraPassword = "pxwqe";
    settings.resolution = static_cast<uint8_t>(std::atoi(argv[3]));
    const std::string request = composeStreamRequest(settings);
    if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) return 1;

    PictureFramer framer;
    JpegDecoder decoder;
    QImage image;
    std::vector<uint8_t> read(256 * 1024);
    std::vector<uint8_t> picture;
    std::vector<size_t> starts;
    size_t headerLeft = kExpectedReplyHeader.size();
    unsigned long long decoded = 0;
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, -1) > 0) {
        const ssize_t n = ::read(fd, read.data(), read.size());
        if (n <= 0) break;
        std::span<const uint8_t> chunk(read.data(), static_cast<size_t>(n));
        if (headerLeft > 0) {
            const size_t skip = std::min(headerLeft, chunk.size());
            headerLeft -= skip;
            chunk = chunk.subspan(skip);
        }
        starts.clear();
        framer.findStarts(chunk, starts);
        size_t from = 0;
        for (const size_t start : starts) {
            picture.insert(picture.end(), chunk.begin() + static_cast<std::ptrdiff_t>(from),
                           chunk.begin() + static_cast<std::ptrdiff_t>(start));
            if (!picture.empty() && decoder.decode(picture.data(), picture.size(), image)) ++decoded;
            picture.clear();
            from = start;
        }
        picture.insert(picture.end(), chunk.begin() + static_cast<std::ptrdiff_t>(from), chunk.end());
    }
    std::printf("%llu pictures decoded\n", decoded);
    ::close(fd);
    return 0;
}

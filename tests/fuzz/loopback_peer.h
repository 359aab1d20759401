#pragma once
// A peer on 127.0.0.1 for the fuzz targets that read from a socket: it
// listens once (any free port), and for each input accepts one connection,
// writes the input, half-closes and reads until the other side closes.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

class LoopbackPeer {
public:
    LoopbackPeer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        socklen_t len = sizeof addr;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listener_, 8) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            std::abort();
        }
        port_ = ntohs(addr.sin_port);
    }
    ~LoopbackPeer() {
        finish();
        ::close(listener_);
    }

    uint16_t port() const { return port_; }

    // Serves one connection with `bytes` on a thread of its own.
    void serve(std::string bytes) {
        finish();
        thread_ = std::thread([this, bytes = std::move(bytes)] {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0) return;
            const int c = ::accept(listener_, nullptr, nullptr);
            if (c < 0) return;
            size_t sent = 0;
            while (sent < bytes.size()) {
                const ssize_t n = ::send(c, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<size_t>(n);
            }
            ::shutdown(c, SHUT_WR);
            char sink[4096];
            pollfd q{c, POLLIN, 0};
            while (::poll(&q, 1, 5000) > 0 && ::recv(c, sink, sizeof sink, 0) > 0) {
            }
            ::close(c);
        });
    }

    // Waits for the connection served last to end.
    void finish() {
        if (thread_.joinable()) thread_.join();
    }

private:
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

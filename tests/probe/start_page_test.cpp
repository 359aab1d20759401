// The camera's title and the bounded start-page fetch.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "camera/http_start_page.h"

using namespace ipcam;
using namespace std::chrono_literals;

TEST(CameraTitle, ShortPagesGiveNothing) {
    EXPECT_EQ(extractCameraTitle(""), "");
    EXPECT_EQ(extractCameraTitle("<html><head><title>"), "");  // exactly 19 bytes
    EXPECT_EQ(extractCameraTitle("<html><head><title>X"), "X");
}

TEST(CameraTitle, RunsToTheFirstLessThan) {
    EXPECT_EQ(extractCameraTitle("<html><head><title>Front Door</title></head>"), "Front Door");
    // The first 19 bytes are skipped without being looked at.
    EXPECT_EQ(extractCameraTitle("<<<<<<<<<<<<<<<<<<<Gate<"), "Gate");
    EXPECT_EQ(extractCameraTitle("<html><head><title><b>x</b>"), "");
}

TEST(CameraTitle, WithoutLessThanRunsToTheEndOfTheRead) {
    EXPECT_EQ(extractCameraTitle("0123456789012345678Garden"), "Garden");
    // A page without any "<": the title is cut to 79 characters.
    std::string page(19, '.');
    page += std::string(5000, 'a');
    EXPECT_EQ(extractCameraTitle(page), std::string(79, 'a'));
}

TEST(CameraTitle, LongTitleCutTo79) {
    const std::string title(200, 'T');
    EXPECT_EQ(extractCameraTitle("<html><head><title>" + title + "</title>"), std::string(79, 'T'));
    const std::string exactly(79, 'U');
    EXPECT_EQ(extractCameraTitle("<html><head><title>" + exactly + "</title>"), exactly);
}

namespace {

// A loopback listener on an ephemeral port; serves one connection with a
// scripted behaviour on its own thread.
class OneShotServer {
public:
    OneShotServer() {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 4);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~OneShotServer() {
        if (thread_.joinable())
            thread_.join();
        ::close(fd_);
    }
    uint16_t port() const { return port_; }

    // Accept one connection, read the request, send the pieces (with a
    // short pause between them), close.
    void serve(std::vector<std::string> pieces) {
        thread_ = std::thread([this, pieces = std::move(pieces)] {
            const int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0)
                return;
            char buf[2048];
            const ssize_t n = ::recv(c, buf, sizeof buf, 0);
            request_.assign(buf, n > 0 ? static_cast<size_t>(n) : 0);
            for (const auto& p : pieces) {
                ::send(c, p.data(), p.size(), MSG_NOSIGNAL);
                std::this_thread::sleep_for(20ms);
            }
            ::close(c);
        });
    }
    std::string request() {
        if (thread_.joinable())
            thread_.join();
        return request_;
    }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::string request_;
};

HttpStartPageFetcher fetcherOn(uint16_t port) {
    HttpStartPageFetcher f;
    f.port = port;
    f.connectTimeout = 300ms;
    f.answerTimeout = 300ms;
    return f;
}

}  // namespace

TEST(StartPageFetch, BodyOfTheFirstReadWithoutCaching) {
    OneShotServer server;
    server.serve({"HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<html><head><title>Porch</title></head>"});
    auto f = fetcherOn(server.port());
    const auto body = f.fetch("127.0.0.1");
    ASSERT_TRUE(body);
    EXPECT_EQ(*body, "<html><head><title>Porch</title></head>");
    EXPECT_EQ(extractCameraTitle(*body), "Porch");
    const std::string req = server.request();
    EXPECT_EQ(req.rfind("GET / HTTP/1.0\r\n", 0), 0u) << req;
    EXPECT_NE(req.find("Cache-Control: no-cache\r\n"), std::string::npos);
    EXPECT_NE(req.find("Pragma: no-cache\r\n"), std::string::npos);
}

TEST(StartPageFetch, BodyInALaterReadAndOnlyTheFirstRead) {
    OneShotServer server;
    server.serve({"HTTP/1.1 200 OK\r\n", "Content-Type: text/html\r\n\r\n", "<html><head><title>A</title>", "MORE"});
    auto f = fetcherOn(server.port());
    const auto body = f.fetch("127.0.0.1");
    ASSERT_TRUE(body);
    EXPECT_EQ(*body, "<html><head><title>A</title>");
}

TEST(StartPageFetch, FirstReadCappedAt8192) {
    OneShotServer server;
    server.serve({"HTTP/1.0 200 OK\r\n\r\n" + std::string(10000, 'x')});
    auto f = fetcherOn(server.port());
    const auto body = f.fetch("127.0.0.1");
    ASSERT_TRUE(body);
    EXPECT_LE(body->size(), 8192u);
    EXPECT_FALSE(body->empty());
}

TEST(StartPageFetch, AnErrorStatusStillCountsAsAnAnswer) {
    OneShotServer server;
    server.serve({"HTTP/1.0 404 Not Found\r\n\r\n<html><head><title>Door</title>"});
    auto f = fetcherOn(server.port());
    auto body = f.fetch("127.0.0.1");
    ASSERT_TRUE(body);
    EXPECT_EQ(extractCameraTitle(*body), "Door");
}

TEST(StartPageFetch, FailuresGiveNothing) {
    {
        OneShotServer server;
        server.serve({"garbage without any header end"});  // closed inside the headers
        auto f = fetcherOn(server.port());
        EXPECT_FALSE(f.fetch("127.0.0.1"));
    }
    auto f = fetcherOn(1);
    EXPECT_FALSE(f.fetch(""));
}

TEST(StartPageFetch, HeadersAreBoundedAndEndWithTheirReason) {
    std::string manyLines = "HTTP/1.0 200 OK\r\n";
    for (int i = 0; i < 20; ++i)
        manyLines += "X-Filler: " + std::string(1000, 'f') + "\r\n";
    const std::pair<std::string, std::string> cases[] = {
        {"HTTP/1.0 200 OK\r\nX-Long: " + std::string(5000, 'a'), "header line longer than 4096 bytes"},
        {std::string(5000, 'b'), "not an HTTP reply"},
        {manyLines, "headers longer than 16384 bytes"},
    };
    for (const auto& [reply, reason] : cases) {
        SCOPED_TRACE(reason);
        OneShotServer server;
        server.serve({reply, "\r\n\r\n<title>late</title>"});
        auto f = fetcherOn(server.port());
        EXPECT_FALSE(f.fetch("127.0.0.1"));
        EXPECT_EQ(f.lastFailure(), reason);
    }
}

TEST(StartPageFetch, ConnectionRefused) {
    uint16_t port = 0;
    {
        OneShotServer closed;  // take a free port, then let it go
        port = closed.port();
    }
    auto f = fetcherOn(port);
    EXPECT_FALSE(f.fetch("127.0.0.1"));
}

TEST(StartPageFetch, ServerThatNeverAnswersTimesOut) {
    OneShotServer silent;  // the kernel accepts; nobody ever reads or writes
    auto f = fetcherOn(silent.port());
    f.answerTimeout = 100ms;
    EXPECT_FALSE(f.fetch("127.0.0.1"));
}

// The fetcher against the simulated camera, which runs on a thread of its
// own because the fetch blocks this one.
#include "ipcam_sim/simulator_thread.h"

TEST(StartPageFetch, SimulatorStartPageGivesTheCameraName) {
    ipcam::sim::SimulatorOptions o;
    o.name = "Garage Cam";
    ipcam::sim::SimulatorThread sim(o);
    QString why;
    ASSERT_TRUE(sim.start(&why)) << why.toStdString();
    auto f = fetcherOn(sim.httpPort());
    const auto body = f.fetch("127.0.0.1");
    ASSERT_TRUE(body);
    EXPECT_EQ(extractCameraTitle(*body), "Garage Cam");

    sim.invoke([](ipcam::sim::CameraSimulator& s) { s.setStartPageSilent(true); });
    f.answerTimeout = 100ms;
    EXPECT_FALSE(f.fetch("127.0.0.1"));  // accepted, never answered: bounded

}

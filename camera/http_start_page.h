#pragma once
// Fetches the camera's start page with a plain blocking HTTP/1.0 GET, bounded
// by time-outs so that a camera that accepts and never answers cannot hold
// the user-interface thread for long.

#include <chrono>
#include <cstdint>
#include <string>

#include "camera/start_page.h"

namespace ipcam {

constexpr std::size_t kStartPageReadSize = 8192;

class HttpStartPageFetcher final : public StartPageFetcher {
public:
    // GET / on `port`; the first read of the body (at most 8192 bytes), the
    // body part of that read when the headers came with it. Any HTTP status
    // counts as an answer. nullopt for an empty host, an unresolvable host, a
    // refused connection, an answer that is not HTTP, or a time-out.
    // Status and header lines are bounded (4096 bytes each, 16384 in all).
    std::optional<std::string> fetch(const std::string& host) override;
    // Why the last fetch gave nothing; empty after a page.
    const std::string& lastFailure() const { return failure_; }

    uint16_t port = 80;
    std::chrono::milliseconds connectTimeout{3000};
    // For the whole answer: status line, headers and the first body bytes.
    std::chrono::milliseconds answerTimeout{3000};

private:
    std::string failure_;
};

}  // namespace ipcam

#pragma once
// The camera's start page, fetched over HTTP before the stream is opened.

#include <optional>
#include <string>
#include <string_view>

namespace ipcam {

class StartPageFetcher {
public:
    virtual ~StartPageFetcher() = default;
    // GET "http://" + host + "/" (no caching); one read of at most 8192 bytes
    // of the page body. nullopt when the page cannot be fetched (bounded
    // time-outs count as failure).
    virtual std::optional<std::string> fetch(const std::string& host) = 0;
};

// The camera's title: from offset 19 up to the first "<", ending at the
// bytes read and at offset 4095 at the latest; cut to 79 characters.
std::string extractCameraTitle(std::string_view page);

}  // namespace ipcam

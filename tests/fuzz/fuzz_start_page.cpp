// The camera's start page: the whole answer (status line, headers, body) as
// a peer on loopback sends it to the fetcher, and the title taken from it.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "camera/http_start_page.h"
#include "camera/start_page.h"
#include "loopback_peer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static LoopbackPeer peer;
    const std::string answer(reinterpret_cast<const char*>(data), size);

    if (ipcam::extractCameraTitle(answer).size() > 79) std::abort();

    peer.serve(answer);
    ipcam::HttpStartPageFetcher fetcher;
    fetcher.port = peer.port();
    fetcher.connectTimeout = std::chrono::milliseconds(2000);
    fetcher.answerTimeout = std::chrono::milliseconds(2000);
    const auto page = fetcher.fetch("127.0.0.1");
    peer.finish();
    if (page) {
        if (page->size() > ipcam::kStartPageReadSize) std::abort();
        if (ipcam::extractCameraTitle(*page).size() > 79) std::abort();
    }
    return 0;
}

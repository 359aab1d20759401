// The web page's share of the engine's thread and its sign-in cost.
//
// WebPublish: one camera picture (40 KB, shared as the engine hands it out)
// given to the web page on the engine's thread: kept as the newest and queued
// for each live viewer; the viewers here never read, so every queue is full
// and drops its oldest. WebPasswordCheck: one sign-in's slow hash (PBKDF2-HMAC-
// SHA256, 600000 iterations).
#include <benchmark/benchmark.h>

#include "frontends/web/web_password.h"
#include "frontends/web/web_state.h"

namespace ipcam::bench {
namespace {

void webPublish(benchmark::State& state) {
    WebState web;
    std::vector<std::shared_ptr<PictureQueue>> viewers;
    for (int64_t i = 0; i < state.range(0); ++i)
        viewers.push_back(web.addViewer());
    const auto picture = std::make_shared<const std::vector<uint8_t>>(40 * 1024, 0x5A);
    for (auto _ : state)
        web.publish(picture);
    state.counters["viewers"] = static_cast<double>(state.range(0));
}
BENCHMARK(webPublish)->Arg(0)->Arg(1)->Arg(8)->Arg(32);

void webPasswordCheck(benchmark::State& state) {
    const std::string stored = hashWebPassword("a sign-in password");
    for (auto _ : state)
        benchmark::DoNotOptimize(verifyWebPassword("a sign-in password", stored));
}
BENCHMARK(webPasswordCheck)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace ipcam::bench

// /metrics for a site of ten devices: the text alone (a copy of the state and
// its rendering), and the whole request over loopback through the server.
#include <benchmark/benchmark.h>
#include <httplib.h>

#include "http_server.h"
#include "metrics.h"
#include "site_state.h"

namespace {

void fill(smdhost::SiteState& site) {
    for (int i = 0; i < 10; ++i) {
        const std::string name = "sps" + std::to_string(i + 1);
        site.addDevice(name, static_cast<unsigned>(i + 1), 1000);
        smdhost::Record r;
        r.temperature = 25.5f, r.loadCurrent = 52.1f, r.dcVoltage = 53.2f, r.acVoltage = 221.4f;
        r.acCurrent = 13.7f;
        site.round(name, r, false);
        site.alarm(name, smdhost::kAlarms[4].signalId, smdhost::kAlarms[4].name, true);
        site.writeOutcome(name, "confirmed");
    }
}

void BM_MetricsText(benchmark::State& state) {
    smdhost::SiteState site;
    fill(site);
    std::size_t bytes = 0;
    for (auto _ : state) {
        const std::string text = smdhost::renderMetrics(site.view());
        bytes = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_MetricsText)->Unit(benchmark::kMicrosecond);

void BM_MetricsRequest(benchmark::State& state) {
    smdhost::SiteState site;
    fill(site);
    auto server = smdhost::startWebServer(site, nullptr, smdhost::HttpOptions());
    httplib::Client client("127.0.0.1", server->port());
    client.set_keep_alive(true);
    for (auto _ : state) {
        auto res = client.Get("/metrics");
        if (!res || res->status != 200) state.SkipWithError("no answer");
    }
    server->stop();
}
BENCHMARK(BM_MetricsRequest)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

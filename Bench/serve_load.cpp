// Load on `kwotarv serve`: 50 clients scraping /metrics at once for 10 seconds on the built-in
// demo board. Reports the scrapes per second and fails on any error, wrong reading or crash.
//   build/host/Bench/bench_serve_load [--benchmark_counters_tabular=true]
// KWOTARV_LOAD_SECONDS and KWOTARV_LOAD_CLIENTS change the duration and the client count.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include <httplib.h>

#include "kwotarv/peer_process.hpp"
#include "kwotarv/tool_process.hpp"

namespace {

int Setting(const char* name, int fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr && std::atoi(text) > 0 ? std::atoi(text) : fallback;
}

void MetricsUnderLoad(benchmark::State& state)
{
    const int clients = Setting("KWOTARV_LOAD_CLIENTS", 50);
    const auto duration = std::chrono::seconds(Setting("KWOTARV_LOAD_SECONDS", 10));
    tooltest::ScratchDir scratch;
    servetest::ServeProcess serve({"--interval", "1"}, scratch.Path(""));
    // Hand-worked for the demo board (Tests/kwotarv/commands/sample_boards_test.cpp).
    const std::string expected[] = {"kwotarv_up 1\n",
                                    "kwotarv_voltage_volts{channel=\"+12V\",index=\"1\"} 12.09\n",
                                    "kwotarv_temperature_celsius{channel=\"System\",index=\"1\"} "
                                    "33.5\n",
                                    "kwotarv_fan_rpm{channel=\"CPU Fan\",index=\"0\"} 1500\n"};

    for (auto _ : state) {
        std::atomic<uint64_t> ok{0}, failed{0}, wrong{0};
        const auto end = std::chrono::steady_clock::now() + duration;
        std::vector<std::thread> threads;
        for (int c = 0; c < clients; ++c)
            threads.emplace_back([&] {
                while (std::chrono::steady_clock::now() < end) {
                    httplib::Client client("127.0.0.1", serve.Port());
                    client.set_read_timeout(std::chrono::seconds(10));
                    auto response = client.Get("/metrics");
                    if (!response || response->status != 200) {
                        ++failed;
                        continue;
                    }
                    bool right = true;
                    for (const auto& line : expected)
                        right = right && response->body.find(line) != std::string::npos;
                    ++(right ? ok : wrong);
                }
            });
        for (auto& t : threads)
            t.join();
        state.SetItemsProcessed(static_cast<int64_t>(ok + wrong + failed));
        state.counters["scrapes_per_second"] =
            benchmark::Counter(static_cast<double>(ok), benchmark::Counter::kIsRate);
        state.counters["errors"] = static_cast<double>(failed);
        state.counters["wrong_readings"] = static_cast<double>(wrong);
        state.counters["clients"] = clients;
        if (failed != 0 || wrong != 0)
            state.SkipWithError("scrapes failed or returned wrong readings");
    }
    if (!serve.Process().Running())
        state.SkipWithError("kwotarv serve ended under load");
    else if (const int status = serve.Process().Stop(); status != 0)
        state.SkipWithError(
            ("kwotarv serve exited with " + std::to_string(status) + ": " + serve.Err()).c_str());
}

BENCHMARK(MetricsUnderLoad)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();

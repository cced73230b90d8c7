// /metrics beside dashboards: the latency of a scrape of `kwotarv serve`'s pages (the demo board
// on the simulator, a full history of 15 minutes at --interval 0.2) alone and while 8 clients
// poll the history every 0.2 s as the dashboard does (the whole history once, then `?since=`
// the newest sample they have). Prints both, and fails when the median beside the dashboards is
// more than twice the one alone. For comparison it also prints the latency beside 8 clients
// that fetch the whole history every 0.2 s (as the dashboard did before it had a cursor).
//   build/host/Bench/bench_history_load
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "backends/simulator_backend.hpp"
#include "serve/serve.hpp"
#include "serve/site.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr double kInterval = 0.2;
constexpr int kHistoryClients = 8;
constexpr int kScrapes = 200;

// The serve pages on a loopback port, with a history filled from one reading of the board and
// a sampler adding a reading every interval.
class ServeUnderTest {
  public:
    ServeUnderTest()
        : backend_(kwotarv::MakeSimulatorBackend({})), monitor_(*backend_),
          history_(kwotarv::HistoryCapacity(kInterval, kwotarv::kHistorySeconds)),
          site_(monitor_, history_, kInterval),
          server_([this](const kwotarv::HttpRequest& r) { return site_.Handle(r); })
    {
        const kwotarv::Sample sample = monitor_.Read();
        const size_t samples = kwotarv::HistoryCapacity(kInterval, kwotarv::kHistorySeconds);
        for (size_t i = 0; i < samples; ++i) {
            kwotarv::Sample s = sample;
            s.unixMillis = sample.unixMillis + static_cast<int64_t>(i) * 200;
            history_.Add(std::move(s));
        }
        server_.AnswerFirst("/metrics");
        server_.Listen("127.0.0.1", 0);
        thread_ = std::thread([this] { server_.Run([this] { return stop_.load(); }); });
        // The sampler: a reading every interval, as serve takes them.
        sampler_ = std::thread([this] {
            while (!stop_) {
                std::this_thread::sleep_for(200ms);
                history_.Add(monitor_.Read());
            }
        });
    }
    ~ServeUnderTest()
    {
        stop_ = true;
        sampler_.join();
        thread_.join();
    }
    uint16_t Port() const
    {
        const std::string address = server_.BoundAddress(); // "127.0.0.1:40123"
        return static_cast<uint16_t>(std::stoi(address.substr(address.rfind(':') + 1)));
    }

  private:
    std::unique_ptr<kwotarv::Backend> backend_;
    kwotarv::SensorMonitor monitor_;
    kwotarv::History history_;
    kwotarv::ServeSite site_;
    kwotarv::HttpServer server_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::thread sampler_;
};

// The median and the 95th percentile of `kScrapes` scrapes one after the other, in ms; a
// failed scrape counts in `failed`.
std::pair<double, double> ScrapeLatency(uint16_t port, std::atomic<int>& failed)
{
    std::vector<double> ms;
    for (int i = 0; i < kScrapes; ++i) {
        httplib::Client client("127.0.0.1", port);
        const auto start = Clock::now();
        const auto r = client.Get("/metrics");
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (!r || r->status != 200 || r->body.find("kwotarv_up 1\n") == std::string::npos)
            ++failed;
        std::this_thread::sleep_for(5ms);
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms[ms.size() * 95 / 100]};
}

// The scrape latency while 8 clients poll the history every 0.2 s, each from its own cursor
// (`cursor`) or always the whole of it; the history's bytes received go to `bytes`.
std::pair<double, double> LatencyBesideClients(uint16_t port, bool cursor, std::atomic<int>& failed,
                                               std::atomic<uint64_t>& bytes)
{
    std::atomic<bool> done{false};
    std::vector<std::thread> clients;
    for (int c = 0; c < kHistoryClients; ++c)
        clients.emplace_back([&] {
            uint64_t since = 0;
            while (!done) {
                const auto next = Clock::now() + 200ms;
                httplib::Client client("127.0.0.1", port);
                const auto r =
                    client.Get("/api/history" + (since ? "?since=" + std::to_string(since) : ""));
                if (!r || r->status != 200) {
                    ++failed;
                } else {
                    bytes += r->body.size();
                    if (cursor)
                        since = nlohmann::json::parse(r->body)["last"];
                }
                std::this_thread::sleep_until(next);
            }
        });
    std::this_thread::sleep_for(1s); // the clients under way
    const auto latency = ScrapeLatency(port, failed);
    done = true;
    for (auto& t : clients)
        t.join();
    return latency;
}

void ScrapesBesideDashboards(benchmark::State& state)
{
    ServeUnderTest serve;
    for (auto _ : state) {
        std::atomic<int> failed{0};
        std::atomic<uint64_t> dashboardBytes{0}, wholeBytes{0};
        const auto [alone, alone95] = ScrapeLatency(serve.Port(), failed);
        const auto [loaded, loaded95] =
            LatencyBesideClients(serve.Port(), true, failed, dashboardBytes);
        const auto [whole, whole95] = LatencyBesideClients(serve.Port(), false, failed, wholeBytes);

        std::printf("scrape latency alone: median %.2f ms, p95 %.2f ms\n", alone, alone95);
        std::printf("scrape latency beside %d dashboards: median %.2f ms, p95 %.2f ms "
                    "(%.2f MB of history sent)\n",
                    kHistoryClients, loaded, loaded95, dashboardBytes / 1e6);
        std::printf("scrape latency beside %d clients of the whole history: median %.2f ms, "
                    "p95 %.2f ms (%.1f MB of history sent)\n",
                    kHistoryClients, whole, whole95, wholeBytes / 1e6);
        state.counters["alone_ms"] = alone;
        state.counters["dashboards_ms"] = loaded;
        state.counters["whole_history_ms"] = whole;
        if (failed != 0)
            state.SkipWithError("requests failed");
        else if (loaded > 2 * alone)
            state.SkipWithError("a scrape took more than twice as long beside the dashboards");
    }
}

BENCHMARK(ScrapesBesideDashboards)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();

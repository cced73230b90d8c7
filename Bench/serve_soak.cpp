// Memory of `kwotarv serve` over a long run: 1,000,000 requests from 8 clients on the demo
// board, one in 50 for the dashboard's /api/history and the rest /metrics. The sampler runs at
// its slowest, so that the history (bounded, but filling for its first fifteen minutes) stays
// out of the measure. Prints the server's resident set size every 50,000 requests and fails
// when it grows by more than 2 MiB after the first quarter of the run.
//   build/host/Bench/bench_serve_soak
// KWOTARV_SOAK_REQUESTS, KWOTARV_SOAK_CLIENTS and KWOTARV_SOAK_GROWTH_KB change the request
// count, the client count and the growth allowed.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "kwotarv/peer_process.hpp"
#include "kwotarv/tool_process.hpp"

namespace {

long Setting(const char* name, long fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr && std::atol(text) > 0 ? std::atol(text) : fallback;
}

// VmRSS of the process in KiB; 0 when it is gone.
long RssKiB(int pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

} // namespace

int main()
{
    const long total = Setting("KWOTARV_SOAK_REQUESTS", 1000000);
    const long clients = Setting("KWOTARV_SOAK_CLIENTS", 8);
    const long allowedGrowth = Setting("KWOTARV_SOAK_GROWTH_KB", 2048);
    const long step = std::max(1L, total / 20);
    tooltest::ScratchDir scratch;
    servetest::ServeProcess serve({"--interval", "3600"}, scratch.Path(""));
    const int pid = serve.Process().Pid();

    std::atomic<long> started{0}, done{0}, failed{0};
    std::vector<std::thread> threads;
    for (long c = 0; c < clients; ++c)
        threads.emplace_back([&] {
            httplib::Client client("127.0.0.1", serve.Port());
            client.set_read_timeout(std::chrono::seconds(10));
            for (long n; (n = started++) < total;) {
                auto response = client.Get(n % 50 == 0 ? "/api/history" : "/metrics");
                failed += !response || response->status != 200;
                ++done;
            }
        });

    const auto start = std::chrono::steady_clock::now();
    long baseline = 0, peakAfter = 0;
    std::printf("%10s %8s %10s\n", "requests", "seconds", "rss_kib");
    for (long mark = step; mark <= total; mark += step) {
        while (done < mark && serve.Process().Running())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const long rss = RssKiB(pid);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("%10ld %8.1f %10ld\n", mark, seconds, rss);
        std::fflush(stdout);
        if (mark <= total / 4)
            baseline = rss;
        else
            peakAfter = std::max(peakAfter, rss);
        if (!serve.Process().Running())
            break;
    }
    for (auto& t : threads)
        t.join();
    const long growth = peakAfter - baseline;
    std::printf("failed requests: %ld; growth after the first quarter: %ld KiB\n", failed.load(),
                growth);
    const bool ok = failed == 0 && serve.Process().Running() && growth <= allowedGrowth &&
                    serve.Process().Stop() == 0;
    if (!ok)
        std::printf("FAILED (growth allowed: %ld KiB)\n", allowedGrowth);
    return ok ? 0 : 1;
}

// The serve command: the first reading, the sampler thread and the server's life.
#include "serve/serve.hpp"

#include <thread>

#include "commands/watch_pacing.hpp"
#include "serve/site.hpp"

namespace kwotarv {

int RunServe(Backend& backend, const ServeOptions& options, std::ostream& out, std::ostream& err,
             const std::function<void(const Sample&)>& onReading)
{
    std::string host;
    uint16_t port = 0;
    if (!SplitListenAddress(options.listen, host, port))
        throw ToolError("--listen: '" + options.listen +
                            "' is not ADDRESS:PORT (127.0.0.1:9788, [::1]:9788, 0.0.0.0:9788)",
                        kExitUsage);
    if (!(options.intervalSeconds >= kMinIntervalSeconds &&
          options.intervalSeconds <= kMaxIntervalSeconds))
        throw ToolError("--interval: give seconds from 0.2 to 3600", kExitUsage);

    SensorMonitor monitor(backend, backend.HotPlugHook(), options.busLockTimeoutMs);
    History history(HistoryCapacity(options.intervalSeconds, kHistorySeconds));
    ServeSite site(monitor, history, options.intervalSeconds);

    // The first reading: an unusable board description ends the command here; a device that
    // is not there yet is reported and waited for.
    Sample first = monitor.Read();
    if (!first.up)
        for (const auto& error : first.readings.errors)
            err << "kwotarv: serve: " << error << " (kwotarv_up is 0 until it reads)\n";
    if (onReading)
        onReading(first);
    const bool firstUp = first.up;
    history.Add(std::move(first));

    HttpServer server([&site](const HttpRequest& request) { return site.Handle(request); });
    server.AnswerFirst("/metrics"); // a scrape never waits behind dashboards
    try {
        server.Listen(host, port);
    } catch (const std::exception& error) {
        throw ToolError(std::string("--listen: ") + error.what(), kExitFailure);
    }
    out << "kwotarv: serving http://" << server.BoundAddress()
        << "/ (dashboard), /metrics (Prometheus), /api/readings" << std::endl;
    err.flush();

    // The sampler keeps the history; a failed reading is reported when the state changes.
    std::thread sampler([&] {
        bool wasUp = firstUp;
        while (!StopRequested()) {
            SleepSeconds(options.intervalSeconds);
            if (StopRequested())
                break;
            Sample sample = monitor.Read();
            if (sample.up != wasUp) {
                if (sample.up)
                    err << "kwotarv: serve: the device reads again\n";
                else
                    for (const auto& error : sample.readings.errors)
                        err << "kwotarv: serve: " << error << "\n";
                err.flush();
                wasUp = sample.up;
            }
            if (onReading)
                onReading(sample);
            history.Add(std::move(sample));
        }
    });
    server.Run([] { return StopRequested(); });
    sampler.join();
    out << "kwotarv: serve stopped" << std::endl;
    return kExitSuccess;
}

} // namespace kwotarv

// The serve command: the first reading, the sampler thread and the server's life.
#include "serve/serve.hpp"

#include <mutex>
#include <thread>

#include "commands/watch_pacing.hpp"
#include "serve/site.hpp"
#include "serve/web_security.hpp"

namespace kwotarv {

namespace {

HttpResponse Unauthorized()
{
    HttpResponse response;
    response.status = 401;
    response.body = ReasonPhrase(401) + "\n";
    response.headers = {{"WWW-Authenticate", "Basic"}};
    return response;
}

} // namespace

void CheckWebConfig(const ServeOptions& options)
{
    const WebSecurity loaded(options.webConfigFile, [](const std::string&) {});
}

void CheckAllowedHosts(const ServeOptions& options)
{
    for (const auto& name : options.allowedHosts) {
        std::string ignored; // an IPv6 address may come without its brackets
        if (name.empty() || (!HostName(name, ignored) && !HostName("[" + name + "]", ignored)))
            throw ToolError("--allowed-host: '" + name + "' is not a host name or address",
                            kExitUsage);
    }
}

int RunServe(Backend& backend, const ServeOptions& options, std::ostream& out, std::ostream& err,
             const std::function<void(const Sample&)>& onReading)
{
    std::vector<std::pair<std::string, uint16_t>> addresses;
    for (const auto& listen : options.listen) {
        std::string host;
        uint16_t port = 0;
        if (!SplitListenAddress(listen, host, port))
            throw ToolError("--listen: '" + listen +
                                "' is not ADDRESS:PORT (127.0.0.1:9788, [::1]:9788, 0.0.0.0:9788)",
                            kExitUsage);
        addresses.emplace_back(host, port);
    }
    CheckAllowedHosts(options);
    if (!(options.intervalSeconds >= kMinIntervalSeconds &&
          options.intervalSeconds <= kMaxIntervalSeconds))
        throw ToolError("--interval: give seconds from 0.2 to 3600", kExitUsage);
    std::mutex errMutex; // the sampler and the server's workers both report
    WebSecurity security(options.webConfigFile, [&err, &errMutex](const std::string& line) {
        std::lock_guard lock(errMutex);
        err << line << std::endl;
    });

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

    HttpServer server(
        [&site, &security](const HttpRequest& request) {
            return security.Allows(request) ? site.Handle(request) : Unauthorized();
        },
        {}, security.Transports());
    server.AllowHosts(options.allowedHosts);
    server.AnswerFirst("/metrics"); // a scrape never waits behind dashboards
    try {
        // With several addresses each IPv6 socket keeps to IPv6, so that 0.0.0.0 and [::] on
        // one port do not collide.
        for (const auto& [host, port] : addresses)
            server.Listen(host, port, addresses.size() > 1);
    } catch (const std::exception& error) {
        throw ToolError(std::string("--listen: ") + error.what(), kExitFailure);
    }
    for (const auto& address : server.BoundAddresses())
        out << "kwotarv: serving " << server.Scheme() << "://" << address
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
                std::lock_guard lock(errMutex);
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

// The serve command: endpoints, the sampler thread and the server's life.
#include "serve.hpp"

#include <thread>

#include "metrics.hpp"
#include "report.hpp"

namespace kwotarv {

namespace {

HttpResponse Json(int status, const nlohmann::ordered_json& body)
{
    HttpResponse response;
    response.status = status;
    response.contentType = "application/json";
    response.body = body.dump() + "\n";
    return response;
}

} // namespace

HttpResponse ServeSite::Handle(const HttpRequest& request)
{
    enum class Page { None, Dashboard, Metrics, Readings, History };
    Page page = Page::None;
    if (request.path == "/")
        page = Page::Dashboard;
    else if (request.path == "/metrics")
        page = Page::Metrics;
    else if (request.path == "/api/readings")
        page = Page::Readings;
    else if (request.path == "/api/history")
        page = Page::History;

    HttpResponse response;
    if (page == Page::None) {
        response.status = 404;
        response.body = "not found; the pages are /, /metrics, /api/readings and /api/history\n";
        return response;
    }
    if (request.method != "GET" && request.method != "HEAD") {
        response.status = 405;
        response.headers.push_back({"Allow", "GET, HEAD"});
        response.body = "only GET and HEAD\n";
        return response;
    }

    switch (page) {
    case Page::Dashboard:
        response.contentType = "text/html; charset=utf-8";
        response.body = std::string(DashboardPage());
        // The page is self-contained: it may load nothing and talk only to this server.
        response.headers.push_back({"Content-Security-Policy",
                                    "default-src 'none'; script-src 'unsafe-inline'; "
                                    "style-src 'unsafe-inline'; connect-src 'self'; "
                                    "img-src 'self'"});
        return response;
    case Page::Metrics: {
        const Sample sample = monitor_.Read();
        response.contentType = kPrometheusContentType;
        // Still 200 without the device: kwotarv_up 0 says so.
        response.body = MetricsText(sample, monitor_.FailedReads());
        return response;
    }
    case Page::Readings: {
        const Sample sample = monitor_.Read();
        nlohmann::ordered_json body = ReadingsJson(sample.readings);
        body["timestamp"] = IsoTimestamp(sample.unixMillis);
        return Json(sample.up ? 200 : 503, body);
    }
    case Page::History:
        return Json(200, HistoryJson(history_.Samples(), interval_));
    case Page::None:
        break;
    }
    return response;
}

int RunServe(Backend& backend, const ServeOptions& options, std::function<void()> beforeRead,
             std::ostream& out, std::ostream& err)
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

    SensorMonitor monitor(backend, std::move(beforeRead));
    History history(HistoryCapacity(options.intervalSeconds, kHistorySeconds));
    ServeSite site(monitor, history, options.intervalSeconds);

    // The first reading: an unusable board description ends the command here; a device that
    // is not there yet is reported and waited for.
    Sample first = monitor.Read();
    if (!first.up)
        for (const auto& error : first.readings.errors)
            err << "kwotarv: serve: " << error << " (kwotarv_up is 0 until it reads)\n";
    history.Add(std::move(first));

    HttpServer server([&site](const HttpRequest& request) { return site.Handle(request); });
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
        bool wasUp = history.Samples().back().up;
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
            history.Add(std::move(sample));
        }
    });
    server.Run([] { return StopRequested(); });
    sampler.join();
    out << "kwotarv: serve stopped" << std::endl;
    return kExitSuccess;
}

} // namespace kwotarv

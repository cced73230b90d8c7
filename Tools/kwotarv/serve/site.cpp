// The pages of serve.
#include "serve/site.hpp"

#include "output/readings_report.hpp"
#include "serve/metrics.hpp"

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
        body["alarms"] = AlarmCount(sample.readings);
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

} // namespace kwotarv

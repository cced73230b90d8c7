// The pages of serve.
#include "serve/site.hpp"

#include <charconv>
#include <optional>

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

// The history's cursor in a query: `since=N` (N the `last` of an earlier answer), 0 without it;
// nullopt when `since` is not a decimal number that fits or is given twice. Other parameters
// are ignored.
std::optional<uint64_t> HistoryCursor(std::string_view query)
{
    std::optional<uint64_t> since;
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view parameter = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const size_t equals = parameter.find('=');
        if (parameter.substr(0, equals) != "since")
            continue;
        if (since || equals == std::string_view::npos)
            return std::nullopt;
        const std::string_view value = parameter.substr(equals + 1);
        uint64_t number = 0;
        const auto [end, error] =
            std::from_chars(value.data(), value.data() + value.size(), number);
        if (value.empty() || error != std::errc() || end != value.data() + value.size())
            return std::nullopt;
        since = number;
    }
    return since.value_or(0);
}

} // namespace

std::string ServeSite::HistoryAnswer(uint64_t since)
{
    if (since != 0 && since <= history_.Newest())
        return HistoryText(history_.Since(since), interval_);
    // The whole history (a cursor past the newest sample asks for it too).
    std::lock_guard lock(wholeMutex_);
    if (const uint64_t newest = history_.Newest(); whole_.empty() || newest != wholeNewest_) {
        whole_ = HistoryText(history_.Since(0), interval_);
        wholeNewest_ = newest;
    }
    return whole_;
}

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
    case Page::History: {
        const std::optional<uint64_t> since = HistoryCursor(request.query);
        if (!since) {
            response.status = 400;
            response.body = "since: give the \"last\" of an earlier answer, a whole number\n";
            return response;
        }
        response.contentType = "application/json";
        response.body = HistoryAnswer(*since);
        return response;
    }
    case Page::None:
        break;
    }
    return response;
}

} // namespace kwotarv

// The pages of `kwotarv serve`, apart from the transport: the dashboard at /, Prometheus metrics
// at /metrics, the readings at /api/readings and the dashboard's history at /api/history.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "serve/history.hpp"
#include "serve/http_server.hpp"
#include "serve/sensor_monitor.hpp"

namespace kwotarv {

// The embedded dashboard page (serve/dashboard/dashboard.html).
std::string_view DashboardPage();

// The endpoints, apart from the transport.
class ServeSite {
  public:
    ServeSite(SensorMonitor& monitor, History& history, double intervalSeconds)
        : monitor_(monitor), history_(history), interval_(intervalSeconds)
    {
    }
    HttpResponse Handle(const HttpRequest& request);

  private:
    std::string HistoryAnswer(uint64_t since);

    SensorMonitor& monitor_;
    History& history_;
    double interval_;
    // The answer with the whole history, which every dashboard that opens asks for, made once
    // per sample: the number of the newest sample in it and its text.
    std::mutex wholeMutex_;
    uint64_t wholeNewest_ = 0;
    std::string whole_;
};

} // namespace kwotarv

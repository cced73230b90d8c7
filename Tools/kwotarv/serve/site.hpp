// The pages of `kwotarv serve`, apart from the transport: the dashboard at /, Prometheus metrics
// at /metrics, the readings at /api/readings and the dashboard's history at /api/history.
#pragma once

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
    SensorMonitor& monitor_;
    History& history_;
    double interval_;
};

} // namespace kwotarv

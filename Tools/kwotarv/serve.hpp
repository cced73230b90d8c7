// `kwotarv serve`: an HTTP server with the readings for Prometheus (/metrics), as JSON
// (/api/readings, /api/history) and as a live dashboard (/). Every answer with readings reads
// the device at that moment; a sampler reads it every interval for the dashboard's history.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <string_view>

#include "backend.hpp"
#include "history.hpp"
#include "http_server.hpp"
#include "sensor_monitor.hpp"

namespace kwotarv {

struct ServeOptions {
    std::string listen = "127.0.0.1:9788";
    double intervalSeconds = 2.0; // the sampler's pace and the dashboard's refresh
};

inline constexpr double kMinIntervalSeconds = 0.2;
inline constexpr double kMaxIntervalSeconds = 3600;
// How far back the history reaches.
inline constexpr double kHistorySeconds = 15 * 60;

// The embedded dashboard page.
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

// Serves until StopRequested(). `beforeRead` runs before every reading under the reading lock.
// The address it listens on is printed to `out` once it does; progress and problems go to
// `err`. Returns the tool's exit status.
int RunServe(Backend& backend, const ServeOptions& options, std::function<void()> beforeRead,
             std::ostream& out, std::ostream& err);

} // namespace kwotarv

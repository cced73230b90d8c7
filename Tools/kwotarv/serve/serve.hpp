// `kwotarv serve`: an HTTP server with the readings for Prometheus (/metrics), as JSON
// (/api/readings, /api/history) and as a live dashboard (/). Every answer with readings reads
// the device at that moment; a sampler reads it every interval for the dashboard's history.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "backends/backend.hpp"
#include "serve/sensor_monitor.hpp"

namespace kwotarv {

struct ServeOptions {
    std::vector<std::string> listen = {"127.0.0.1:9788"}; // every one is listened on
    std::vector<std::string> allowedHosts; // --allowed-host: Host names answered; empty: any
    double intervalSeconds = 2.0;          // the sampler's pace and the dashboard's refresh
    uint32_t busLockTimeoutMs = kDefaultBusLockTimeoutMs; // --bus-lock-timeout
    std::string webConfigFile; // --web.config.file: TLS and basic auth; empty: plain HTTP
};

inline constexpr double kMinIntervalSeconds = 0.2;
inline constexpr double kMaxIntervalSeconds = 3600;
// How far back the history reaches.
inline constexpr double kHistorySeconds = 15 * 60;

// Reads the web configuration file, if any, as serve would: a fault is a usage error (ToolError,
// exit 2). For the Windows service's installation, which checks before it installs.
void CheckWebConfig(const ServeOptions& options);

// Throws a usage error for an --allowed-host that is not a host name or address.
void CheckAllowedHosts(const ServeOptions& options);

// Serves until StopRequested(); the back end's hot-plug hook runs before every reading. The
// address it listens on is printed to `out` once it does; progress and problems go to `err`.
// Returns the tool's exit status. `onReading`, when given, sees every reading of the sampler
// (the first one included) as it is taken (the Windows service's alarm events).
int RunServe(Backend& backend, const ServeOptions& options, std::ostream& out, std::ostream& err,
             const std::function<void(const Sample&)>& onReading = {});

} // namespace kwotarv

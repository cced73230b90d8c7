// `kwotarv read --format prometheus`: the metrics of /metrics for a textfile collector, on
// standard output or replacing --output FILE atomically, once or every --watch seconds.
#pragma once

#include <ostream>

#include "backends/backend.hpp"
#include "commands/read.hpp"

namespace kwotarv {

// Writes kwotarv_up 0 (and exits 1) when the device cannot be read, so that an alert fires
// rather than the file going stale.
int RunPrometheusRead(Backend& backend, const ReadOptions& options, std::ostream& out,
                      std::ostream& err);

} // namespace kwotarv

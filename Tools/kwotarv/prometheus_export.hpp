// `kwotarv read --format prometheus`: the metrics of /metrics for a textfile collector, on
// standard output or replacing --output FILE atomically, once or every --watch seconds.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>

#include "backend.hpp"

namespace kwotarv {

struct ExportOptions {
    std::optional<std::filesystem::path> output;
    std::optional<double> watchSeconds;
    std::optional<uint64_t> count;
};

// Writes kwotarv_up 0 (and exits 1) when the device cannot be read, so that an alert fires
// rather than the file going stale.
int RunPrometheusRead(Backend& backend, const ExportOptions& options, std::ostream& out,
                      std::ostream& err);

} // namespace kwotarv

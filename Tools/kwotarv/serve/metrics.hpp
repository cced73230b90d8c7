// The readings in the Prometheus text exposition format (version 0.0.4), for `kwotarv serve`'s
// /metrics and for `kwotarv read --format prometheus` (node_exporter's textfile collector).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "serve/sensor_monitor.hpp"

namespace kwotarv {

inline constexpr const char* kPrometheusContentType = "text/plain; version=0.0.4; charset=utf-8";

// A label value with backslash, double quote and line feed escaped.
std::string EscapeLabelValue(std::string_view value);

// Every metric of one reading, families in a fixed order and channels by index; a channel the
// driver does not read is left out. `failedReads` is the running count of failed readings.
std::string MetricsText(const Sample& sample, uint64_t failedReads);

} // namespace kwotarv

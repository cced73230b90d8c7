// The read command: every channel with its configured name, once or repeated with --watch and
// --count, as text, JSON or (commands/export.hpp) Prometheus metrics.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>

#include "cli/exit_status.hpp"
#include "client/bus_mutex.hpp"
#include "client/device.hpp"

namespace kwotarv {

enum class OutputFormat { Text, Json, Prometheus };

struct ReadOptions {
    OutputFormat format = OutputFormat::Text;    // --format, or --json
    std::optional<double> watchSeconds;          // --watch: repeat with this pause
    std::optional<uint64_t> count;               // --count: number of readings
    std::optional<std::filesystem::path> output; // --output: the Prometheus export's file
    bool terminal = false;                       // stdout is a terminal: redraw in place
    bool failOnAlarm = false;                    // --fail-on-alarm: exit 3 on any alarm
    BusLock bus; // each reading's lock: the back end's mutex, --bus-lock-timeout
};

// The readings in text or JSON; exit status 1 when a reading failed, else with failOnAlarm
// kExitAlarm when a reading had a channel in alarm. A reading that could not get the ISA-bus
// mutex shows only its error.
int RunRead(Device& device, const ReadOptions& options, std::ostream& out, std::ostream& err);

} // namespace kwotarv

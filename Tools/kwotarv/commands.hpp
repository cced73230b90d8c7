// The device commands of kwotarv: read, info and ioctl. Each returns the tool's exit status.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>

#include "backend.hpp"
#include "report.hpp"

namespace kwotarv {

struct ReadOptions {
    bool json = false;
    std::optional<double> watchSeconds; // --watch: repeat with this pause
    std::optional<uint64_t> count;      // --count: number of readings
    bool terminal = false;              // stdout is a terminal: redraw in place
};

// Every channel with its configured name; repeated with --watch/--count.
int RunRead(Device& device, const ReadOptions& options, std::ostream& out, std::ostream& err);

// The description, the voltage list, the decoded info block and the published values.
int RunInfo(Device& device, Backend& backend, bool json, std::ostream& out, std::ostream& err);

// One raw request.
int RunIoctl(Device& device, const RawRequest& request, bool json, std::ostream& out);

// Runs a command on a fresh back end and ends the session as every command does: a ToolError
// becomes its message and exit status, and a session that does not end clean (the simulator's
// leftovers and faults) turns success into a failure.
int WithBackend(const std::function<std::unique_ptr<Backend>()>& makeBackend,
                const std::function<int(Backend&)>& command);

} // namespace kwotarv

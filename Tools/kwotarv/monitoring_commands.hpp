// The command-line side of fleet monitoring: `serve`, `service` (Windows) and read's
// --format/--output, added to the tool's command line and run from here.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "backend.hpp"
#include "serve.hpp"

namespace kwotarv {

struct MonitoringCommandLine {
    CLI::App* serve = nullptr;
    ServeOptions serveOptions;
    std::string format = "text";
    CLI::Option* formatOption = nullptr;
    std::string output;
    CLI::Option* outputOption = nullptr;
#if defined(_WIN32)
    CLI::App* service = nullptr;
    CLI::App* serviceInstall = nullptr;
    CLI::App* serviceUninstall = nullptr;
    CLI::App* serviceRun = nullptr;
#endif
};

// Adds the options and subcommands to the tool's command line.
void AddMonitoringCommands(CLI::App& app, MonitoringCommandLine& cli);

// True when the command line asks for serve or service (they are not readings).
bool MonitoringCommandParsed(const MonitoringCommandLine& cli);

// The read options the main command line parsed.
struct ReadRequest {
    bool reading = false; // the read command (explicit or by default)
    bool json = false;
    std::optional<double> watchSeconds;
    std::optional<uint64_t> count;
};

// Runs serve, service, or a read with --format prometheus, with a back end from
// `makeBackend`; nullopt when the command line asks for none of them (a read in text or
// JSON, which main runs). Throws ToolError for usage errors.
std::optional<int>
RunMonitoringCommand(MonitoringCommandLine& cli, const ReadRequest& read,
                     const std::function<std::unique_ptr<Backend>()>& makeBackend);

} // namespace kwotarv

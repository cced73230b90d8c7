// The tool's command line: which command to run and its one options structure, parsed and
// checked before anything runs.
#pragma once

#include <optional>
#include <variant>

#include "commands/info.hpp"
#include "commands/ioctl.hpp"
#include "commands/read.hpp"
#include "serve/serve.hpp"

#if !defined(_WIN32)
#include "backends/simulator_options.hpp"
#include "commands/check.hpp"
#endif

namespace kwotarv {

enum class Command {
    Read, // the default
    Info,
    Ioctl,
    Serve,
#if defined(_WIN32)
    ServiceInstall,
    ServiceUninstall,
    ServiceRun,
#else
    Check,
#endif
};

struct CommandLine {
    Command command = Command::Read;
    ReadOptions read;
    InfoOptions info;
    IoctlOptions ioctl;
    ServeOptions serve; // serve, and the service's installation and run
#if !defined(_WIN32)
    CheckOptions check;
    SimulatorOptions simulator; // every command
#endif
};

// The command line of `argv`, or the exit status when there is nothing to run: help was asked
// for (0) or CLI11 refused the command line (2, after printing why). Throws ToolError
// (kExitUsage) for options that contradict each other or values the command cannot use.
std::variant<CommandLine, int> ParseCommandLine(int argc, char** argv);

} // namespace kwotarv

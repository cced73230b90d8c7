// The Linux back end: the device of a simulated machine built from a board description.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "backend.hpp"
#include "board/board.hpp"

namespace kwotarv {

// The simulator options every command accepts.
struct SimulatorOptions {
    std::optional<std::filesystem::path> board;       // --board DIR (default: the demo board)
    std::optional<std::filesystem::path> firmware;    // --firmware FILE
    std::optional<std::filesystem::path> registry;    // --registry FILE
    std::optional<std::filesystem::path> tracePorts;  // --trace-ports FILE
    std::optional<std::filesystem::path> registryOut; // --registry-out FILE
    bool debugOutput = false;                         // --debug-output
};

// The board the options describe. Throws ToolError (usage) when it cannot be used.
sim::machine::Board ResolveBoard(const SimulatorOptions& options);

// Throws ToolError (usage) when --trace-ports or --registry-out names a file that cannot be
// written, before anything runs.
void CheckOutputFiles(const SimulatorOptions& options);

// The simulated machine of the options (their output files checked first).
std::unique_ptr<Backend> MakeSimulatorBackend(const SimulatorOptions& options);

// The simulated device's removal from its bus and its return (through the PnP manager), for
// seeing what a long-running client does meanwhile.
class HotPlug {
  public:
    virtual ~HotPlug() = default;
    virtual void Unplug() = 0;
    virtual void Replug() = 0;
};
// The hot-plug side of a simulator back end; nullptr for any other.
HotPlug* FindHotPlug(Backend& backend);

// Writes the registry of the simulated machine (the service key and below) to `file`.
void WriteRegistry(const std::filesystem::path& file, const std::string& text);

// `kwotarv check`: lints the board's configuration; `chip` names another chip to check for.
int RunCheck(const SimulatorOptions& options, const std::optional<std::string>& chip, bool json,
             std::ostream& out, std::ostream& err);

} // namespace kwotarv

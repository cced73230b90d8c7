// The Linux back end: the device of a simulated machine built from a board description.
#pragma once

#include <filesystem>
#include <memory>
#include <ostream>
#include <string>

#include "backends/backend.hpp"
#include "backends/simulator_options.hpp"
#include "board/board.hpp"

namespace kwotarv {

// The board the options describe. Throws ToolError (usage) when it cannot be used.
sim::machine::Board ResolveBoard(const SimulatorOptions& options);

// Throws ToolError (usage) when --trace-ports or --registry-out names a file that cannot be
// written, before anything runs.
void CheckOutputFiles(const SimulatorOptions& options);

// The simulated machine of the options (their output files checked first).
std::unique_ptr<Backend> MakeSimulatorBackend(const SimulatorOptions& options);

// Writes the registry of the simulated machine (the service key and below) to `file`.
void WriteRegistry(const std::filesystem::path& file, const std::string& text);

} // namespace kwotarv

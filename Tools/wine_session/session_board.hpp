// The board of a Wine session, resolved from the same options and with the same messages as
// `kwotarv --board DIR --firmware FILE --registry FILE`, written as the files the replacement
// HAL and the launcher read:
//   board.json     the board's hardware (the built-in demo board's without --board)
//   firmware.bin   the 64 KiB F-segment the board's firmware description gives
//   registry.reg   the registry configuration to import (absent when the board has none)
#pragma once

#include <filesystem>

#include "backends/simulator_backend.hpp"

namespace kwotarv {

// Throws ToolError (usage) when the board cannot be used, as the simulator build does.
void WriteSessionBoard(const SimulatorOptions& options, const std::filesystem::path& directory);

} // namespace kwotarv

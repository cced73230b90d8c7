// Puts a board description's hardware onto a simulated machine: the Super I/O chip on the port
// bus, the processor's thermal sensor, the northbridge function and the firmware image. Used by
// the simulated machine and by the replacement HAL that runs the real image under Wine.
#pragma once

#include <vector>

#include "hardware/hardware.hpp"
#include "board/board.hpp"

namespace sim::machine {

// Installs everything but the firmware image; returns the installed chip (nullptr for a board
// without one).
hw::SuperIo* InstallBoardDevices(const Board& board, hw::Hardware& hardware);

// InstallBoardDevices and the board's firmware image. Throws BoardError when the firmware file
// is unusable.
hw::SuperIo* InstallBoardHardware(const Board& board, hw::Hardware& hardware);

} // namespace sim::machine

// The Windows back end: the driver's device opened by its symbolic link.
#pragma once

#include <memory>

#include "backend.hpp"

namespace kwotarv {

std::unique_ptr<Backend> MakeDeviceBackend();

// UTF-8 output and, where the console supports it, ANSI control sequences for --watch.
void PrepareWindowsConsole();
// True when stdout is a console that takes the sequences that redraw a reading in place.
bool WindowsConsoleIsTerminal();

} // namespace kwotarv

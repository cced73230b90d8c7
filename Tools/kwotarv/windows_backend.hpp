// The Windows back end: the driver's device opened by its symbolic link.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "backend.hpp"

namespace kwotarv {

std::unique_ptr<Backend> MakeDeviceBackend();

// The system's text for a Win32 error code, with the code ("Access is denied (error 5)").
std::string SystemErrorText(uint32_t error);

// UTF-8 output and, where the console supports it, ANSI control sequences for --watch.
void PrepareWindowsConsole();
// True when stdout is a console that takes the sequences that redraw a reading in place.
bool WindowsConsoleIsTerminal();

} // namespace kwotarv

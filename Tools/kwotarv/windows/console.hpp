// The Windows console as the tool uses it: UTF-8 output and, where the console supports them,
// the ANSI control sequences with which --watch redraws a reading in place.
#pragma once

namespace kwotarv {

// Switches the console to UTF-8 and, where it can, to virtual-terminal processing.
void PrepareWindowsConsole();
// True when stdout is a console that takes the sequences that redraw a reading in place.
bool WindowsConsoleIsTerminal();

} // namespace kwotarv

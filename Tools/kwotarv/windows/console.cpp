// The Windows console of the tool.
#include "windows/console.hpp"

#include <windows.h>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace kwotarv {

namespace {

bool gVirtualTerminal = false;

} // namespace

void PrepareWindowsConsole()
{
    SetConsoleOutputCP(CP_UTF8);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode))
        gVirtualTerminal = SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

bool WindowsConsoleIsTerminal()
{
    return gVirtualTerminal;
}

} // namespace kwotarv

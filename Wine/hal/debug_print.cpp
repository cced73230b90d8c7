// The driver's DbgPrint into debug.txt.
#include "debug_print.hpp"

#include <cstdarg>
#include <string>

#include "kernel/debug/debug_format.hpp"
#include "session.hpp"

namespace kwohal {

extern "C" unsigned long __cdecl SimulatedDbgPrint(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = sim::debug::FormatKernelText(format, args);
    va_end(args);
    Debug(text);
    return 0; // STATUS_SUCCESS
}

} // namespace kwohal

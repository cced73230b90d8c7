// DbgPrint: formats like the kernel's debug print (debug_format.hpp) and keeps the output of every
// call for tests.
#include "kernel/debug/debug.hpp"
#include "kernel/debug/debug_format.hpp"
#include "kernel/rtl/text.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "sim_ntddk.h"

namespace sim::debug {
namespace {
std::mutex gLock;
std::vector<std::string> gLines;
bool gEcho = false;
} // namespace

std::vector<std::string> Lines()
{
    std::lock_guard guard(gLock);
    return gLines;
}

void Clear()
{
    std::lock_guard guard(gLock);
    gLines.clear();
}

void SetEcho(bool echo)
{
    std::lock_guard guard(gLock);
    gEcho = echo;
}

} // namespace sim::debug

ULONG DbgPrint(PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    std::string text = sim::debug::FormatKernelText(Format, args);
    va_end(args);
    std::lock_guard guard(sim::debug::gLock);
    if (sim::debug::gEcho)
        std::fputs(text.c_str(), stderr);
    sim::debug::gLines.push_back(std::move(text));
    return STATUS_SUCCESS;
}

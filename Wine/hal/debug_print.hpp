// DbgPrint for the driver under Wine: formatted as the kernel (and the host build) formats it and
// written to the session's debug.txt. Wine's own DbgPrint only feeds Wine's debug channel.
#pragma once

namespace kwohal {

extern "C" unsigned long __cdecl SimulatedDbgPrint(const char* format, ...);

} // namespace kwohal

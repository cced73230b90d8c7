// Formats a kernel debug print (DbgPrint's format and arguments) as the kernel does.
#pragma once

#include <cstdarg>
#include <string>

namespace sim::debug {

std::string FormatKernelText(const char* format, va_list args);

} // namespace sim::debug

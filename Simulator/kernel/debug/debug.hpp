// Captured kernel debugger output.
#pragma once

#include <string>
#include <vector>

namespace sim::debug {

// The text of every DbgPrint call since the last Clear(), formatted as the kernel formats it.
std::vector<std::string> Lines();
void Clear();
// When set, DbgPrint also writes each line to stderr.
void SetEcho(bool echo);

} // namespace sim::debug

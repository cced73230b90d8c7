// Runs the kwotarv program as a separate process, as a user or a script would.
#pragma once

#include <string>
#include <vector>

#include "process.hpp"

namespace tooltest {

ToolRun RunTool(const std::vector<std::string>& args);

// Absolute paths of the sample boards and of the test data.
std::string BoardDir(const std::string& name);
std::string DataDir(const std::string& name);
// The demo board with limits on +12V, +5V and the System temperature, every channel in range
// (Tests/alerts/data/limits); its +12V rail reads 12.98 V, too high, after kRailHigh.
std::string LimitsBoardDir();
inline constexpr const char* kRailHigh = R"({"0x0021": "0xF6"})";

} // namespace tooltest

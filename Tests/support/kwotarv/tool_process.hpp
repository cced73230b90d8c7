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

} // namespace tooltest

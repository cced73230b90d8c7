// A command's session on a back end, ended the same way by every command.
#pragma once

#include <functional>
#include <memory>

#include "backends/backend.hpp"

namespace kwotarv {

using BackendFactory = std::function<std::unique_ptr<Backend>()>;

// Runs a command on a fresh back end and ends the session as every command does: a ToolError
// becomes its message and exit status, and a session that does not end clean (the simulator's
// leftovers and faults) turns success into a failure.
int WithBackend(const BackendFactory& makeBackend, const std::function<int(Backend&)>& command);

} // namespace kwotarv

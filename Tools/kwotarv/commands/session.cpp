// How every command's session ends.
#include "commands/session.hpp"

#include <iostream>

namespace kwotarv {

int WithBackend(const BackendFactory& makeBackend, const std::function<int(Backend&)>& command)
{
    std::unique_ptr<Backend> backend = makeBackend();
    int status = kExitSuccess;
    try {
        status = command(*backend);
    } catch (const ToolError& error) {
        std::cerr << "kwotarv: " << error.what() << "\n";
        status = error.ExitCode();
    }
    std::cout.flush();
    const bool clean = backend->Finish(std::cerr);
    return (status == kExitSuccess && !clean) ? kExitFailure : status;
}

} // namespace kwotarv

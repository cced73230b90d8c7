// How a failure ends the program.
#include "cli/exit_status.hpp"

#include <iostream>

namespace kwotarv {

int RunReportingFailures(const std::function<int()>& work)
{
    try {
        return work();
    } catch (const ToolError& error) {
        std::cerr << "kwotarv: " << error.what() << "\n";
        return error.ExitCode();
    } catch (const std::exception& error) {
        std::cerr << "kwotarv: unexpected failure: " << error.what() << "\n";
        return kExitFailure;
    }
}

} // namespace kwotarv

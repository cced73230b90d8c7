// The tool's exit statuses, and the failure that ends a command with one of them.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>

namespace kwotarv {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1; // the device did not start, or a request failed
inline constexpr int kExitUsage = 2;   // the command line or its files are wrong
inline constexpr int kExitAlarm = 3;   // --fail-on-alarm: a channel was out of range

// A failure that ends the command; the message says what failed and what to do.
class ToolError : public std::runtime_error {
  public:
    ToolError(const std::string& what, int exitCode) : std::runtime_error(what), exitCode_(exitCode)
    {
    }
    int ExitCode() const { return exitCode_; }

  private:
    int exitCode_;
};

// Runs a program's work and returns its exit status; a ToolError ends it with its message on
// stderr ("kwotarv: ...") and its exit status, any other exception as an unexpected failure.
int RunReportingFailures(const std::function<int()>& work);

} // namespace kwotarv

// Where the tool's requests go: the real device on Windows, a simulated machine on Linux. Both
// back ends open the device, tell the values the driver published, and end the session.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "device.hpp"

namespace kwotarv {

// Exit statuses of the tool.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1; // the device did not start, or a request failed
inline constexpr int kExitUsage = 2;   // the command line or its files are wrong

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

// A registry value as the driver wrote it (REG_* type and raw data).
struct PublishedValue {
    std::string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

class Backend {
  public:
    virtual ~Backend() = default;
    // Opens the device; throws ToolError (kExitFailure) when it is not there. After Close() it
    // opens the device again, which may have gone or come back meanwhile.
    virtual Device& Open() = 0;
    // Closes the handle Open() gave, so that a long-running client does not keep the device
    // from being removed or disabled between its readings. A back end whose device needs no
    // closing keeps the default.
    virtual void Close() {}
    // "ChipsetType", "ChipDesc", "VoltageList" and "InterfaceName" as found under the service
    // key; nullopt when the registry cannot be read.
    virtual std::optional<std::vector<PublishedValue>> PublishedValues() = 0;
    // Ends the session and reports on `err` whatever it left behind; false when that is
    // something the run must fail for.
    virtual bool Finish(std::ostream& err) = 0;
};

// Waits between two readings of --watch; returns early once a stop was requested.
void SleepSeconds(double seconds);

// Ctrl+C during --watch ends the loop after the current reading, so that the session still ends
// properly (on the simulator: removal, unload and the report of what was left behind).
void InstallStopHandler();
bool StopRequested();
// Asks the running loop (--watch, serve) to end, as Ctrl+C does.
void RequestStop();

} // namespace kwotarv

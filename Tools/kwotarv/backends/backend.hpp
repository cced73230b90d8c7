// Where the tool's requests go: the real device on Windows, a simulated machine on Linux. Both
// back ends open the device, tell the values the driver published, and end the session.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/exit_status.hpp"
#include "client/bus_mutex.hpp"
#include "client/device.hpp"

namespace kwotarv {

// The registry value types of PublishedValue::type (REG_*).
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegExpandSz = 2;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegMultiSz = 7;

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
    // What a long-running command (serve) runs before each reading, under its reading lock, so
    // that the device can be removed and brought back meanwhile; empty for a back end whose
    // device cannot be (the default).
    virtual std::function<void()> HotPlugHook() { return {}; }
    // The ISA-bus mutex shared with other monitoring tools, which reading requests are sent
    // under; nullptr for a back end with no other tool beside it (the default).
    virtual BusMutex* IsaBusMutex() { return nullptr; }
};

} // namespace kwotarv

// The driver's requests as a user-mode client uses them: the description, the info block, and
// the channel names and values of each group, whose sizes the driver tells on a first short
// request.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "client/bus_mutex.hpp"
#include "client/channel_state.hpp"
#include "client/chip_table.hpp"
#include "client/device.hpp"

namespace kwotarv {

// A request that ended with a status the client cannot use.
class RequestError : public std::runtime_error {
  public:
    RequestError(const std::string& what, uint32_t status)
        : std::runtime_error(what), status_(status)
    {
    }
    uint32_t Status() const { return status_; }

  private:
    uint32_t status_;
};

struct Description {
    std::string text;        // ChipDesc
    std::string voltageList; // VoltageList, as stored (names each followed by a space)
};

struct VoltageReading {
    std::string name;
    uint32_t hundredths = 0;
    ChannelLimits limits;
    ChannelState state = ChannelState::Ok;
};

struct TemperatureReading {
    std::string name;
    // Tenths of a degree; nullopt for a channel after the second, which the driver never reads.
    std::optional<int32_t> tenths;
    ChannelLimits limits;
    ChannelState state = ChannelState::Ok;
};

struct FanReading {
    std::string name;
    uint32_t count = 0;
    std::optional<uint32_t> rpm;
    ChannelLimits limits;
    ChannelState state = ChannelState::Ok;
};

// The driver's fixed-point units: volts in hundredths, degrees Celsius in tenths.
inline constexpr double kHundredthsPerVolt = 100.0;
inline constexpr double kTenthsPerDegree = 10.0;
inline constexpr const char* kVoltUnit = "V";
inline constexpr const char* kCelsiusUnit = "\u00B0C";

inline double Volts(const VoltageReading& v)
{
    return v.hundredths / kHundredthsPerVolt;
}
// nullopt for a temperature the driver does not read.
inline std::optional<double> Celsius(const TemperatureReading& t)
{
    return t.tenths ? std::optional<double>(*t.tenths / kTenthsPerDegree) : std::nullopt;
}

struct Readings {
    std::optional<std::string> description;
    std::vector<VoltageReading> voltages;
    std::vector<TemperatureReading> temperatures;
    std::vector<FanReading> fans;
    // What failed; the groups concerned stay empty.
    std::vector<std::string> errors;
    // The ISA-bus mutex was not released in time: nothing was sent.
    bool busLockTimedOut = false;
};

// Channels whose reading is out of range or whose fan stopped.
size_t AlarmCount(const Readings& readings);

// Channels the temperature readings fill: the first and the second of the list.
inline constexpr size_t kReadTemperatureChannels = 2;

class HwmClient {
  public:
    // `bus` is the mutex ReadAll holds around its requests.
    explicit HwmClient(Device& device, BusLock bus = {}) : device_(device), bus_(bus) {}

    Description GetDescription();
    // The info block, byte for byte.
    std::vector<uint8_t> GetChipInfo();
    // The names of a channel group; empty when the group has no channels.
    std::vector<std::string> GetChannelNames(uint32_t selector);
    // The values of a channel group; empty when the group has no channels.
    std::vector<uint32_t> GetChannelValues(uint32_t selector);
    // The configured limits of a channel group, one per channel; empty when the group has no
    // channels or the driver does not know the request.
    std::vector<ChannelLimits> GetChannelLimits(uint32_t selector);
    // Description and every group, each failure recorded in Readings::errors. The description,
    // the names and the reply sizes are asked for once and kept: later calls send only the
    // values requests, one per group with channels, until a request fails (the device may have
    // changed), when the next call asks for everything again. The requests are one batch
    // under the ISA-bus mutex; when it cannot be had, nothing is sent and the readings carry
    // the error with busLockTimedOut set.
    Readings ReadAll();
    // ReadAll for one group (HWM_SELECT_VOLTAGES, _TEMPERATURES or _FANS): once the layout is
    // known, only that group's values request is sent. Errors of the other groups, met while
    // learning the layout, are reported too.
    Readings ReadGroup(uint32_t selector);

  private:
    // What ReadAll keeps between readings.
    struct Group {
        uint32_t selector = 0;
        std::vector<std::string> names;
        std::vector<ChannelLimits> limits; // as many as names, or none
        uint32_t valuesLength = 0;         // bytes of the values reply
    };
    struct Layout {
        std::string description;
        const ChipRow* chip = nullptr; // nullptr for a description of no known chip
        std::vector<Group> groups;     // those with channels
    };
    // Reads everything and, when every request succeeded, keeps the layout.
    Readings ReadAndLearn();
    // The values of a kept group with one request of the known size.
    std::vector<uint32_t> ReadKnownValues(const Group& group);

    // A reply whose size the driver announces: a first request with a 4-byte output buffer is
    // answered with STATUS_BUFFER_OVERFLOW and the size needed in those 4 bytes (or with the
    // whole reply when 4 bytes are enough); the second request asks for exactly that size.
    // nullopt when `emptyStatus` is given and the first request ended with it.
    std::optional<std::vector<uint8_t>> FetchSized(uint32_t code, std::span<const uint8_t> input,
                                                   const std::string& what,
                                                   std::optional<uint32_t> emptyStatus);

    // One batch under the ISA-bus mutex: every group, or only the one selected.
    Readings ReadLocked(std::optional<uint32_t> only);
    Readings ReadUnlocked(std::optional<uint32_t> only);

    Device& device_;
    BusLock bus_;
    std::optional<Layout> layout_;
};

} // namespace kwotarv

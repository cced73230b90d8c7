// Requests as a user-mode client of the driver sends them.
#include "client/hwm_client.hpp"

#include <algorithm>

#include "kwotarv_public.h"
#include "client/protocol_names.hpp"
#include "client/text.hpp"

namespace kwotarv {

namespace {

// A reply larger than this is not one of the driver's: the largest is the 800-byte info block
// or 64 bytes per channel name.
constexpr uint32_t kLargestReply = 1u << 20;

std::string Failure(const std::string& what, uint32_t status)
{
    std::string name = StatusName(status);
    return what + " failed with " + HexStatus(status) + (name.empty() ? "" : " " + name);
}

std::vector<uint8_t> SelectorInput(uint32_t selector)
{
    return {static_cast<uint8_t>(selector), static_cast<uint8_t>(selector >> 8),
            static_cast<uint8_t>(selector >> 16), static_cast<uint8_t>(selector >> 24)};
}

std::vector<uint32_t> ValuesFromBytes(const std::vector<uint8_t>& bytes, uint32_t selector)
{
    if (bytes.size() % 4 != 0)
        throw RequestError("IOCTL_HWM_GET_CHANNEL_VALUES (" + SelectorName(selector) +
                               ") returned " + std::to_string(bytes.size()) +
                               " bytes, not a whole number of 32-bit values",
                           kStatusSuccess);
    std::vector<uint32_t> values;
    for (size_t offset = 0; offset < bytes.size(); offset += 4)
        values.push_back(ReadLe32(bytes, offset));
    return values;
}

// Pairs names with values (and limits, where the driver gave them) into the group's readings,
// each with its verdict; a count mismatch is a driver fault worth telling.
void AddGroup(Readings& readings, const ChipRow* chip, uint32_t selector,
              const std::vector<std::string>& names, const std::vector<ChannelLimits>& limits,
              const std::vector<uint32_t>& values)
{
    if (values.size() != names.size())
        readings.errors.push_back("the driver returned " + std::to_string(names.size()) + " " +
                                  SelectorName(selector) + " names but " +
                                  std::to_string(values.size()) + " values");
    for (size_t i = 0; i < std::min(names.size(), values.size()); ++i) {
        const ChannelLimits range = i < limits.size() ? limits[i] : ChannelLimits{};
        if (selector == HWM_SELECT_VOLTAGES) {
            readings.voltages.push_back({names[i], values[i], range, Judge(values[i], range)});
        } else if (selector == HWM_SELECT_TEMPERATURES) {
            std::optional<int32_t> tenths;
            if (i < kReadTemperatureChannels)
                tenths = static_cast<int32_t>(values[i]);
            readings.temperatures.push_back(
                {names[i], tenths, range, tenths ? Judge(*tenths, range) : ChannelState::Ok});
        } else {
            readings.fans.push_back({names[i], values[i], FanRpm(chip, values[i]), range,
                                     JudgeFan(chip, values[i], range)});
        }
    }
}

constexpr uint32_t kReadSelectors[] = {HWM_SELECT_VOLTAGES, HWM_SELECT_TEMPERATURES,
                                       HWM_SELECT_FANS};

} // namespace

Description HwmClient::GetDescription()
{
    Reply reply = device_.Control(IOCTL_HWM_GET_CHIP_DESC, {}, HWM_CHIP_DESC_REPLY_SIZE);
    if (reply.status != kStatusSuccess)
        throw RequestError(Failure("IOCTL_HWM_GET_CHIP_DESC", reply.status), reply.status);
    if (reply.output.size() != HWM_CHIP_DESC_REPLY_SIZE)
        throw RequestError("IOCTL_HWM_GET_CHIP_DESC returned " +
                               std::to_string(reply.output.size()) + " bytes instead of " +
                               std::to_string(HWM_CHIP_DESC_REPLY_SIZE),
                           reply.status);
    std::span<const uint8_t> bytes(reply.output);
    return {Utf16LeToUtf8(bytes.first(HWM_CHIP_DESC_SIZE)),
            Utf16LeToUtf8(bytes.subspan(HWM_CHIP_DESC_SIZE, HWM_VOLTAGE_LIST_SIZE))};
}

std::optional<std::vector<uint8_t>> HwmClient::FetchSized(uint32_t code,
                                                          std::span<const uint8_t> input,
                                                          const std::string& what,
                                                          std::optional<uint32_t> emptyStatus)
{
    constexpr uint32_t kProbeLength = 4;
    Reply probe = device_.Control(code, input, kProbeLength);
    if (emptyStatus && probe.status == *emptyStatus)
        return std::nullopt;
    if (probe.status == kStatusSuccess)
        return probe.output; // four bytes were the whole reply
    if (probe.status != kStatusBufferOverflow)
        throw RequestError(Failure(what, probe.status), probe.status);
    if (probe.output.size() < kProbeLength)
        throw RequestError(what + " reported STATUS_BUFFER_OVERFLOW without the size it needs (" +
                               std::to_string(probe.output.size()) + " bytes returned)",
                           probe.status);
    const uint32_t needed = ReadLe32(probe.output, 0);
    if (needed <= kProbeLength || needed > kLargestReply)
        throw RequestError(what + " announced an implausible reply size of " +
                               std::to_string(needed) + " bytes",
                           probe.status);

    Reply reply = device_.Control(code, input, needed);
    if (reply.status != kStatusSuccess)
        throw RequestError(Failure(what, reply.status), reply.status);
    if (reply.output.size() != needed)
        throw RequestError(what + " returned " + std::to_string(reply.output.size()) +
                               " bytes after announcing " + std::to_string(needed),
                           reply.status);
    return reply.output;
}

std::vector<uint8_t> HwmClient::GetChipInfo()
{
    return *FetchSized(IOCTL_HWM_GET_CHIP_INFO, {}, "IOCTL_HWM_GET_CHIP_INFO", std::nullopt);
}

std::vector<std::string> HwmClient::GetChannelNames(uint32_t selector)
{
    const std::vector<uint8_t> input = SelectorInput(selector);
    // A group without channels is answered with STATUS_INVALID_PARAMETER.
    auto bytes = FetchSized(IOCTL_HWM_GET_CHANNEL_NAMES, input,
                            "IOCTL_HWM_GET_CHANNEL_NAMES (" + SelectorName(selector) + ")",
                            kStatusInvalidParameter);
    std::vector<std::string> names;
    if (!bytes)
        return names;
    if (bytes->size() % HWM_CHANNEL_NAME_SLOT != 0)
        throw RequestError("IOCTL_HWM_GET_CHANNEL_NAMES (" + SelectorName(selector) +
                               ") returned " + std::to_string(bytes->size()) +
                               " bytes, not a whole number of 64-byte names",
                           kStatusSuccess);
    std::span<const uint8_t> all(*bytes);
    for (size_t offset = 0; offset < all.size(); offset += HWM_CHANNEL_NAME_SLOT)
        names.push_back(Utf16LeToUtf8(all.subspan(offset, HWM_CHANNEL_NAME_SLOT)));
    return names;
}

std::vector<uint32_t> HwmClient::GetChannelValues(uint32_t selector)
{
    const std::vector<uint8_t> input = SelectorInput(selector);
    auto bytes = FetchSized(IOCTL_HWM_GET_CHANNEL_VALUES, input,
                            "IOCTL_HWM_GET_CHANNEL_VALUES (" + SelectorName(selector) + ")",
                            kStatusInvalidParameter);
    return bytes ? ValuesFromBytes(*bytes, selector) : std::vector<uint32_t>{};
}

std::vector<ChannelLimits> HwmClient::GetChannelLimits(uint32_t selector)
{
    const std::string what = "IOCTL_HWM_GET_CHANNEL_LIMITS (" + SelectorName(selector) + ")";
    // An empty group, and a driver that predates the request, answer STATUS_INVALID_PARAMETER.
    auto bytes = FetchSized(IOCTL_HWM_GET_CHANNEL_LIMITS, SelectorInput(selector), what,
                            kStatusInvalidParameter);
    std::vector<ChannelLimits> limits;
    if (!bytes)
        return limits;
    if (bytes->size() % sizeof(HWM_CHANNEL_LIMITS) != 0)
        throw RequestError(what + " returned " + std::to_string(bytes->size()) +
                               " bytes, not a whole number of limit pairs",
                           kStatusSuccess);
    for (size_t offset = 0; offset < bytes->size(); offset += sizeof(HWM_CHANNEL_LIMITS))
        limits.push_back(LimitsFromDriver(static_cast<int32_t>(ReadLe32(*bytes, offset)),
                                          static_cast<int32_t>(ReadLe32(*bytes, offset + 4))));
    return limits;
}

size_t AlarmCount(const Readings& readings)
{
    size_t alarms = 0;
    for (const auto& v : readings.voltages)
        alarms += InAlarm(v.state);
    for (const auto& t : readings.temperatures)
        alarms += InAlarm(t.state);
    for (const auto& f : readings.fans)
        alarms += InAlarm(f.state);
    return alarms;
}

Readings HwmClient::ReadAll()
{
    return ReadLocked(std::nullopt);
}

Readings HwmClient::ReadGroup(uint32_t selector)
{
    return ReadLocked(selector);
}

Readings HwmClient::ReadLocked(std::optional<uint32_t> only)
{
    try {
        BusLockGuard guard(bus_);
        return ReadUnlocked(only);
    } catch (const BusLockTimeout& timeout) {
        Readings readings;
        readings.errors.push_back(timeout.what());
        readings.busLockTimedOut = true;
        return readings;
    }
}

Readings HwmClient::ReadUnlocked(std::optional<uint32_t> only)
{
    if (!layout_) {
        Readings readings = ReadAndLearn();
        if (only && *only != HWM_SELECT_VOLTAGES)
            readings.voltages.clear();
        if (only && *only != HWM_SELECT_TEMPERATURES)
            readings.temperatures.clear();
        if (only && *only != HWM_SELECT_FANS)
            readings.fans.clear();
        return readings;
    }
    Readings readings;
    readings.description = layout_->description;
    for (const Group& group : layout_->groups) {
        if (only && group.selector != *only)
            continue;
        try {
            AddGroup(readings, layout_->chip, group.selector, group.names, group.limits,
                     ReadKnownValues(group));
        } catch (const RequestError& error) {
            readings.errors.push_back(error.what());
        }
    }
    if (!readings.errors.empty())
        layout_.reset();
    return readings;
}

Readings HwmClient::ReadAndLearn()
{
    Readings readings;
    Layout layout;
    try {
        layout.description = GetDescription().text;
        layout.chip = ChipByDescription(layout.description);
        readings.description = layout.description;
    } catch (const RequestError& error) {
        readings.errors.push_back(error.what());
    }
    for (uint32_t selector : kReadSelectors) {
        try {
            Group group{selector, GetChannelNames(selector), {}, 0};
            if (group.names.empty())
                continue;
            group.limits = GetChannelLimits(selector);
            auto bytes = FetchSized(IOCTL_HWM_GET_CHANNEL_VALUES, SelectorInput(selector),
                                    "IOCTL_HWM_GET_CHANNEL_VALUES (" + SelectorName(selector) + ")",
                                    kStatusInvalidParameter);
            const std::vector<uint32_t> values =
                bytes ? ValuesFromBytes(*bytes, selector) : std::vector<uint32_t>{};
            group.valuesLength = static_cast<uint32_t>(values.size() * 4);
            AddGroup(readings, layout.chip, selector, group.names, group.limits, values);
            if (group.valuesLength != 0)
                layout.groups.push_back(std::move(group));
        } catch (const RequestError& error) {
            readings.errors.push_back(error.what());
        }
    }
    if (readings.errors.empty())
        layout_ = std::move(layout);
    return readings;
}

std::vector<uint32_t> HwmClient::ReadKnownValues(const Group& group)
{
    const std::string what = "IOCTL_HWM_GET_CHANNEL_VALUES (" + SelectorName(group.selector) + ")";
    Reply reply = device_.Control(IOCTL_HWM_GET_CHANNEL_VALUES, SelectorInput(group.selector),
                                  group.valuesLength);
    if (reply.status != kStatusSuccess)
        throw RequestError(Failure(what, reply.status), reply.status);
    if (reply.output.size() != group.valuesLength)
        throw RequestError(what + " returned " + std::to_string(reply.output.size()) +
                               " bytes instead of " + std::to_string(group.valuesLength),
                           reply.status);
    return ValuesFromBytes(reply.output, group.selector);
}

} // namespace kwotarv

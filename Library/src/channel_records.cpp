// Readings become kwo_channel records in the units `kwotarv read --json` shows: volts, degrees
// Celsius, fan counts, with the limits in the same units and KWO_NO_LIMIT for an open side.
#include "channel_records.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

namespace kwolib {

// The records are the same on every compiler: no padding, so ctypes and P/Invoke declarations
// of the fields in order match them.
static_assert(sizeof(kwo_channel) == 160 && offsetof(kwo_channel, value) == 128);
static_assert(sizeof(kwo_info_group) == 208 && sizeof(kwo_chip_info) == 1424);

namespace {

// Copies UTF-8 text into a fixed field, cut (at a character boundary) to fit with its NUL.
template <size_t N> void CopyText(char (&field)[N], const std::string& text)
{
    size_t length = std::min(text.size(), N - 1);
    while (length > 0 && length < text.size() && (text[length] & 0xC0) == 0x80)
        --length; // not inside a multi-byte character
    std::memcpy(field, text.data(), length);
    std::memset(field + length, 0, N - length);
}

double Limit(const std::optional<int32_t>& side, double unit)
{
    return side ? *side / unit : KWO_NO_LIMIT;
}

int32_t Alarm(kwotarv::ChannelState state)
{
    switch (state) {
    case kwotarv::ChannelState::Low:
        return KWO_ALARM_LOW;
    case kwotarv::ChannelState::High:
        return KWO_ALARM_HIGH;
    case kwotarv::ChannelState::Stopped:
        return KWO_ALARM_STOPPED;
    case kwotarv::ChannelState::Ok:
        break;
    }
    return KWO_ALARM_NONE;
}

// The record's common part; `unit` divides the driver's integers into the record's units.
template <typename Reading>
kwo_channel Record(const Reading& reading, uint32_t kind, uint32_t index, const char* unitName,
                   double unit)
{
    kwo_channel record{};
    CopyText(record.name, reading.name);
    CopyText(record.unit, unitName);
    record.kind = kind;
    record.index = index;
    record.has_value = 1;
    record.alarm = Alarm(reading.state);
    record.low = Limit(reading.limits.low, unit);
    record.high = Limit(reading.limits.high, unit);
    record.rpm = KWO_NO_RPM;
    return record;
}

} // namespace

std::vector<kwo_channel> ChannelRecords(const kwotarv::Readings& readings)
{
    std::vector<kwo_channel> records;
    uint32_t index = 0;
    for (const auto& v : readings.voltages) {
        kwo_channel record =
            Record(v, KWO_KIND_VOLTAGE, index++, kwotarv::kVoltUnit, kwotarv::kHundredthsPerVolt);
        record.value = kwotarv::Volts(v);
        records.push_back(record);
    }
    index = 0;
    for (const auto& t : readings.temperatures) {
        kwo_channel record = Record(t, KWO_KIND_TEMPERATURE, index++, kwotarv::kCelsiusUnit,
                                    kwotarv::kTenthsPerDegree);
        record.has_value = t.tenths.has_value();
        record.value = kwotarv::Celsius(t).value_or(0.0);
        records.push_back(record);
    }
    index = 0;
    for (const auto& f : readings.fans) {
        kwo_channel record = Record(f, KWO_KIND_FAN, index++, "count", 1.0);
        record.value = f.count;
        record.rpm = f.rpm ? static_cast<double>(*f.rpm) : KWO_NO_RPM;
        records.push_back(record);
    }
    return records;
}

bool ChipInfoRecord(const kwotarv::Description& description, const kwotarv::InfoBlock& block,
                    kwo_chip_info& info)
{
    if (block.groups.size() > KWO_MAX_INFO_GROUPS)
        return false;
    info = kwo_chip_info{};
    CopyText(info.description, description.text);
    CopyText(info.voltage_list, description.voltageList);
    info.block_size = block.size;
    info.group_count = static_cast<uint32_t>(block.groups.size());
    for (size_t i = 0; i < block.groups.size(); ++i) {
        const kwotarv::InfoGroup& group = block.groups[i];
        std::string names;
        for (const std::string& name : group.names)
            names += (names.empty() ? "" : " ") + name;
        info.groups[i].kind = group.kind;
        info.groups[i].attribute = group.attribute;
        info.groups[i].attribute2 = group.attribute2;
        CopyText(info.groups[i].names, names);
    }
    return true;
}

} // namespace kwolib

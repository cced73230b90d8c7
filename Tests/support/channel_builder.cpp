#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "channel_builder.hpp"

namespace kwo::test {

namespace {

PWSTR MakeName(ULONG kind, const ChannelRecord& wanted, ULONG* size)
{
    const SENSOR_KIND_INFO& info = SensorKinds[kind];
    std::u16string text = wanted.name
                              ? *wanted.name
                              : std::u16string(reinterpret_cast<const char16_t*>(info.DefaultName));
    std::vector<char16_t> units(text.begin(), text.end());
    units.push_back(u'\0');
    const ULONG natural = static_cast<ULONG>(units.size() * sizeof(char16_t));
    *size = wanted.nameSize.value_or(natural);

    auto* name = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, *size, info.NameTag));
    if (name == nullptr)
        throw std::runtime_error("name allocation failed");
    std::memset(name, 0, *size);
    std::memcpy(name, units.data(), std::min(*size, natural));
    return name;
}

} // namespace

PSENSOR_CHANNEL_LIST BuildChannelList(ULONG kind, const std::vector<ChannelRecord>& channels,
                                      std::optional<ULONG> capacity)
{
    if (kind >= SENSOR_KIND_COUNT)
        throw std::invalid_argument("sensor kind");
    const ULONG count = static_cast<ULONG>(channels.size());
    const ULONG slots = std::max(capacity.value_or(count), std::max<ULONG>(count, 1));
    const SIZE_T bytes = SENSOR_CHANNEL_LIST_SIZE(slots);

    auto* list = static_cast<PSENSOR_CHANNEL_LIST>(
        ExAllocatePoolWithTag(PagedPool, bytes, SensorKinds[kind].ListTag));
    if (list == nullptr)
        throw std::runtime_error("list allocation failed");
    std::memset(list, 0, bytes);
    list->Capacity = slots;

    for (ULONG i = 0; i < count; ++i) {
        const ChannelRecord& wanted = channels[i];
        SENSOR_CHANNEL& ch = list->Channels[i];
        ch.Name = MakeName(kind, wanted, &ch.NameSize);
        ch.PreferenceOrder = i + 1;
        ch.Number = i;
        ch.RegIndex = wanted.regIndex;
        ch.AltRegIndex = 255;
        ch.R1 = wanted.r1;
        ch.R2 = wanted.r2;
        ch.TjMax = wanted.tjMax;
        ch.Offset = wanted.offset;
        ch.FunctionIndex = wanted.functionIndex;
        ch.LowLimit = wanted.lowLimit;
        ch.HighLimit = wanted.highLimit;
        list->Count = i + 1;
    }
    return list;
}

PSENSOR_CHANNEL_LIST BuildNumberedList(ULONG kind, ULONG count, ULONG regCount,
                                       const std::u16string& prefix)
{
    std::vector<ChannelRecord> records;
    for (ULONG i = 0; i < count; ++i) {
        std::u16string name = prefix;
        for (char c : std::to_string(i))
            name += static_cast<char16_t>(c);
        records.push_back({.name = name, .regIndex = regCount ? i % regCount : 0});
    }
    return BuildChannelList(kind, records);
}

} // namespace kwo::test

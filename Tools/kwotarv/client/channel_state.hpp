// Whether a channel's reading is fine: its configured limits as the driver delivers them and the
// verdict on one reading. Every consumer (read, its JSON, serve's metrics and page, the Windows
// service) takes the verdict from here, so they all say the same.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "client/chip_table.hpp"

namespace kwotarv {

// A channel's safe range in the units of its reading (hundredths of a volt, tenths of a degree,
// the fan's raw count); an absent side has no limit.
struct ChannelLimits {
    std::optional<int32_t> low;
    std::optional<int32_t> high;
    bool Any() const { return low.has_value() || high.has_value(); }
    bool operator==(const ChannelLimits&) const = default;
};

// The limits of one channel from the driver's pair, whose sentinel says "no limit".
ChannelLimits LimitsFromDriver(int32_t low, int32_t high);

enum class ChannelState {
    Ok,      // within its limits, or without limits
    Low,     // below its low limit
    High,    // above its high limit
    Stopped, // a fan whose chip says it stands
};

// "ok", "low", "high" or "stopped".
std::string_view StateName(ChannelState state);
inline bool InAlarm(ChannelState state)
{
    return state != ChannelState::Ok;
}

// The verdict on a reading against its limits.
ChannelState Judge(int64_t value, const ChannelLimits& limits);
// A fan's verdict: stopped when its chip's count tells a standing fan, else by its limits.
ChannelState JudgeFan(const ChipRow* chip, uint32_t count, const ChannelLimits& limits);

} // namespace kwotarv

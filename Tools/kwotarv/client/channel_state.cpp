// Channel limits and the verdict on a reading.
#include "client/channel_state.hpp"

#include "kwotarv_public.h"

namespace kwotarv {

ChannelLimits LimitsFromDriver(int32_t low, int32_t high)
{
    ChannelLimits limits;
    if (low != HWM_LIMIT_NONE)
        limits.low = low;
    if (high != HWM_LIMIT_NONE)
        limits.high = high;
    return limits;
}

std::string_view StateName(ChannelState state)
{
    switch (state) {
    case ChannelState::Ok:
        return "ok";
    case ChannelState::Low:
        return "low";
    case ChannelState::High:
        return "high";
    case ChannelState::Stopped:
        return "stopped";
    }
    return "ok";
}

ChannelState Judge(int64_t value, const ChannelLimits& limits)
{
    if (limits.low && value < *limits.low)
        return ChannelState::Low;
    if (limits.high && value > *limits.high)
        return ChannelState::High;
    return ChannelState::Ok;
}

ChannelState JudgeFan(const ChipRow* chip, uint32_t count, const ChannelLimits& limits)
{
    const std::optional<uint32_t> rpm = FanRpm(chip, count);
    if (rpm && *rpm == 0)
        return ChannelState::Stopped;
    return Judge(count, limits);
}

} // namespace kwotarv

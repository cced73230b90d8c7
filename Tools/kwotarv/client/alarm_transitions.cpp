// Alarm transitions between readings and their text.
#include "client/alarm_transitions.hpp"

#include <algorithm>

#include "output/format.hpp"

namespace kwotarv {

namespace {

std::string Voltage(int64_t hundredths)
{
    return FormatHundredths(static_cast<uint32_t>(hundredths)) + " " + kVoltUnit;
}

std::string Temperature(int64_t tenths)
{
    return FormatTenths(static_cast<int32_t>(tenths)) + " " + kCelsiusUnit;
}

std::string FanValue(const FanReading& fan)
{
    std::string text = "count " + std::to_string(fan.count);
    if (fan.rpm)
        text += " (" + std::to_string(*fan.rpm) + " RPM)";
    return text;
}

// "the low limit 11.40 V" for a reading below or above its limits; empty otherwise.
template <typename Format>
std::string CrossedLimit(ChannelState state, const ChannelLimits& limits, Format format)
{
    if (state == ChannelState::Low && limits.low)
        return "the low limit " + format(*limits.low);
    if (state == ChannelState::High && limits.high)
        return "the high limit " + format(*limits.high);
    return {};
}

void Add(std::vector<ChannelVerdict>& verdicts, ChannelKind kind, const std::string& name,
         ChannelState state, std::string value, std::string limit)
{
    const size_t occurrence =
        std::count_if(verdicts.begin(), verdicts.end(),
                      [&](const ChannelVerdict& v) { return v.kind == kind && v.name == name; });
    verdicts.push_back({kind, name, occurrence, state, std::move(value), std::move(limit)});
}

bool SameChannel(const ChannelVerdict& a, const ChannelVerdict& b)
{
    return a.kind == b.kind && a.name == b.name && a.occurrence == b.occurrence;
}

} // namespace

std::string KindName(ChannelKind kind)
{
    switch (kind) {
    case ChannelKind::Voltage:
        return "Voltage";
    case ChannelKind::Temperature:
        return "Temperature";
    case ChannelKind::Fan:
        return "Fan";
    }
    return "Voltage";
}

std::vector<ChannelVerdict> Verdicts(const Readings& readings)
{
    std::vector<ChannelVerdict> verdicts;
    for (const auto& v : readings.voltages)
        Add(verdicts, ChannelKind::Voltage, v.name, v.state, Voltage(v.hundredths),
            CrossedLimit(v.state, v.limits, Voltage));
    for (const auto& t : readings.temperatures)
        Add(verdicts, ChannelKind::Temperature, t.name, t.state,
            t.tenths ? Temperature(*t.tenths) : "not read",
            CrossedLimit(t.state, t.limits, Temperature));
    for (const auto& f : readings.fans)
        Add(verdicts, ChannelKind::Fan, f.name, f.state, FanValue(f),
            CrossedLimit(f.state, f.limits, [](int64_t count) { return std::to_string(count); }));
    return verdicts;
}

std::string TransitionDetail(const AlarmTransition& t)
{
    const std::string was =
        InAlarm(t.previous) ? " (was " + std::string(StateName(t.previous)) + ")" : std::string();
    if (!t.raised)
        return t.value.empty() ? "no longer reported" + was : "back in range at " + t.value + was;
    std::string detail = std::string(StateName(t.state)) + ", " + t.value;
    if (!t.limit.empty())
        detail += (t.state == ChannelState::Low ? " below " : " above ") + t.limit;
    return detail + was;
}

std::string TransitionText(const AlarmTransition& t)
{
    return KindName(t.kind) + " channel " + t.channel + ": alarm " +
           (t.raised ? "raised, " : "cleared, ") + TransitionDetail(t) + ".";
}

std::vector<AlarmTransition> AlarmTracker::Update(const Readings& readings)
{
    std::vector<ChannelVerdict> now = Verdicts(readings);
    const std::vector<ChannelVerdict> before = previous_.value_or(std::vector<ChannelVerdict>{});
    std::vector<AlarmTransition> transitions;
    for (const auto& channel : now) {
        const auto old = std::find_if(before.begin(), before.end(), [&](const ChannelVerdict& b) {
            return SameChannel(b, channel);
        });
        const ChannelState previous = old == before.end() ? ChannelState::Ok : old->state;
        if (channel.state != previous)
            transitions.push_back({InAlarm(channel.state), channel.kind, channel.name,
                                   channel.state, previous, channel.value, channel.limit});
    }
    for (const auto& gone : before) {
        const bool present = std::any_of(
            now.begin(), now.end(), [&](const ChannelVerdict& n) { return SameChannel(n, gone); });
        if (!present && InAlarm(gone.state))
            transitions.push_back(
                {false, gone.kind, gone.name, ChannelState::Ok, gone.state, {}, {}});
    }
    previous_ = std::move(now);
    return transitions;
}

} // namespace kwotarv

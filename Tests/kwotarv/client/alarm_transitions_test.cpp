// Alarm transitions from reading to reading, as the Windows service logs them: the first
// reading, raised, cleared, one alarm replacing another, no repeat while an alarm holds, and a
// channel list that changes under hot plug.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/alarm_transitions.hpp"

namespace {

using kwotarv::ChannelLimits;
using kwotarv::ChannelState;
using kwotarv::Readings;

kwotarv::VoltageReading Volt(const char* name, uint32_t hundredths, ChannelState state)
{
    return {name, hundredths, ChannelLimits{1140, 1260}, state};
}

Readings Rail(uint32_t hundredths, ChannelState state)
{
    Readings r;
    r.voltages = {Volt("+12V", hundredths, state)};
    return r;
}

Readings Board(ChannelState rail, ChannelState cpu, ChannelState fan)
{
    Readings r = Rail(rail == ChannelState::Low ? 1100 : 1300, rail);
    r.temperatures = {{"CPU", cpu == ChannelState::High ? 812 : 455, ChannelLimits{100, 800}, cpu}};
    r.fans = {{"CPU Fan", fan == ChannelState::Stopped ? 0xFF1Fu : 0x1C04u, std::nullopt,
               ChannelLimits{}, fan}};
    return r;
}

std::vector<std::string> Texts(const std::vector<kwotarv::AlarmTransition>& transitions)
{
    std::vector<std::string> texts;
    for (const auto& t : transitions)
        texts.push_back(kwotarv::TransitionText(t));
    return texts;
}

TEST(AlarmTransitions, EachReadingAgainstThePreviousOne)
{
    constexpr auto Ok = ChannelState::Ok, Low = ChannelState::Low, High = ChannelState::High;
    const struct {
        const char* what;
        std::vector<Readings> readings;
        std::vector<std::string> last; // the transitions of the last reading
    } table[] = {
        {"first reading, nothing in alarm", {Rail(1200, Ok)}, {}},
        {"first reading raises what is already in alarm",
         {Board(High, High, ChannelState::Stopped)},
         {"Voltage channel +12V: alarm raised, high, 13.00 V above the high limit 12.60 V.",
          "Temperature channel CPU: alarm raised, high, 81.2 \xC2\xB0"
          "C above the high limit "
          "80.0 \xC2\xB0"
          "C.",
          "Fan channel CPU Fan: alarm raised, stopped, count 65311."}},
        {"raised",
         {Rail(1200, Ok), Rail(1100, Low)},
         {"Voltage channel +12V: alarm raised, low, 11.00 V below the low limit 11.40 V."}},
        {"held: no repeat", {Rail(1100, Low), Rail(1090, Low)}, {}},
        {"cleared",
         {Rail(1100, Low), Rail(1201, Ok)},
         {"Voltage channel +12V: alarm cleared, back in range at 12.01 V (was low)."}},
        {"low to high",
         {Rail(1100, Low), Rail(1300, High)},
         {"Voltage channel +12V: alarm raised, high, 13.00 V above the high limit 12.60 V "
          "(was low)."}},
        {"a channel in alarm gone after hot plug",
         {Board(Ok, High, Ok), Rail(1200, Ok)},
         {"Temperature channel CPU: alarm cleared, no longer reported (was high)."}},
        {"a channel in alarm appears after hot plug",
         {Rail(1200, Ok), Board(Ok, Ok, ChannelState::Stopped)},
         {"Fan channel CPU Fan: alarm raised, stopped, count 65311."}},
        {"channels matched by name, not by position",
         {Readings{.voltages = {Volt("+5V", 500, Ok), Volt("+12V", 1100, Low)}},
          Readings{.voltages = {Volt("+12V", 1100, Low)}}},
         {}},
        {"a second channel of the same name is a channel of its own",
         {Readings{.voltages = {Volt("VIN", 1200, Ok), Volt("VIN", 1200, Ok)}},
          Readings{.voltages = {Volt("VIN", 1200, Ok), Volt("VIN", 1300, High)}}},
         {"Voltage channel VIN: alarm raised, high, 13.00 V above the high limit 12.60 V."}},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.what);
        kwotarv::AlarmTracker tracker;
        std::vector<kwotarv::AlarmTransition> last;
        for (const auto& reading : c.readings)
            last = tracker.Update(reading);
        EXPECT_EQ(Texts(last), c.last);
    }
}

TEST(AlarmTransitions, FieldsOfTheEventLogEntry)
{
    kwotarv::AlarmTracker tracker;
    tracker.Update(Rail(1100, ChannelState::Low));
    const auto transitions = tracker.Update(Rail(1300, ChannelState::High));
    ASSERT_EQ(transitions.size(), 1u);
    const kwotarv::AlarmTransition& t = transitions[0];
    EXPECT_TRUE(t.raised);
    EXPECT_EQ(kwotarv::KindName(t.kind), "Voltage");
    EXPECT_EQ(t.channel, "+12V");
    EXPECT_EQ(t.state, ChannelState::High);
    EXPECT_EQ(t.previous, ChannelState::Low);
    EXPECT_EQ(t.value, "13.00 V");
    EXPECT_EQ(t.limit, "the high limit 12.60 V");
    EXPECT_EQ(kwotarv::TransitionDetail(t), "high, 13.00 V above the high limit 12.60 V (was low)");
}

} // namespace

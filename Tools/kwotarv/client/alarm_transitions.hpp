// Alarm transitions between two readings: a channel whose verdict went from ok to an alarm
// (raised), from an alarm back to ok or out of the readings (cleared), or from one alarm to
// another (raised again, with the alarm it replaces). The Windows service writes one event log
// entry and one log line per transition; the first reading raises every channel already in
// alarm.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "client/hwm_client.hpp"

namespace kwotarv {

enum class ChannelKind { Voltage, Temperature, Fan };

// "Voltage", "Temperature" or "Fan".
std::string KindName(ChannelKind kind);

// One channel's verdict in one reading, with its value and the limit it crossed as text.
struct ChannelVerdict {
    ChannelKind kind = ChannelKind::Voltage;
    std::string name;
    size_t occurrence = 0; // among earlier channels of the same kind and name
    ChannelState state = ChannelState::Ok;
    std::string value; // "11.02 V", "46.5 °C", "count 7172 (1500 RPM)"
    std::string limit; // "the low limit 11.40 V"; empty when no limit was crossed
};

// The verdicts of every channel of a reading, voltages, temperatures then fans.
std::vector<ChannelVerdict> Verdicts(const Readings& readings);

struct AlarmTransition {
    bool raised = false;
    ChannelKind kind = ChannelKind::Voltage;
    std::string channel;
    ChannelState state = ChannelState::Ok;    // the verdict now (Ok when cleared)
    ChannelState previous = ChannelState::Ok; // the verdict before
    std::string value;                        // empty: the channel is no longer reported
    std::string limit;                        // the limit crossed, for a raised alarm
    bool operator==(const AlarmTransition&) const = default;
};

// The event's detail: "high, 46.5 °C above the high limit 45.0 °C (was low)",
// "stopped, count 65535", "back in range at 12.01 V (was low)", "no longer reported (was high)".
std::string TransitionDetail(const AlarmTransition& transition);
// The whole sentence, as the log file has it and the event log's message table shows it:
// "Voltage channel +12V: alarm raised, high, 12.70 V above the high limit 12.60 V."
std::string TransitionText(const AlarmTransition& transition);

// The event log entries of the service: raised alarms are warnings, cleared ones information.
inline constexpr unsigned long kEventAlarmRaised = 1;
inline constexpr unsigned long kEventAlarmCleared = 2;

// Compares each complete reading with the one before.
class AlarmTracker {
  public:
    // The transitions from the previous reading to this one. Channels are matched by kind and
    // name, so a device whose channel list changed (hot plug) raises its new channels in
    // alarm and clears the alarms of channels it no longer has.
    std::vector<AlarmTransition> Update(const Readings& readings);

  private:
    std::optional<std::vector<ChannelVerdict>> previous_;
};

} // namespace kwotarv

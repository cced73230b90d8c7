// What `kwotarv read` prints: every channel with its configured name, as text for a person
// (one aligned table per group, with each channel's limits and verdict where the board
// configures limits) or as JSON for a program (limits and alarm always present).
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "client/hwm_client.hpp"

namespace kwotarv {

nlohmann::ordered_json ReadingsJson(const Readings& readings);
// What every channel's JSON adds to its value: "low" and "high", its limits divided by `unit`
// into the units of the value (null for an open side), and "alarm", null or why it is in alarm.
void AddVerdict(nlohmann::ordered_json& channel, const ChannelLimits& limits, ChannelState state,
                double unit);
std::string ReadingsText(const Readings& readings);

} // namespace kwotarv

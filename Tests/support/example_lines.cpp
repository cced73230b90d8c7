// The example's lines from the tool's JSON: two decimals for volts, one for degrees, none for
// fan counts; "none" for an open side of a range, "-" for a temperature never read.
#include "example_lines.hpp"

#include <cstdio>

#include <nlohmann/json.hpp>

namespace tooltest {

namespace {

std::string Number(const nlohmann::json& value, int decimals, const char* absent)
{
    if (value.is_null())
        return absent;
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value.get<double>());
    return text;
}

struct Group {
    const char* key;   // in the JSON document
    const char* kind;  // in the example's line
    const char* value; // the JSON member of the value
    const char* unit;
    int decimals;
};

constexpr Group kGroups[] = {
    {"voltages", "voltage", "volts", "V", 2},
    {"temperatures", "temperature", "celsius", "\u00B0C", 1},
    {"fans", "fan", "count", "count", 0},
};

} // namespace

std::string ExampleText(const std::string& readJson)
{
    const nlohmann::json reading = nlohmann::json::parse(readJson);
    std::string text = "chip " + reading["description"].get<std::string>() + "\n";
    for (const Group& group : kGroups) {
        unsigned index = 0;
        for (const auto& channel : reading[group.key]) {
            text += std::string(group.kind) + " " + std::to_string(index++) + " " +
                    channel["name"].get<std::string>() + " = " +
                    Number(channel[group.value], group.decimals, "-") + " " + group.unit +
                    ", limits " + Number(channel["low"], group.decimals, "none") + " .. " +
                    Number(channel["high"], group.decimals, "none") + ", " +
                    (channel["alarm"].is_null() ? "ok" : channel["alarm"].get<std::string>());
            if (channel.contains("rpm") && !channel["rpm"].is_null())
                text += ", " + std::to_string(channel["rpm"].get<long long>()) + " rpm";
            text += "\n";
        }
    }
    return text;
}

} // namespace tooltest

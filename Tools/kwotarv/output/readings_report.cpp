// Text and JSON forms of the readings.
#include "output/readings_report.hpp"

#include <algorithm>

#include "output/format.hpp"

namespace kwotarv {

using json = nlohmann::ordered_json;

namespace {

constexpr size_t kMinNameWidth = 8;
constexpr size_t kValueWidth = 8;

// A limit in the units of the channel's value field.
json LimitJson(const std::optional<int32_t>& limit, double unit)
{
    return limit ? json(unit == 1 ? json(*limit) : json(*limit / unit)) : json(nullptr);
}

// "low .. high" in the channel's own format; an open side stays empty.
template <typename Format> std::string LimitsText(const ChannelLimits& limits, Format format)
{
    if (!limits.Any())
        return "-";
    return (limits.low ? format(*limits.low) + " " : std::string()) + ".." +
           (limits.high ? " " + format(*limits.high) : std::string());
}

// The verdict column: quiet when fine, loud when not.
std::string StateText(ChannelState state)
{
    if (!InAlarm(state))
        return "ok";
    std::string text(StateName(state));
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return static_cast<char>(c - 'a' + 'A'); });
    return text;
}

// The lines of one report, each with its limits and verdict for the optional columns.
struct Line {
    std::string text;
    std::optional<std::string> limits; // absent for headings and empty groups
    std::string state;
};

bool AnyLimits(const Readings& readings)
{
    auto has = [](const auto& channels) {
        return std::any_of(channels.begin(), channels.end(),
                           [](const auto& c) { return c.limits.Any(); });
    };
    return has(readings.voltages) || has(readings.temperatures) || has(readings.fans);
}

// Joins the lines; with `columns`, every channel line gets its limits and verdict in columns
// of their own, aligned over the whole report.
std::string JoinLines(const std::vector<Line>& lines, bool columns)
{
    size_t textWidth = 0;
    size_t limitsWidth = 0;
    for (const Line& line : lines)
        if (line.limits) {
            textWidth = std::max(textWidth, DisplayWidth(line.text));
            limitsWidth = std::max(limitsWidth, DisplayWidth(*line.limits));
        }
    std::string out;
    for (const Line& line : lines) {
        out += line.text;
        if (columns && line.limits)
            out += std::string(textWidth - DisplayWidth(line.text) + 4, ' ') +
                   PadLeft(*line.limits, limitsWidth) + "  " + line.state;
        out += "\n";
    }
    return out;
}

} // namespace

void AddVerdict(json& channel, const ChannelLimits& limits, ChannelState state, double unit)
{
    channel["low"] = LimitJson(limits.low, unit);
    channel["high"] = LimitJson(limits.high, unit);
    channel["alarm"] = InAlarm(state) ? json(StateName(state)) : json(nullptr);
}

json ReadingsJson(const Readings& readings)
{
    json out = json::object();
    out["description"] = readings.description ? json(*readings.description) : json(nullptr);
    out["voltages"] = json::array();
    for (const auto& v : readings.voltages) {
        json channel = {{"name", v.name}, {"volts", Volts(v)}};
        AddVerdict(channel, v.limits, v.state, kHundredthsPerVolt);
        out["voltages"].push_back(std::move(channel));
    }
    out["temperatures"] = json::array();
    for (const auto& t : readings.temperatures) {
        json channel = {{"name", t.name},
                        {"celsius", t.tenths ? json(*Celsius(t)) : json(nullptr)}};
        AddVerdict(channel, t.limits, t.state, kTenthsPerDegree);
        out["temperatures"].push_back(std::move(channel));
    }
    out["fans"] = json::array();
    for (const auto& f : readings.fans) {
        json channel = {
            {"name", f.name}, {"count", f.count}, {"rpm", f.rpm ? json(*f.rpm) : json(nullptr)}};
        AddVerdict(channel, f.limits, f.state, 1.0);
        out["fans"].push_back(std::move(channel));
    }
    if (!readings.errors.empty())
        out["errors"] = readings.errors;
    return out;
}

std::string ReadingsText(const Readings& readings)
{
    size_t width = kMinNameWidth;
    auto widen = [&](const std::string& name) { width = std::max(width, DisplayWidth(name)); };
    for (const auto& v : readings.voltages)
        widen(v.name);
    for (const auto& t : readings.temperatures)
        widen(t.name);
    for (const auto& f : readings.fans)
        widen(f.name);
    width += 2;

    const auto hundredths = [](int32_t v) { return FormatHundredths(v); };
    const auto tenths = [](int32_t v) { return FormatTenths(v); };
    const auto count = [](int32_t v) { return std::to_string(v); };
    std::vector<Line> lines;
    auto heading = [&](const std::string& text) { lines.push_back({text, std::nullopt, ""}); };

    heading(readings.description ? *readings.description : "(no description)");
    heading("");
    heading("Voltages");
    for (const auto& v : readings.voltages)
        lines.push_back({"  " + PadRight(v.name, width) +
                             PadLeft(FormatHundredths(v.hundredths), kValueWidth) + " V",
                         LimitsText(v.limits, hundredths), StateText(v.state)});
    if (readings.voltages.empty())
        heading("  (none)");

    heading("");
    heading("Temperatures");
    for (const auto& t : readings.temperatures)
        lines.push_back(
            {"  " + PadRight(t.name, width) +
                 (t.tenths ? PadLeft(FormatTenths(*t.tenths), kValueWidth) + " " + kCelsiusUnit
                           : PadLeft("-", kValueWidth) + "    (the driver reads two channels)"),
             LimitsText(t.limits, tenths), StateText(t.state)});
    if (readings.temperatures.empty())
        heading("  (none)");

    const bool speeds = std::any_of(readings.fans.begin(), readings.fans.end(),
                                    [](const FanReading& f) { return f.rpm.has_value(); });
    heading("");
    heading(speeds ? "Fans (count, speed)" : "Fans (count)");
    for (const auto& f : readings.fans)
        lines.push_back({"  " + PadRight(f.name, width) +
                             PadLeft(std::to_string(f.count), kValueWidth) +
                             (f.rpm ? PadLeft(std::to_string(*f.rpm), kValueWidth) + " RPM" : ""),
                         LimitsText(f.limits, count), StateText(f.state)});
    if (readings.fans.empty())
        heading("  (none)");
    return JoinLines(lines, AnyLimits(readings));
}

} // namespace kwotarv

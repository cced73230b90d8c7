// Text and JSON forms of the readings.
#include "output/readings_report.hpp"

#include <algorithm>

#include "output/format.hpp"

namespace kwotarv {

using json = nlohmann::ordered_json;

namespace {

constexpr size_t kMinNameWidth = 8;
constexpr size_t kValueWidth = 8;

} // namespace

json ReadingsJson(const Readings& readings)
{
    json out = json::object();
    out["description"] = readings.description ? json(*readings.description) : json(nullptr);
    out["voltages"] = json::array();
    for (const auto& v : readings.voltages)
        out["voltages"].push_back({{"name", v.name}, {"volts", v.hundredths / 100.0}});
    out["temperatures"] = json::array();
    for (const auto& t : readings.temperatures)
        out["temperatures"].push_back(
            {{"name", t.name}, {"celsius", t.tenths ? json(*t.tenths / 10.0) : json(nullptr)}});
    out["fans"] = json::array();
    for (const auto& f : readings.fans)
        out["fans"].push_back(
            {{"name", f.name}, {"count", f.count}, {"rpm", f.rpm ? json(*f.rpm) : json(nullptr)}});
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

    std::string out = readings.description ? *readings.description : "(no description)";
    out += "\n\nVoltages\n";
    for (const auto& v : readings.voltages)
        out += "  " + PadRight(v.name, width) +
               PadLeft(FormatHundredths(v.hundredths), kValueWidth) + " V\n";
    if (readings.voltages.empty())
        out += "  (none)\n";

    out += "\nTemperatures\n";
    for (const auto& t : readings.temperatures) {
        out += "  " + PadRight(t.name, width);
        out += t.tenths ? PadLeft(FormatTenths(*t.tenths), kValueWidth) + " \u00B0C\n"
                        : PadLeft("-", kValueWidth) + "    (the driver reads two channels)\n";
    }
    if (readings.temperatures.empty())
        out += "  (none)\n";

    const bool speeds = std::any_of(readings.fans.begin(), readings.fans.end(),
                                    [](const FanReading& f) { return f.rpm.has_value(); });
    out += speeds ? "\nFans (count, speed)\n" : "\nFans (count)\n";
    for (const auto& f : readings.fans) {
        out += "  " + PadRight(f.name, width) + PadLeft(std::to_string(f.count), kValueWidth);
        if (f.rpm)
            out += PadLeft(std::to_string(*f.rpm), kValueWidth) + " RPM";
        out += "\n";
    }
    if (readings.fans.empty())
        out += "  (none)\n";
    return out;
}

} // namespace kwotarv

// The dashboard's view of the history: one series per channel.
#include "serve/history.hpp"

#include <algorithm>
#include <cmath>

#include "output/format.hpp"

namespace kwotarv {

using json = nlohmann::ordered_json;

namespace {

// One channel of a reading: where it is and its value for the chart (nullopt: not read).
struct Point {
    const char* group;
    size_t index;
    std::string name;
    std::optional<double> value;
    std::string unit;
    std::string text;
    std::string detail = {};
};

std::vector<Point> Points(const Readings& r)
{
    std::vector<Point> points;
    for (size_t i = 0; i < r.voltages.size(); ++i)
        points.push_back({"voltages", i, r.voltages[i].name, r.voltages[i].hundredths / 100.0, "V",
                          FormatHundredths(r.voltages[i].hundredths) + " V"});
    for (size_t i = 0; i < r.temperatures.size(); ++i) {
        const auto& t = r.temperatures[i];
        points.push_back({"temperatures", i, t.name,
                          t.tenths ? std::optional<double>(*t.tenths / 10.0) : std::nullopt,
                          "\u00B0C", t.tenths ? FormatTenths(*t.tenths) + " \u00B0C" : "not read"});
    }
    for (size_t i = 0; i < r.fans.size(); ++i) {
        const auto& f = r.fans[i];
        if (f.rpm)
            points.push_back({"fans", i, f.name, static_cast<double>(*f.rpm), "RPM",
                              std::to_string(*f.rpm) + " RPM", "count " + std::to_string(f.count)});
        else
            points.push_back({"fans", i, f.name, static_cast<double>(f.count), "count",
                              "count " + std::to_string(f.count)});
    }
    return points;
}

} // namespace

size_t HistoryCapacity(double intervalSeconds, double spanSeconds)
{
    constexpr size_t kMost = 20000;
    if (intervalSeconds <= 0)
        return kMost;
    const double wanted = std::ceil(spanSeconds / intervalSeconds) + 1;
    return static_cast<size_t>(std::clamp(wanted, 2.0, static_cast<double>(kMost)));
}

json HistoryJson(const std::vector<Sample>& samples, double intervalSeconds)
{
    json out = json::object();
    out["interval"] = intervalSeconds;
    if (samples.empty()) {
        out["up"] = false;
        out["timestamp"] = nullptr;
        out["description"] = nullptr;
        out["errors"] = json::array({"no reading yet"});
        out["channels"] = json::array();
        return out;
    }
    const Sample& last = samples.back();
    out["up"] = last.up;
    out["timestamp"] = IsoTimestamp(last.unixMillis);
    out["description"] =
        last.readings.description ? json(*last.readings.description) : json(nullptr);
    out["errors"] = last.readings.errors;

    // The channels of the latest reading that worked.
    auto good =
        std::find_if(samples.rbegin(), samples.rend(), [](const Sample& s) { return s.up; });
    json channels = json::array();
    if (good != samples.rend()) {
        std::vector<std::vector<Point>> all;
        all.reserve(samples.size());
        for (const auto& s : samples)
            all.push_back(s.up ? Points(s.readings) : std::vector<Point>{});
        for (const Point& channel : Points(good->readings)) {
            json series = json::array();
            for (size_t i = 0; i < samples.size(); ++i) {
                std::optional<double> value;
                for (const Point& p : all[i])
                    if (p.group == std::string_view(channel.group) && p.index == channel.index &&
                        p.name == channel.name)
                        value = p.value;
                series.push_back({samples[i].unixMillis, value ? json(*value) : json(nullptr)});
            }
            const bool current = last.up;
            channels.push_back(
                {{"group", channel.group},
                 {"index", channel.index},
                 {"name", channel.name},
                 {"unit", channel.unit},
                 {"value", current && channel.value ? json(*channel.value) : json(nullptr)},
                 {"text", current ? channel.text : std::string("unavailable")},
                 {"detail", current ? channel.detail : std::string()},
                 {"points", series}});
        }
    }
    out["channels"] = channels;
    return out;
}

} // namespace kwotarv

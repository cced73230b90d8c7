// The dashboard's view of the history: one series per channel.
#include "serve/history.hpp"

#include <algorithm>
#include <cmath>

#include "output/format.hpp"
#include "output/readings_report.hpp"

namespace kwotarv {

using json = nlohmann::ordered_json;

namespace {

// One channel of a reading: where it is, its value for the chart (nullopt: not read), and its
// verdict with its limits in the chart's unit times `scale`.
struct Point {
    const char* group;
    size_t index;
    std::string name;
    std::optional<double> value;
    std::string unit;
    std::string text;
    std::string detail;
    ChannelLimits limits;
    double scale;
    ChannelState state;
};

// A fan's count limits as speeds for its chart, which a person reads in RPM. The count grows as the
// fan slows, so the high count limit is the lowest speed and the low one the highest. A limit that
// is no count of the chip, or means a standing fan, draws nothing.
ChannelLimits SpeedLimits(const ChipRow* chip, const ChannelLimits& counts)
{
    auto speed = [chip](const std::optional<int32_t>& count) -> std::optional<int32_t> {
        if (!count || *count <= 0 || *count > 0xFFFF)
            return std::nullopt;
        const std::optional<uint32_t> rpm = FanRpm(chip, static_cast<uint32_t>(*count));
        if (!rpm || *rpm == 0)
            return std::nullopt;
        return static_cast<int32_t>(*rpm);
    };
    return {speed(counts.high), speed(counts.low)};
}

// A fan's verdict in terms of its speed: a count above its high limit is a fan too slow.
ChannelState SpeedState(ChannelState countState)
{
    if (countState == ChannelState::High)
        return ChannelState::Low;
    if (countState == ChannelState::Low)
        return ChannelState::High;
    return countState;
}

std::vector<Point> Points(const Sample& sample)
{
    const Readings& r = sample.readings;
    std::vector<Point> points;
    for (size_t i = 0; i < r.voltages.size(); ++i) {
        const auto& v = r.voltages[i];
        points.push_back({"voltages", i, v.name, v.hundredths / 100.0, "V",
                          FormatHundredths(v.hundredths) + " V", "", v.limits, 100, v.state});
    }
    for (size_t i = 0; i < r.temperatures.size(); ++i) {
        const auto& t = r.temperatures[i];
        points.push_back({"temperatures", i, t.name,
                          t.tenths ? std::optional<double>(*t.tenths / 10.0) : std::nullopt,
                          "\u00B0C", t.tenths ? FormatTenths(*t.tenths) + " \u00B0C" : "not read",
                          "", t.limits, 10, t.state});
    }
    for (size_t i = 0; i < r.fans.size(); ++i) {
        const auto& f = r.fans[i];
        const std::string count = "count " + std::to_string(f.count);
        if (f.rpm)
            points.push_back({"fans", i, f.name, static_cast<double>(*f.rpm), "RPM",
                              std::to_string(*f.rpm) + " RPM", count,
                              SpeedLimits(SampleChip(sample), f.limits), 1, SpeedState(f.state)});
        else
            points.push_back({"fans", i, f.name, static_cast<double>(f.count), "count", count, "",
                              f.limits, 1, f.state});
    }
    return points;
}

// A channel as the dashboard draws it; a channel not `current` is one of the last good reading
// while the device is away.
json ChannelJson(const Point& channel, bool current, json points)
{
    json entry = {{"group", channel.group},
                  {"index", channel.index},
                  {"name", channel.name},
                  {"unit", channel.unit},
                  {"value", current && channel.value ? json(*channel.value) : json(nullptr)},
                  {"text", current ? channel.text : std::string("unavailable")},
                  {"detail", current ? channel.detail : std::string()}};
    // The limits stay drawn while the device is away; a verdict needs a reading.
    AddVerdict(entry, channel.limits, current ? channel.state : ChannelState::Ok, channel.scale);
    entry["points"] = std::move(points);
    return entry;
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
        out["alarms"] = 0;
        out["timestamp"] = nullptr;
        out["description"] = nullptr;
        out["errors"] = json::array({"no reading yet"});
        out["channels"] = json::array();
        return out;
    }
    const Sample& last = samples.back();
    out["up"] = last.up;
    out["alarms"] = AlarmCount(last.readings);
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
            all.push_back(s.up ? Points(s) : std::vector<Point>{});
        for (const Point& channel : Points(*good)) {
            json series = json::array();
            for (size_t i = 0; i < samples.size(); ++i) {
                std::optional<double> value;
                for (const Point& p : all[i])
                    if (p.group == std::string_view(channel.group) && p.index == channel.index &&
                        p.name == channel.name)
                        value = p.value;
                series.push_back({samples[i].unixMillis, value ? json(*value) : json(nullptr)});
            }
            channels.push_back(ChannelJson(channel, last.up, std::move(series)));
        }
    }
    out["channels"] = channels;
    return out;
}

} // namespace kwotarv

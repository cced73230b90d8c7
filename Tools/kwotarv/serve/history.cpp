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
        points.push_back({"voltages", i, v.name, Volts(v), kVoltUnit,
                          FormatHundredths(v.hundredths) + " " + kVoltUnit, "", v.limits,
                          kHundredthsPerVolt, v.state});
    }
    for (size_t i = 0; i < r.temperatures.size(); ++i) {
        const auto& t = r.temperatures[i];
        points.push_back({"temperatures", i, t.name, Celsius(t), kCelsiusUnit,
                          t.tenths ? FormatTenths(*t.tenths) + " " + kCelsiusUnit : "not read", "",
                          t.limits, kTenthsPerDegree, t.state});
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

void History::Add(Sample sample)
{
    auto entry = std::make_shared<HistoryEntry>();
    if (sample.up)
        for (Point& p : Points(sample))
            entry->points.push_back(
                {p.group, p.index, std::move(p.name),
                 json::array({sample.unixMillis, p.value ? json(*p.value) : json(nullptr)})
                     .dump()});
    entry->sample = std::move(sample);
    std::lock_guard lock(mutex_);
    entry->number = ++added_;
    ring_.Push(std::move(entry));
}

HistoryView History::Since(uint64_t since) const
{
    std::lock_guard lock(mutex_);
    HistoryView view;
    const size_t size = ring_.Size();
    if (size == 0)
        return view;
    const uint64_t oldest = added_ - size + 1;
    const size_t first =
        since < oldest || since > added_ ? 0 : static_cast<size_t>(since - oldest + 1);
    view.newer.reserve(size - first);
    for (size_t i = first; i < size; ++i)
        view.newer.push_back(ring_.At(i));
    view.latest = ring_.At(size - 1);
    for (size_t i = size; i-- > 0 && !view.good;)
        if (ring_.At(i)->sample.up)
            view.good = ring_.At(i);
    return view;
}

namespace {

// The point of `channel` (the `at`-th channel of the latest good sample) in `entry`: "[ms,null]"
// where the sample has no such channel or was not up.
void AppendPoint(std::string& out, const HistoryEntry& entry, const Point& channel, size_t at)
{
    auto same = [&channel](const HistoryPoint& p) {
        return p.index == channel.index && p.group == std::string_view(channel.group) &&
               p.name == channel.name;
    };
    const auto& points = entry.points;
    auto found = at < points.size() && same(points[at])
                     ? points.begin() + static_cast<ptrdiff_t>(at)
                     : std::find_if(points.begin(), points.end(), same);
    if (found != points.end())
        out += found->json;
    else
        out += "[" + std::to_string(entry.sample.unixMillis) + ",null]";
}

} // namespace

std::string HistoryText(const HistoryView& view, double intervalSeconds)
{
    json out = json::object();
    out["interval"] = intervalSeconds;
    if (!view.latest) {
        out["up"] = false;
        out["alarms"] = 0;
        out["timestamp"] = nullptr;
        out["description"] = nullptr;
        out["errors"] = json::array({"no reading yet"});
        out["last"] = 0;
        out["channels"] = json::array();
        return out.dump() + "\n";
    }
    const Sample& last = view.latest->sample;
    out["up"] = last.up;
    out["alarms"] = AlarmCount(last.readings);
    out["timestamp"] = IsoTimestamp(last.unixMillis);
    out["description"] =
        last.readings.description ? json(*last.readings.description) : json(nullptr);
    out["errors"] = last.readings.errors;
    out["last"] = view.latest->number;
    out["channels"] = json::array();

    // The channels of the latest reading that worked, spliced into the empty "channels":[] at the
    // end; each is dumped with "points":[] at its end and its points spliced in there.
    std::string text = out.dump();
    text.resize(text.size() - 2); // "]}"
    const std::vector<Point> channels =
        view.good ? Points(view.good->sample) : std::vector<Point>{};
    for (size_t c = 0; c < channels.size(); ++c) {
        std::string channel = ChannelJson(channels[c], last.up, json::array()).dump();
        channel.resize(channel.size() - 2); // "]}"
        text += (c == 0 ? "" : ",") + channel;
        for (size_t i = 0; i < view.newer.size(); ++i) {
            if (i != 0)
                text += ',';
            AppendPoint(text, *view.newer[i], channels[c], c);
        }
        text += "]}";
    }
    text += "]}\n";
    return text;
}

json HistoryJson(const std::vector<Sample>& samples, double intervalSeconds)
{
    History history(samples.size());
    for (const Sample& s : samples)
        history.Add(s);
    return json::parse(HistoryText(history.Since(0), intervalSeconds));
}

} // namespace kwotarv

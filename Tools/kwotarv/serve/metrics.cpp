// Prometheus exposition of a reading. Values are in base units (volts, degrees Celsius); the
// driver's hundredths and tenths are written as exact decimals.
#include "serve/metrics.hpp"

#include <cstdio>
#include <tuple>

#include "client/chip_table.hpp"
#include "output/format.hpp"

namespace kwotarv {

namespace {

class Exposition {
  public:
    // Starts a metric family with its help text and type, written with its first sample: a
    // family without samples is left out.
    void Family(const std::string& name, const char* type, const std::string& help)
    {
        name_ = name;
        header_ = "# HELP " + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void Sample(const std::string& labels, const std::string& value)
    {
        out_ += header_;
        header_.clear();
        out_ += name_;
        if (!labels.empty())
            out_ += "{" + labels + "}";
        out_ += " " + value + "\n";
    }
    std::string Text() && { return std::move(out_); }

  private:
    std::string name_;
    std::string header_;
    std::string out_;
};

std::string ChannelLabels(const std::string& name, size_t index)
{
    return "channel=\"" + EscapeLabelValue(name) + "\",index=\"" + std::to_string(index) + "\"";
}

std::string Seconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", seconds);
    return text;
}

// Whether the driver reads the channel: every one but the temperatures after the second.
bool HasValue(const VoltageReading&)
{
    return true;
}
bool HasValue(const TemperatureReading& t)
{
    return t.tenths.has_value();
}
bool HasValue(const FanReading&)
{
    return true;
}

// The low and the high limits of a group's configuration, in the group's base unit, for the
// channels that have a value and a limit on that side.
template <typename Channel, typename Format>
void LimitFamilies(Exposition& e, const std::vector<Channel>& channels, const char* lowName,
                   const char* highName, const std::string& what, Format format)
{
    for (const auto& [name, help, side] :
         {std::tuple{lowName, "Low limit of ", &ChannelLimits::low},
          std::tuple{highName, "High limit of ", &ChannelLimits::high}}) {
        e.Family(name, "gauge", help + what + " in the board's configuration.");
        for (size_t i = 0; i < channels.size(); ++i)
            if (const auto& limit = channels[i].limits.*side; limit && HasValue(channels[i]))
                e.Sample(ChannelLabels(channels[i].name, i), format(*limit));
    }
}

// The verdict of every channel of a group that has a value.
template <typename Channel>
void AlarmSamples(Exposition& e, const std::vector<Channel>& channels, const char* kind)
{
    for (size_t i = 0; i < channels.size(); ++i)
        if (HasValue(channels[i]))
            e.Sample("kind=\"" + std::string(kind) + "\"," + ChannelLabels(channels[i].name, i),
                     InAlarm(channels[i].state) ? "1" : "0");
}

// The limits of the board's configuration, the verdict on each channel, and whether each fan
// stands where its chip can tell.
void VerdictFamilies(Exposition& e, const Sample& sample)
{
    const Readings& r = sample.readings;
    const auto hundredths = [](int32_t v) { return FormatSignedHundredths(v); };
    const auto tenths = [](int32_t v) { return FormatTenths(v); };
    const auto count = [](int32_t v) { return std::to_string(v); };
    LimitFamilies(e, r.voltages, "kwotarv_voltage_low_volts", "kwotarv_voltage_high_volts",
                  "a voltage input", hundredths);
    LimitFamilies(e, r.temperatures, "kwotarv_temperature_low_celsius",
                  "kwotarv_temperature_high_celsius", "a temperature sensor", tenths);
    LimitFamilies(e, r.fans, "kwotarv_fan_low_raw", "kwotarv_fan_high_raw",
                  "a fan input's raw count", count);

    e.Family("kwotarv_alarm", "gauge",
             "Whether a channel reads outside the limits of the board's configuration or its fan "
             "stopped (1) or not (0).");
    AlarmSamples(e, r.voltages, "voltage");
    AlarmSamples(e, r.temperatures, "temperature");
    AlarmSamples(e, r.fans, "fan");

    const ChipRow* chip = SampleChip(sample);
    if (chip && chip->fanCounts == FanCounts::Nct6776Format) {
        e.Family("kwotarv_fan_stopped", "gauge",
                 "Whether a fan stands still (1) or not (0), for chips whose count tells.");
        for (size_t i = 0; i < r.fans.size(); ++i)
            e.Sample(ChannelLabels(r.fans[i].name, i),
                     r.fans[i].state == ChannelState::Stopped ? "1" : "0");
    }
}

} // namespace

std::string EscapeLabelValue(std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string MetricsText(const Sample& sample, uint64_t failedReads)
{
    const Readings& r = sample.readings;
    Exposition e;
    e.Family("kwotarv_up", "gauge",
             "Whether the last reading of the hardware monitor succeeded (1) or not (0).");
    e.Sample("", sample.up ? "1" : "0");
    e.Family("kwotarv_read_errors_total", "counter",
             "Readings of the hardware monitor that failed.");
    e.Sample("", std::to_string(failedReads));
    e.Family("kwotarv_bus_lock_timeouts_total", "counter",
             "Readings not taken because the ISA-bus mutex shared with other monitoring tools "
             "was not released in time.");
    e.Sample("", std::to_string(sample.busLockTimeouts));
    e.Family("kwotarv_read_duration_seconds", "gauge",
             "Time the last full reading of the hardware monitor took.");
    e.Sample("", Seconds(sample.seconds));

    if (r.description) {
        e.Family("kwotarv_chip_info", "gauge", "The Super I/O chip the driver found.");
        e.Sample("chip=\"" + std::string(ChipName(SampleChip(sample), "unknown")) +
                     "\",chipset_type=\"" +
                     (sample.chipsetType ? std::to_string(*sample.chipsetType) : std::string()) +
                     "\",description=\"" + EscapeLabelValue(*r.description) + "\"",
                 "1");
    }
    e.Family("kwotarv_voltage_volts", "gauge", "Voltage of a monitored input.");
    for (size_t i = 0; i < r.voltages.size(); ++i)
        e.Sample(ChannelLabels(r.voltages[i].name, i), FormatHundredths(r.voltages[i].hundredths));
    e.Family("kwotarv_temperature_celsius", "gauge", "Temperature of a monitored sensor.");
    for (size_t i = 0; i < r.temperatures.size(); ++i)
        if (r.temperatures[i].tenths)
            e.Sample(ChannelLabels(r.temperatures[i].name, i),
                     FormatTenths(*r.temperatures[i].tenths));
    e.Family("kwotarv_fan_raw", "gauge", "Raw count register of a fan input.");
    for (size_t i = 0; i < r.fans.size(); ++i)
        e.Sample(ChannelLabels(r.fans[i].name, i), std::to_string(r.fans[i].count));
    e.Family("kwotarv_fan_rpm", "gauge",
             "Speed of a fan in revolutions per minute, where the chip's count is a speed.");
    for (size_t i = 0; i < r.fans.size(); ++i)
        if (r.fans[i].rpm)
            e.Sample(ChannelLabels(r.fans[i].name, i), std::to_string(*r.fans[i].rpm));
    VerdictFamilies(e, sample);
    return std::move(e).Text();
}

} // namespace kwotarv

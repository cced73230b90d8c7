// Prometheus exposition of a reading. Values are in base units (volts, degrees Celsius); the
// driver's hundredths and tenths are written as exact decimals.
#include "serve/metrics.hpp"

#include <cstdio>

#include "client/chip_table.hpp"
#include "output/format.hpp"

namespace kwotarv {

namespace {

class Exposition {
  public:
    // Starts a metric family with its help text and type.
    void Family(const char* name, const char* type, const char* help)
    {
        name_ = name;
        out_ += std::string("# HELP ") + name + " " + help + "\n";
        out_ += std::string("# TYPE ") + name + " " + type + "\n";
    }
    void Sample(const std::string& labels, const std::string& value)
    {
        out_ += name_;
        if (!labels.empty())
            out_ += "{" + labels + "}";
        out_ += " " + value + "\n";
    }
    std::string Text() && { return std::move(out_); }

  private:
    std::string name_;
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

// The chip of a reading: the one whose code the driver published as ChipsetType, or else the
// one whose description the device gave.
const ChipRow* SampleChip(const Sample& sample)
{
    if (sample.chipsetType)
        if (const ChipRow* chip = ChipByCode(*sample.chipsetType))
            return chip;
    return ChipByDescription(*sample.readings.description);
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
    if (!r.voltages.empty()) {
        e.Family("kwotarv_voltage_volts", "gauge", "Voltage of a monitored input.");
        for (size_t i = 0; i < r.voltages.size(); ++i)
            e.Sample(ChannelLabels(r.voltages[i].name, i),
                     FormatHundredths(r.voltages[i].hundredths));
    }
    bool anyTemperature = false;
    for (const auto& t : r.temperatures)
        anyTemperature = anyTemperature || t.tenths.has_value();
    if (anyTemperature) {
        e.Family("kwotarv_temperature_celsius", "gauge", "Temperature of a monitored sensor.");
        for (size_t i = 0; i < r.temperatures.size(); ++i)
            if (r.temperatures[i].tenths)
                e.Sample(ChannelLabels(r.temperatures[i].name, i),
                         FormatTenths(*r.temperatures[i].tenths));
    }
    if (!r.fans.empty()) {
        e.Family("kwotarv_fan_count", "gauge", "Raw count register of a fan input.");
        for (size_t i = 0; i < r.fans.size(); ++i)
            e.Sample(ChannelLabels(r.fans[i].name, i), std::to_string(r.fans[i].count));
    }
    bool anyRpm = false;
    for (const auto& f : r.fans)
        anyRpm = anyRpm || f.rpm.has_value();
    if (anyRpm) {
        e.Family("kwotarv_fan_rpm", "gauge",
                 "Speed of a fan in revolutions per minute, where the chip's count is a speed.");
        for (size_t i = 0; i < r.fans.size(); ++i)
            if (r.fans[i].rpm)
                e.Sample(ChannelLabels(r.fans[i].name, i), std::to_string(*r.fans[i].rpm));
    }
    return std::move(e).Text();
}

} // namespace kwotarv

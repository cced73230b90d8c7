// The Prometheus exposition of a reading: escaping, family order, omitted channels, the state
// without a device. The readings are made up so that each rule has a case.
#include <gtest/gtest.h>

#include "serve/metrics.hpp"

namespace {

using kwotarv::EscapeLabelValue;
using kwotarv::MetricsText;
using kwotarv::Sample;

TEST(Exposition, LabelValuesEscapeBackslashQuoteAndLineFeed)
{
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"CPU", "CPU"},
        {"C:\\fan", "C:\\\\fan"},
        {"say \"hi\"", "say \\\"hi\\\""},
        {"two\nlines", "two\\nlines"},
        {"\\\"\n", "\\\\\\\"\\n"},
        {"+12V \u00B0 tab\t", "+12V \u00B0 tab\t"}, // UTF-8 and tabs stay as they are
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EscapeLabelValue(c.in), c.out) << c.in;
}

Sample Reading()
{
    Sample s;
    s.up = true;
    s.seconds = 0.0125;
    s.chipsetType = 6;
    s.readings.description = "Nuvoton NCT6776 \"Hardware\" Monitor";
    s.readings.voltages = {{"VCORE", 100}, {"+12V", 1209}, {"3VSB", 5}};
    s.readings.temperatures = {{"CPU", 450}, {"Sys\\tem", -5}, {"Third", std::nullopt}};
    s.readings.fans = {{"CPU Fan", 7172, 1500}, {"Aux\nFan", 65311, 0}};
    return s;
}

TEST(Exposition, EveryFamilyInOrderWithHelpTypeAndBaseUnits)
{
    EXPECT_EQ(MetricsText(Reading(), 3),
              "# HELP kwotarv_up Whether the last reading of the hardware monitor succeeded (1) "
              "or not (0).\n"
              "# TYPE kwotarv_up gauge\n"
              "kwotarv_up 1\n"
              "# HELP kwotarv_read_errors_total Readings of the hardware monitor that failed.\n"
              "# TYPE kwotarv_read_errors_total counter\n"
              "kwotarv_read_errors_total 3\n"
              "# HELP kwotarv_bus_lock_timeouts_total Readings not taken because the ISA-bus "
              "mutex shared with other monitoring tools was not released in time.\n"
              "# TYPE kwotarv_bus_lock_timeouts_total counter\n"
              "kwotarv_bus_lock_timeouts_total 0\n"
              "# HELP kwotarv_read_duration_seconds Time the last full reading of the hardware "
              "monitor took.\n"
              "# TYPE kwotarv_read_duration_seconds gauge\n"
              "kwotarv_read_duration_seconds 0.012500\n"
              "# HELP kwotarv_chip_info The Super I/O chip the driver found.\n"
              "# TYPE kwotarv_chip_info gauge\n"
              "kwotarv_chip_info{chip=\"NCT6776\",chipset_type=\"6\",description=\"Nuvoton "
              "NCT6776 \\\"Hardware\\\" Monitor\"} 1\n"
              "# HELP kwotarv_voltage_volts Voltage of a monitored input.\n"
              "# TYPE kwotarv_voltage_volts gauge\n"
              "kwotarv_voltage_volts{channel=\"VCORE\",index=\"0\"} 1.00\n"
              "kwotarv_voltage_volts{channel=\"+12V\",index=\"1\"} 12.09\n"
              "kwotarv_voltage_volts{channel=\"3VSB\",index=\"2\"} 0.05\n"
              "# HELP kwotarv_temperature_celsius Temperature of a monitored sensor.\n"
              "# TYPE kwotarv_temperature_celsius gauge\n"
              "kwotarv_temperature_celsius{channel=\"CPU\",index=\"0\"} 45.0\n"
              "kwotarv_temperature_celsius{channel=\"Sys\\\\tem\",index=\"1\"} -0.5\n"
              "# HELP kwotarv_fan_count Raw count register of a fan input.\n"
              "# TYPE kwotarv_fan_count gauge\n"
              "kwotarv_fan_count{channel=\"CPU Fan\",index=\"0\"} 7172\n"
              "kwotarv_fan_count{channel=\"Aux\\nFan\",index=\"1\"} 65311\n"
              "# HELP kwotarv_fan_rpm Speed of a fan in revolutions per minute, where the chip's "
              "count is a speed.\n"
              "# TYPE kwotarv_fan_rpm gauge\n"
              "kwotarv_fan_rpm{channel=\"CPU Fan\",index=\"0\"} 1500\n"
              "kwotarv_fan_rpm{channel=\"Aux\\nFan\",index=\"1\"} 0\n");
}

TEST(Exposition, ChannelsWithoutValuesAreLeftOutNotZero)
{
    Sample s = Reading();
    // The third temperature is never read: no sample, and the index of the others unchanged.
    const std::string text = MetricsText(s, 0);
    EXPECT_EQ(text.find("Third"), std::string::npos);

    // Counts that are not speeds: no kwotarv_fan_rpm family at all.
    for (auto& f : s.readings.fans)
        f.rpm.reset();
    EXPECT_EQ(MetricsText(s, 0).find("kwotarv_fan_rpm"), std::string::npos);

    // No temperature read: the family goes, the fans stay.
    s.readings.temperatures = {{"Third", std::nullopt}};
    const std::string none = MetricsText(s, 0);
    EXPECT_EQ(none.find("kwotarv_temperature_celsius"), std::string::npos);
    EXPECT_NE(none.find("kwotarv_fan_count{channel=\"CPU Fan\",index=\"0\"} 7172\n"),
              std::string::npos);
}

TEST(Exposition, WithoutTheDeviceOnlyTheStateIsReported)
{
    Sample s;
    s.up = false;
    s.seconds = 0.0005;
    s.readings.errors = {"device not found"};
    EXPECT_EQ(MetricsText(s, 7),
              "# HELP kwotarv_up Whether the last reading of the hardware monitor succeeded (1) "
              "or not (0).\n"
              "# TYPE kwotarv_up gauge\n"
              "kwotarv_up 0\n"
              "# HELP kwotarv_read_errors_total Readings of the hardware monitor that failed.\n"
              "# TYPE kwotarv_read_errors_total counter\n"
              "kwotarv_read_errors_total 7\n"
              "# HELP kwotarv_bus_lock_timeouts_total Readings not taken because the ISA-bus "
              "mutex shared with other monitoring tools was not released in time.\n"
              "# TYPE kwotarv_bus_lock_timeouts_total counter\n"
              "kwotarv_bus_lock_timeouts_total 0\n"
              "# HELP kwotarv_read_duration_seconds Time the last full reading of the hardware "
              "monitor took.\n"
              "# TYPE kwotarv_read_duration_seconds gauge\n"
              "kwotarv_read_duration_seconds 0.000500\n");
}

TEST(Exposition, ChipLabelNamesTheFamilyAndAnUnknownChip)
{
    Sample s = Reading();
    s.readings.description = "Nuvoton NCT5523D/6106D Hardware Monitor";
    s.chipsetType = 7;
    EXPECT_NE(MetricsText(s, 0).find("kwotarv_chip_info{chip=\"NCT5523D\",chipset_type=\"7\","),
              std::string::npos);
    s.readings.description = "Something Else";
    s.chipsetType.reset();
    EXPECT_NE(MetricsText(s, 0).find("kwotarv_chip_info{chip=\"unknown\",chipset_type=\"\","),
              std::string::npos);
}

} // namespace

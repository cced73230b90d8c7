// The Prometheus exposition of a reading: escaping, family order, omitted channels, the state
// without a device, limits and verdicts. The readings are made up so that each rule has a case.
#include <gtest/gtest.h>

#include "serve/metrics.hpp"

namespace {

using kwotarv::ChannelLimits;
using kwotarv::ChannelState;
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
    s.readings.fans = {{"CPU Fan", 7172, 1500}, {"Aux\nFan", 65311, 0, {}, ChannelState::Stopped}};
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
              "# HELP kwotarv_fan_raw Raw count register of a fan input.\n"
              "# TYPE kwotarv_fan_raw gauge\n"
              "kwotarv_fan_raw{channel=\"CPU Fan\",index=\"0\"} 7172\n"
              "kwotarv_fan_raw{channel=\"Aux\\nFan\",index=\"1\"} 65311\n"
              "# HELP kwotarv_fan_rpm Speed of a fan in revolutions per minute, where the chip's "
              "count is a speed.\n"
              "# TYPE kwotarv_fan_rpm gauge\n"
              "kwotarv_fan_rpm{channel=\"CPU Fan\",index=\"0\"} 1500\n"
              "kwotarv_fan_rpm{channel=\"Aux\\nFan\",index=\"1\"} 0\n"
              "# HELP kwotarv_alarm Whether a channel reads outside the limits of the board's "
              "configuration or its fan stopped (1) or not (0).\n"
              "# TYPE kwotarv_alarm gauge\n"
              "kwotarv_alarm{kind=\"voltage\",channel=\"VCORE\",index=\"0\"} 0\n"
              "kwotarv_alarm{kind=\"voltage\",channel=\"+12V\",index=\"1\"} 0\n"
              "kwotarv_alarm{kind=\"voltage\",channel=\"3VSB\",index=\"2\"} 0\n"
              "kwotarv_alarm{kind=\"temperature\",channel=\"CPU\",index=\"0\"} 0\n"
              "kwotarv_alarm{kind=\"temperature\",channel=\"Sys\\\\tem\",index=\"1\"} 0\n"
              "kwotarv_alarm{kind=\"fan\",channel=\"CPU Fan\",index=\"0\"} 0\n"
              "kwotarv_alarm{kind=\"fan\",channel=\"Aux\\nFan\",index=\"1\"} 1\n"
              "# HELP kwotarv_fan_stopped Whether a fan stands still (1) or not (0), for chips "
              "whose count tells.\n"
              "# TYPE kwotarv_fan_stopped gauge\n"
              "kwotarv_fan_stopped{channel=\"CPU Fan\",index=\"0\"} 0\n"
              "kwotarv_fan_stopped{channel=\"Aux\\nFan\",index=\"1\"} 1\n");
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
    EXPECT_NE(none.find("kwotarv_fan_raw{channel=\"CPU Fan\",index=\"0\"} 7172\n"),
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

// The limit families: written in base units for the channels with a limit on that side and a
// value, each with its help and type, and left out when no channel has that side.
TEST(Exposition, LimitsOfEachSideInBaseUnits)
{
    const auto help = [](const char* name, const char* text) {
        return std::string("# HELP ") + name + " " + text + "\n# TYPE " + name + " gauge\n";
    };
    const struct {
        const char* what;
        std::vector<kwotarv::VoltageReading> voltages;
        std::vector<kwotarv::TemperatureReading> temperatures;
        std::vector<kwotarv::FanReading> fans;
        std::string expected; // every limit family, in order
    } cases[] = {
        {"no limits", {{"+12V", 1209}}, {{"CPU", 450}}, {{"Fan", 7172, 1500}}, ""},
        {"a rail within 5 %",
         {{"VCORE", 100}, {"+12V", 1209, {1140, 1260}}},
         {},
         {},
         help("kwotarv_voltage_low_volts",
              "Low limit of a voltage input in the board's configuration.") +
             "kwotarv_voltage_low_volts{channel=\"+12V\",index=\"1\"} 11.40\n" +
             help("kwotarv_voltage_high_volts",
                  "High limit of a voltage input in the board's configuration.") +
             "kwotarv_voltage_high_volts{channel=\"+12V\",index=\"1\"} 12.60\n"},
        {"one side each, a negative low limit",
         {{"A", 100, {std::nullopt, 5}}, {"B", 100, {-5, std::nullopt}}},
         {},
         {},
         help("kwotarv_voltage_low_volts",
              "Low limit of a voltage input in the board's configuration.") +
             "kwotarv_voltage_low_volts{channel=\"B\",index=\"1\"} -0.05\n" +
             help("kwotarv_voltage_high_volts",
                  "High limit of a voltage input in the board's configuration.") +
             "kwotarv_voltage_high_volts{channel=\"A\",index=\"0\"} 0.05\n"},
        {"temperatures in tenths, the unread one left out",
         {},
         {{"CPU", 450, {-100, std::nullopt}},
          {"System", 335, {std::nullopt, 600}},
          {"Third", std::nullopt, {0, 900}}},
         {},
         help("kwotarv_temperature_low_celsius",
              "Low limit of a temperature sensor in the board's configuration.") +
             "kwotarv_temperature_low_celsius{channel=\"CPU\",index=\"0\"} -10.0\n" +
             help("kwotarv_temperature_high_celsius",
                  "High limit of a temperature sensor in the board's configuration.") +
             "kwotarv_temperature_high_celsius{channel=\"System\",index=\"1\"} 60.0\n"},
        {"fan counts as they are",
         {},
         {},
         {{"CPU Fan", 7172, 1500, {std::nullopt, 0x2305}},
          {"Sys\"Fan", 2580, std::nullopt, {100, 4000}}},
         help("kwotarv_fan_low_raw",
              "Low limit of a fan input's raw count in the board's configuration.") +
             "kwotarv_fan_low_raw{channel=\"Sys\\\"Fan\",index=\"1\"} 100\n" +
             help("kwotarv_fan_high_raw",
                  "High limit of a fan input's raw count in the board's configuration.") +
             "kwotarv_fan_high_raw{channel=\"CPU Fan\",index=\"0\"} 8965\n"
             "kwotarv_fan_high_raw{channel=\"Sys\\\"Fan\",index=\"1\"} 4000\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Sample s;
        s.up = true;
        s.readings.description = "Chip";
        s.readings.voltages = c.voltages;
        s.readings.temperatures = c.temperatures;
        s.readings.fans = c.fans;
        const std::string text = MetricsText(s, 0);
        std::string limits;
        for (size_t pos = 0; pos < text.size();) {
            const size_t end = text.find('\n', pos) + 1;
            const std::string line = text.substr(pos, end - pos);
            if (line.find("_low_") != std::string::npos || line.find("_high_") != std::string::npos)
                limits += line;
            pos = end;
        }
        EXPECT_EQ(limits, c.expected) << text;
        // All together, after the values and right before the verdicts.
        EXPECT_NE(text.find("\n" + c.expected + "# HELP kwotarv_alarm "), std::string::npos)
            << text;
    }
}

// The lines of `family` in an exposition, its help and type included.
std::string FamilyLines(const std::string& text, const std::string& family)
{
    std::string out;
    for (size_t pos = 0; pos < text.size();) {
        const size_t end = text.find('\n', pos) + 1;
        const std::string line = text.substr(pos, end - pos);
        for (const std::string prefix :
             {family + "{", family + " ", "# HELP " + family + " ", "# TYPE " + family + " "})
            if (line.rfind(prefix, 0) == 0)
                out += line;
        pos = end;
    }
    return out;
}

// The verdicts: one kwotarv_alarm sample per channel with a value, whatever made it; and
// kwotarv_fan_stopped only for chips whose fan count tells a standing fan.
TEST(Exposition, AlarmsForEveryChannelAndStoppedFansWhereTheChipTells)
{
    // The same rails and sensors in every case: two rails out of range, one sensor too hot, and
    // an unread sensor, which has no verdict.
    const std::string railsAndSensors =
        "# HELP kwotarv_alarm Whether a channel reads outside the limits of the board's "
        "configuration or its fan stopped (1) or not (0).\n"
        "# TYPE kwotarv_alarm gauge\n"
        "kwotarv_alarm{kind=\"voltage\",channel=\"+12V\",index=\"0\"} 1\n"
        "kwotarv_alarm{kind=\"voltage\",channel=\"VBAT\",index=\"1\"} 1\n"
        "kwotarv_alarm{kind=\"voltage\",channel=\"AVCC\",index=\"2\"} 0\n"
        "kwotarv_alarm{kind=\"temperature\",channel=\"CPU\",index=\"0\"} 0\n"
        "kwotarv_alarm{kind=\"temperature\",channel=\"System\",index=\"1\"} 1\n";
    const std::string stoppedHead = "# HELP kwotarv_fan_stopped Whether a fan stands still (1) "
                                    "or not (0), for chips whose count tells.\n"
                                    "# TYPE kwotarv_fan_stopped gauge\n";
    const struct {
        const char* what;
        std::optional<uint32_t> chipsetType;
        const char* description;
        std::vector<kwotarv::FanReading> fans;
        std::string fanAlarms;
        std::string stopped; // the whole kwotarv_fan_stopped family
    } cases[] = {
        {"NCT6776 by its code: standing, too slow, fine",
         6,
         "Chip",
         {{"CPU Fan", 7172, 1500},
          {"Aux Fan", 0xFF1F, 0, {}, ChannelState::Stopped},
          {"Slow", 0x3000, 703, {std::nullopt, 0x2305}, ChannelState::High}},
         "kwotarv_alarm{kind=\"fan\",channel=\"CPU Fan\",index=\"0\"} 0\n"
         "kwotarv_alarm{kind=\"fan\",channel=\"Aux Fan\",index=\"1\"} 1\n"
         "kwotarv_alarm{kind=\"fan\",channel=\"Slow\",index=\"2\"} 1\n",
         stoppedHead + "kwotarv_fan_stopped{channel=\"CPU Fan\",index=\"0\"} 0\n"
                       "kwotarv_fan_stopped{channel=\"Aux Fan\",index=\"1\"} 1\n"
                       "kwotarv_fan_stopped{channel=\"Slow\",index=\"2\"} 0\n"},
        {"NCT6776 by its description",
         std::nullopt,
         "Nuvoton NCT6776 Hardware Monitor",
         {{"CPU Fan", 7172, 1500}},
         "kwotarv_alarm{kind=\"fan\",channel=\"CPU Fan\",index=\"0\"} 0\n",
         stoppedHead + "kwotarv_fan_stopped{channel=\"CPU Fan\",index=\"0\"} 0\n"},
        {"raw counts cannot tell",
         7,
         "Chip",
         {{"CPU Fan", 2580, std::nullopt, {3000, std::nullopt}, ChannelState::Low}},
         "kwotarv_alarm{kind=\"fan\",channel=\"CPU Fan\",index=\"0\"} 1\n",
         ""},
        {"an unknown chip",
         std::nullopt,
         "Something Else",
         {{"Fan", 0xFF1F, std::nullopt}},
         "kwotarv_alarm{kind=\"fan\",channel=\"Fan\",index=\"0\"} 0\n",
         ""},
        {"no fans", 6, "Chip", {}, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Sample s;
        s.up = true;
        s.chipsetType = c.chipsetType;
        s.readings.description = c.description;
        s.readings.voltages = {{"+12V", 1300, {1140, 1260}, ChannelState::High},
                               {"VBAT", 250, {270, std::nullopt}, ChannelState::Low},
                               {"AVCC", 332}};
        s.readings.temperatures = {{"CPU", 450},
                                   {"System", 650, {std::nullopt, 600}, ChannelState::High},
                                   {"Third", std::nullopt, {std::nullopt, 600}}};
        s.readings.fans = c.fans;
        const std::string text = MetricsText(s, 0);
        // The verdicts end the exposition.
        EXPECT_TRUE(text.ends_with("\n" + railsAndSensors + c.fanAlarms + c.stopped)) << text;
        EXPECT_EQ(FamilyLines(text, "kwotarv_fan_stopped"), c.stopped);
    }
}

} // namespace

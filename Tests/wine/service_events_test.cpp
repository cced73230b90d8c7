// The KwoTarvMonitor service under Wine against the real kwotarv.sys on a board whose +12V reads
// above its high limit: the service raises the alarm once, as one event log entry (Wine's
// ReportEventW keeps no log but prints each entry's strings on its eventlog debug channel, which
// the launcher collects with --event-log) and one line of its log file, and does not repeat it
// while the alarm holds.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "kwotarv/peer_process.hpp"
#include "process.hpp"
#include "wine_session.hpp"

namespace {

size_t Count(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class WineServiceEvents : public testing::TestWithParam<winetest::WineSetup> {
  protected:
    void SetUp() override
    {
        if (auto why = winetest::WhyNoWine())
            GTEST_SKIP() << *why;
    }
};

TEST_P(WineServiceEvents, AnAlarmOnTheBoardIsOneEventLogEntryAndOneLogLine)
{
    tooltest::ScratchDir scratch;
    const std::string commands = scratch.Path("commands");
    const std::string listen = "127.0.0.1:" + std::to_string(servetest::FreePort());
    {
        std::ofstream file(commands);
        // The readings between install and uninstall give the service's sampler (every 0.2 s)
        // time for several readings of the same alarm.
        file << "service install --listen " << listen << " --interval 0.2\n"
             << "info\nread\ninfo\nread\n"
             << "service uninstall\n";
    }
    const std::string events = scratch.Path("events"), log = scratch.Path("service.log");
    const tooltest::ToolRun run = winetest::RunLauncher(
        GetParam(),
        {"--board", std::string(KWOTARV_SOURCE_DIR) + "/Tests/wine/data/alarm", "--batch", commands,
         "--batch-out", scratch.Path("out"), "--event-log", events, "--service-log", log});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    for (const char* n : {"1", "6"})
        EXPECT_EQ(tooltest::ReadText(scratch.Path("out") + "/" + n + ".status"), "0\n")
            << tooltest::ReadText(scratch.Path("out") + "/" + n + ".err");

    // One warning entry with the kind, the channel and the detail as its three strings.
    const std::string entries = tooltest::ReadText(events);
    EXPECT_EQ(entries, "warn:eventlog:ReportEventW L\"Voltage\"\n"
                       "warn:eventlog:ReportEventW L\"+12V\"\n"
                       "warn:eventlog:ReportEventW L\"high, 12.09 V above the high limit "
                       "12.00 V\"\n");

    const std::string text = tooltest::ReadText(log);
    EXPECT_EQ(Count(text, " kwotarv: Voltage channel +12V: alarm raised, high, 12.09 V above the "
                          "high limit 12.00 V.\r\n"),
              1u)
        << text;
    EXPECT_EQ(Count(text, "alarm"), 1u) << text;
    EXPECT_NE(text.find("kwotarv: service stopped (exit status 0)"), std::string::npos) << text;
}

std::vector<winetest::WineSetup> NativeSetups()
{
    std::vector<winetest::WineSetup> setups;
    for (const auto& setup : winetest::WineSetups())
        if (setup.arch == setup.toolArch)
            setups.push_back(setup);
    return setups;
}

INSTANTIATE_TEST_SUITE_P(Setups, WineServiceEvents, testing::ValuesIn(NativeSetups()),
                         [](const testing::TestParamInfo<winetest::WineSetup>& info) {
                             return winetest::SetupName(info.param);
                         });

} // namespace

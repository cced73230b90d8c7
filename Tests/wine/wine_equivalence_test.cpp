// The real kwotarv.sys and kwotarv.exe under Wine against the host build of the driver and the
// tool, board by board: every sample board and every test board. One Wine session per board
// carries all commands (scripts/kwotarv-wine --batch); each command's output, exit status and
// whole-life port trace (load, start, the command, removal, unload) must equal the host
// build's, byte for byte. A board whose device must not start fails the same way: same start
// status, same trace, exit status 1 for every command. The session leaves no fault, the driver
// is unloaded, and what it publishes in the registry equals the host build's.
#include <gtest/gtest.h>

#include <tuple>

#include <algorithm>
#include <filesystem>

#include "kernel/registry/registry.hpp"
#include "kernel/rtl/text.hpp"
#include "board/board.hpp"
#include "machine/machine.hpp"
#include "process.hpp"
#include "wine_session.hpp"

namespace {

namespace fs = std::filesystem;
using Command = std::vector<std::string>;

Command Ioctl(const char* code, const char* input, const char* outputLength)
{
    Command c{"ioctl", code};
    if (*input != 0)
        c.insert(c.end(), {"--input", input});
    c.insert(c.end(), {"--output-length", outputLength, "--json"});
    return c;
}

// Every request of the tool, and each control code with lengths that fit, overflow and give no
// buffer at all, with good, bad and missing selectors.
const std::vector<Command> kCommands = {
    {"read", "--json"},
    {"info", "--json"},
    {"read"},
    {"info"},
    Ioctl("IOCTL_HWM_GET_TEMPERATURES", "", "12"),
    Ioctl("IOCTL_HWM_GET_TEMPERATURES", "", "4"),
    Ioctl("IOCTL_HWM_GET_VOLTAGES", "", "20"),
    Ioctl("IOCTL_HWM_GET_VOLTAGES", "", "0"),
    Ioctl("IOCTL_HWM_GET_CHIP_DESC", "", "384"),
    Ioctl("IOCTL_HWM_GET_CHIP_DESC", "", "100"),
    Ioctl("IOCTL_HWM_GET_CHIP_INFO", "", "1024"),
    Ioctl("IOCTL_HWM_GET_CHIP_INFO", "", "4"),
    Ioctl("IOCTL_HWM_GET_CHIP_INFO", "", "0"),
    Ioctl("IOCTL_HWM_GET_FANS", "", "20"),
    Ioctl("IOCTL_HWM_GET_FANS", "", "19"),
    Ioctl("IOCTL_HWM_GET_CHANNEL_NAMES", "01000000", "1024"),
    Ioctl("IOCTL_HWM_GET_CHANNEL_NAMES", "04000000", "8"),
    Ioctl("IOCTL_HWM_GET_CHANNEL_NAMES", "09000000", "64"),
    Ioctl("IOCTL_HWM_GET_CHANNEL_NAMES", "0300", "64"),
    Ioctl("IOCTL_HWM_GET_CHANNEL_VALUES", "05000000", "64"),
    Ioctl("IOCTL_HWM_GET_CHANNEL_VALUES", "02000000", "2"),
    Ioctl("IOCTL_HWM_GET_CHANNEL_VALUES", "", "64"),
    Ioctl("IOCTL_HWM_GET_CHANNEL_VALUES", "00000000", "64"),
    Ioctl("IOCTL_HWM_GET_CHANNEL_LIMITS", "01000000", "128"),
    Ioctl("IOCTL_HWM_GET_CHANNEL_LIMITS", "05000000", "64"),
    Ioctl("IOCTL_HWM_GET_CHANNEL_LIMITS", "04000000", "4"),
    Ioctl("IOCTL_HWM_GET_CHANNEL_LIMITS", "01000000", "2"),
    Ioctl("IOCTL_HWM_GET_CHANNEL_LIMITS", "09000000", "64"),
    Ioctl("IOCTL_HWM_GET_CHANNEL_LIMITS", "0300", "64"),
};

std::string Describe(const Command& command)
{
    std::string text;
    for (const auto& word : command)
        text += (text.empty() ? "" : " ") + word;
    return text;
}

// Every sample board and every test board, as "Boards/x" or "Tests/kwotarv/data/x"; the boards
// with limits of the alert tests and of the service's alarm events among them.
std::vector<std::string> AllBoards()
{
    std::vector<std::string> boards;
    for (const char* parent :
         {"Boards", "Tests/kwotarv/data", "Tests/alerts/data", "Tests/wine/data"})
        for (const auto& entry : fs::directory_iterator(fs::path(KWOTARV_SOURCE_DIR) / parent))
            if (entry.is_directory())
                boards.push_back(std::string(parent) + "/" + entry.path().filename().string());
    std::sort(boards.begin(), boards.end());
    return boards;
}

std::string Absolute(const std::string& board)
{
    return std::string(KWOTARV_SOURCE_DIR) + "/" + board;
}

struct HostRun {
    tooltest::ToolRun run;
    std::string trace;
};

HostRun RunHost(const std::string& board, const Command& command)
{
    tooltest::ScratchDir scratch;
    const std::string trace = scratch.Path("trace");
    std::vector<std::string> argv{KWOTARV_TOOL, "--board", board, "--trace-ports", trace};
    argv.insert(argv.end(), command.begin(), command.end());
    HostRun host;
    host.run = tooltest::RunProgram(argv);
    host.trace = tooltest::ReadText(trace);
    return host;
}

// The host build's start: the status, the DbgPrint lines and the published values.
struct HostStart {
    std::string status;
    std::string debug;
    std::vector<sim::registry::Value> published;
};

HostStart StartOnHost(const std::string& board)
{
    sim::machine::Machine machine(sim::machine::LoadBoard(board));
    const sim::machine::StartOutcome start = machine.PowerOn();
    HostStart host;
    host.status = sim::text::Hex(start.status, 8);
    for (const auto& line : machine.DebugLines())
        host.debug += line;
    host.published = machine.PublishedValues();
    machine.PowerOff();
    return host;
}

// A REG_SZ value's UTF-16 text as UTF-8.
std::string Text(const sim::registry::Value& value)
{
    std::u16string units(value.data.size() / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i)
        units[i] = static_cast<char16_t>(value.data[2 * i] | value.data[2 * i + 1] << 8);
    return sim::text::Utf16ToUtf8(units);
}

// One board with one architecture's image and one kwotarv.exe: the same host run is the
// reference for every combination.
class WineEquivalence
    : public testing::TestWithParam<std::tuple<std::string, winetest::WineSetup>> {
  protected:
    void SetUp() override
    {
        if (auto why = winetest::WhyNoWine())
            GTEST_SKIP() << *why;
    }
    std::string Board() const { return Absolute(std::get<0>(GetParam())); }
    const winetest::WineSetup& Setup() const { return std::get<1>(GetParam()); }
};

TEST_P(WineEquivalence, SameOutputTracesAndRegistryAsTheHostBuild)
{
    const std::string board = Board();
    const tooltest::ToolRun usage = tooltest::RunProgram({KWOTARV_TOOL, "--board", board, "read"});
    if (usage.exitCode == 2) {
        // A board the tool refuses before anything runs: the same refusal, word for word.
        const tooltest::ToolRun wine = winetest::RunLauncher(Setup(), {"--board", board, "read"});
        EXPECT_EQ(wine.exitCode, 2);
        EXPECT_EQ(wine.err, usage.err);
        EXPECT_EQ(wine.out, usage.out);
        return;
    }

    const winetest::BatchSession wine = winetest::RunBatch(Setup(), board, kCommands);
    ASSERT_EQ(wine.launcher.exitCode, 0) << wine.launcher.err;
    EXPECT_EQ(wine.faults, "") << "the HAL reported faults";
    EXPECT_NE(wine.halLog.find("driver unloaded"), std::string::npos) << wine.halLog;
    // The load was held until Wine's PnP manager existed (a Wine where the HAL cannot find it
    // would be back to the start-up race that kills winedevice.exe now and then).
    EXPECT_NE(wine.halLog.find("Wine's PnP manager ready after"), std::string::npos) << wine.halLog;
    ASSERT_EQ(wine.commands.size(), kCommands.size());

    const HostStart host = StartOnHost(board);
    EXPECT_EQ(wine.startStatus, host.status) << "IRP_MN_START_DEVICE";
    EXPECT_EQ(winetest::NormaliseWine(wine.startDebug), host.debug) << "DbgPrint during start";
    const bool started = host.status.rfind("0x0", 0) == 0 || host.status.rfind("0x4", 0) == 0;

    for (size_t i = 0; i < kCommands.size(); ++i) {
        SCOPED_TRACE(Describe(kCommands[i]));
        const HostRun expected = RunHost(board, kCommands[i]);
        const winetest::CommandResult& got = wine.commands[i];
        EXPECT_EQ(got.status, expected.run.exitCode);
        if (started && winetest::WineGivesABufferOfZeroBytes(kCommands[i])) {
            EXPECT_EQ(winetest::DropStatus(got.out), winetest::DropStatus(expected.run.out));
        } else {
            EXPECT_EQ(winetest::NormaliseWine(got.out), expected.run.out);
        }
        if (started)
            EXPECT_EQ(got.err, expected.run.err);
        else
            EXPECT_NE(got.err.find("KwoTarvDev not found"), std::string::npos) << got.err;
        EXPECT_EQ(wine.startTrace + got.trace + wine.endTrace, expected.trace)
            << "the whole-life port trace";
    }

    // What the driver published, as read back from Wine's registry after the start.
    sim::registry::Reset();
    sim::registry::ImportRegFile(wine.publishedFile);
    std::vector<sim::registry::Value> published;
    for (const char* name : sim::machine::kPublishedValueNames)
        if (auto value = sim::registry::GetValue(sim::machine::kServiceKeyPath, name))
            published.push_back(*value);
    ASSERT_EQ(published.size(), host.published.size());
    for (size_t i = 0; i < published.size(); ++i) {
        SCOPED_TRACE(host.published[i].name);
        EXPECT_EQ(published[i].type, host.published[i].type);
        if (host.published[i].name == "InterfaceName")
            EXPECT_EQ(winetest::NormaliseWine(Text(published[i])), Text(host.published[i]));
        else
            EXPECT_EQ(published[i].data, host.published[i].data);
    }
}

// One whole launcher call per board, as a user makes it: output, status and port trace equal
// the host tool's for the same command line.
TEST_P(WineEquivalence, OneLauncherCallGivesTheHostToolsOutputAndTrace)
{
    const std::string board = Board();
    tooltest::ScratchDir scratch;
    const std::string trace = scratch.Path("trace");
    const tooltest::ToolRun wine = winetest::RunLauncher(
        Setup(), {"--board", board, "--trace-ports", trace, "read", "--json"});
    const HostRun host = RunHost(board, {"read", "--json"});
    EXPECT_EQ(wine.exitCode, host.run.exitCode) << wine.err;
    EXPECT_EQ(wine.out, host.run.out);
    if (host.run.exitCode != 2)
        EXPECT_EQ(tooltest::ReadText(trace), host.trace);
}

std::string
TestName(const testing::TestParamInfo<std::tuple<std::string, winetest::WineSetup>>& info)
{
    std::string name = std::get<0>(info.param) + "_" + winetest::SetupName(std::get<1>(info.param));
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Boards, WineEquivalence,
                         testing::Combine(testing::ValuesIn(AllBoards()),
                                          testing::ValuesIn(winetest::WineSetups())),
                         TestName);

} // namespace

namespace {

// Command lines refused before any Wine session starts: exit status 2, and for a board or
// file the host tool refuses too, the host tool's own message.
TEST(WineLauncher, RefusesWhatTheHostToolRefusesWithTheSameMessage)
{
    if (auto why = winetest::WhyNoWine())
        GTEST_SKIP() << *why;
    const std::string nct6776 = std::string(KWOTARV_SOURCE_DIR) + "/Boards/nct6776";
    const std::vector<std::vector<std::string>> sameAsHost = {
        {"--board", "/nonexistent/board", "read"},
        {"--board", nct6776, "--firmware", "/nonexistent/fseg.bin", "read"},
        {"--board", nct6776, "--registry", "/nonexistent/registry.reg", "info"},
    };
    for (const auto& args : sameAsHost) {
        SCOPED_TRACE(Describe(args));
        std::vector<std::string> host{KWOTARV_TOOL};
        host.insert(host.end(), args.begin(), args.end());
        const tooltest::ToolRun expected = tooltest::RunProgram(host);
        const tooltest::ToolRun wine = winetest::RunLauncher({"i686", "i686"}, args);
        EXPECT_EQ(expected.exitCode, 2);
        EXPECT_EQ(wine.exitCode, 2);
        EXPECT_EQ(wine.err, expected.err);
    }
    const std::vector<std::vector<std::string>> launcherOnly = {
        {"check"},
        {"--arch", "sparc", "read"},
        {"--batch", "/nonexistent/commands", "--batch-out", "/tmp/x"},
        {"--board"},
    };
    for (const auto& args : launcherOnly) {
        SCOPED_TRACE(Describe(args));
        const tooltest::ToolRun wine = winetest::RunLauncher({"i686", "i686"}, args);
        EXPECT_EQ(wine.exitCode, 2);
        EXPECT_EQ(wine.err.rfind("kwotarv-wine: ", 0), 0u) << wine.err;
    }
}

} // namespace

// End to end: the ioctl command, the simulator options, --watch, and the failures the tool
// reports (exit 1 when the device does not start or a request fails, 2 for usage errors).
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include <nlohmann/json.hpp>

#include "kwotarv/tool_process.hpp"

namespace {

using nlohmann::json;
using tooltest::BoardDir;
using tooltest::DataDir;
using tooltest::RunTool;
using tooltest::ToolRun;

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// ---- raw requests ----------------------------------------------------------------------------

TEST(IoctlCommand, ShortChipInfoRequestTellsTheSizeInItsFirstFourBytes)
{
    ToolRun run = RunTool({"ioctl", "0x222410", "--output-length", "4", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err; // a warning status is not a failure
    const json reply = json::parse(run.out);
    EXPECT_EQ(reply["code"], "0x222410");
    EXPECT_EQ(reply["status"], "0x80000005");
    EXPECT_EQ(reply["information"], 4);
    EXPECT_EQ(reply["output"], "20030000"); // 800 bytes, little-endian
}

TEST(IoctlCommand, ChipInfoWithRoomReturnsTheWholeBlock)
{
    ToolRun run =
        RunTool({"ioctl", "IOCTL_HWM_GET_CHIP_INFO", "--output-length", "1000", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const json reply = json::parse(run.out);
    EXPECT_EQ(reply["status"], "0x00000000");
    EXPECT_EQ(reply["information"], 800);
    const std::string output = reply["output"];
    EXPECT_EQ(output.size(), 1600u);
    EXPECT_EQ(output.substr(0, 8), "20030000");
}

TEST(IoctlCommand, TemperatureRequestReturnsZeroThenTheTwoChannels)
{
    // The temperature code needs write access; the tool's handle has it.
    ToolRun run = RunTool({"ioctl", "0x22A400", "--output-length", "12", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const json reply = json::parse(run.out);
    EXPECT_EQ(reply["status"], "0x00000000");
    EXPECT_EQ(reply["information"], 12);
    // 0, then 450 (45.0 degrees) and 335 (33.5 degrees) in tenths.
    EXPECT_EQ(reply["output"], "00000000c20100004f010000");
}

TEST(IoctlCommand, FanNamesComeInSixtyFourByteSlots)
{
    ToolRun run = RunTool(
        {"ioctl", "0x222480", "--input", "05 00 00 00", "--output-length", "192", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const json reply = json::parse(run.out);
    EXPECT_EQ(reply["information"], 192);
    const std::string output = reply["output"];
    ASSERT_EQ(output.size(), 384u);
    // "CPU Fan" in UTF-16LE and its terminator, zero bytes to the end of the slot, then
    // "System Fan" in the second slot.
    EXPECT_EQ(output.substr(0, 32), "4300500055002000460061006e000000");
    EXPECT_EQ(output.substr(32, 96), std::string(96, '0'));
    EXPECT_EQ(output.substr(128, 24), "530079007300740065006d00");
}

TEST(IoctlCommand, MalformedSelectorInputFailsWithExitStatusOne)
{
    ToolRun run = RunTool({"ioctl", "0x222480", "--input", "0500"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("status       0xC000000D STATUS_INVALID_PARAMETER\n"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("output       0 of 1024 bytes returned\n"), std::string::npos);
}

TEST(IoctlCommand, UnknownCodeIsRefusedByTheDriver)
{
    ToolRun run = RunTool({"ioctl", "0x222000", "--json"});
    EXPECT_EQ(run.exitCode, 1);
    const json reply = json::parse(run.out);
    EXPECT_EQ(reply["status"], "0xC000000D");
    EXPECT_EQ(reply["output"], "");
}

// ---- usage errors ----------------------------------------------------------------------------

struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    const char* message;
};

void PrintTo(const UsageCase& c, std::ostream* os)
{
    *os << c.name;
}

class UsageErrorTest : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageErrorTest, ExitsWithTwoAndSaysWhatIsWrong)
{
    ToolRun run = RunTool(GetParam().args);
    EXPECT_EQ(run.exitCode, 2) << run.out << run.err;
    EXPECT_NE(run.err.find(GetParam().message), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Tool, UsageErrorTest,
    ::testing::Values(
        UsageCase{"UnknownOption", {"--bogus"}, "--bogus"},
        UsageCase{"BadCode", {"ioctl", "nonsense"}, "'nonsense' is not a control code"},
        UsageCase{"OddHexInput", {"ioctl", "0x222480", "--input", "123"}, "is not hex bytes"},
        UsageCase{"WatchOnInfo", {"info", "--watch", "1"}, "apply to the read command only"},
        UsageCase{"ZeroCount", {"--count", "0"}, "--count"},
        UsageCase{"MissingBoard", {"--board", "/nonexistent/board"}, "does not exist"},
        UsageCase{"BadBoardJson",
                  {"--board", DataDir("bad-json")},
                  "registers.0x0020: '0xZZ' is not a number"},
        UsageCase{"MissingFirmware", {"--firmware", "/nonexistent.bin"}, "does not exist"},
        UsageCase{"FirmwareOfWrongSize",
                  {"--firmware", std::string(KWOTARV_SOURCE_DIR) + "/Boards/nct6776/board.json"},
                  "a dump of the F-segment (0xF0000-0xFFFFF) is 65536 bytes"},
        UsageCase{"UnknownChipForCheck", {"check", "--chip", "X9999"}, "not a known chip"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- the device does not start ---------------------------------------------------------------

struct StartFailure {
    const char* board;
    std::vector<const char*> messages;
};

void PrintTo(const StartFailure& c, std::ostream* os)
{
    *os << c.board;
}

class StartFailureTest : public ::testing::TestWithParam<StartFailure> {};

TEST_P(StartFailureTest, ExitsWithOneAndExplainsWhy)
{
    ToolRun run = RunTool({"--board", DataDir(GetParam().board)});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("kwotarv: device did not start: ", 0), 0u) << run.err;
    for (const char* message : GetParam().messages)
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    // A failed start is removed and unloaded like any other: nothing may be left behind.
    EXPECT_EQ(run.err.find("simulator"), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Tool, StartFailureTest,
    ::testing::Values(
        StartFailure{"no-chip", {"no Super I/O chip answered at 0x2E/0x2F or 0x4E/0x4F"}},
        StartFailure{"unknown-chip-id", {"answers with ID 0xC1", "correct \"chip_id\""}},
        StartFailure{"no-registry", {"the registry has no", "\\KwoTarv\\Product key"}},
        StartFailure{"no-firmware", {"the firmware image holds no product name"}},
        StartFailure{"firmware-mismatch",
                     {"no Product pattern matches the board's product name 'RZV-900'"}},
        StartFailure{"register-range",
                     {"the configuration Product\\LUW-N3160 (matched by product name "
                      "'LUW-N3160') did not load",
                      "Product\\LUW-N3160\\Voltage\\1\\RegIndex: 8 is out of range"}},
        StartFailure{"missing-profile", {"Product\\QIB-12*\\Profile: names 'QIB-12xx'"}}),
    [](const auto& info) {
        std::string name = info.param.board;
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

// ---- reading ------------------------------------------------------------------------------------

TEST(ReadCommand, ChannelsBeyondTheReadingsAreBoundedAndTheThirdTemperatureIsNotRead)
{
    ToolRun run = RunTool({"--board", DataDir("too-many-channels"), "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const json reading = json::parse(run.out);
    EXPECT_EQ(reading["voltages"].size(), 9u);
    EXPECT_EQ(reading["fans"].size(), 5u);
    ASSERT_EQ(reading["temperatures"].size(), 3u);
    EXPECT_FALSE(reading["temperatures"][1]["celsius"].is_null());
    EXPECT_TRUE(reading["temperatures"][2]["celsius"].is_null());

    ToolRun text = RunTool({"--board", DataDir("too-many-channels")});
    EXPECT_NE(text.out.find("  T2               -    (the driver reads two channels)\n"),
              std::string::npos)
        << text.out;
}

TEST(ReadCommand, EmptyGroupsStayValidJson)
{
    // One voltage channel and nothing else.
    ToolRun run = RunTool({"--board", DataDir("catch-all-pattern"), "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const json reading = json::parse(run.out);
    EXPECT_EQ(reading["voltages"].size(), 1u);
    EXPECT_TRUE(reading["temperatures"].is_array());
    EXPECT_TRUE(reading["temperatures"].empty());
    EXPECT_TRUE(reading["fans"].is_array());
    EXPECT_TRUE(reading["fans"].empty());

    ToolRun info = RunTool({"info", "--board", DataDir("catch-all-pattern"), "--json"});
    ASSERT_EQ(info.exitCode, 0) << info.err;
    const json block = json::parse(info.out)["info_block"];
    EXPECT_EQ(block["size"], 536); // no temperature group
    EXPECT_EQ(block["groups"].size(), 1u);
}

TEST(ReadCommand, CountRepeatsAsJsonLines)
{
    ToolRun run = RunTool({"--json", "--watch", "0", "--count", "3"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 3u);
    for (const auto& line : lines)
        EXPECT_EQ(json::parse(line)["fans"][0]["rpm"], 1500);
}

TEST(ReadCommand, RepeatedTextIsAppendedWhenNotATerminal)
{
    ToolRun run = RunTool({"--count", "2", "--board", BoardDir("w83627hf")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.find('\x1b'), std::string::npos) << "no cursor movement into a file";
    const size_t first = run.out.find("Reading 1 of 2\n");
    const size_t second = run.out.find("Reading 2 of 2\n");
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_NE(run.out.find("Winbond W83627HF Hardware Monitor", second), std::string::npos);
}

// ---- simulator options -------------------------------------------------------------------------

TEST(SimulatorOptions, TracePortsRecordsDetectionAtTheFallbackPair)
{
    tooltest::ScratchDir scratch;
    const std::string trace = scratch.Path("ports.txt");
    ToolRun run = RunTool({"--board", BoardDir("w83627dhg"), "--trace-ports", trace});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto lines = Lines(tooltest::ReadText(trace));
    // Nothing answers at 0x2E/0x2F; the chip answers at 0x4E/0x4F with ID 0xB0.
    const std::vector<std::string> detection = {
        "W 0x2E 0x87", "W 0x2E 0x87", "W 0x2E 0x20", "R 0x2F 0xFF", "W 0x2E 0xAA",
        "W 0x4E 0x87", "W 0x4E 0x87", "W 0x4E 0x20", "R 0x4F 0xB0", "W 0x4E 0xAA"};
    ASSERT_GE(lines.size(), detection.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + detection.size()), detection);
    // The hardware monitor at 0xA10: index port 0xA15, data port 0xA16.
    EXPECT_NE(std::find(lines.begin(), lines.end(), "W 0xA15 0x4E"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "R 0xA16 0xE3"), lines.end()); // +12V
}

TEST(SimulatorOptions, RegistryOutWritesAFileThatImportsAgain)
{
    tooltest::ScratchDir scratch;
    const std::string out = scratch.Path("after.reg");
    ToolRun run = RunTool({"--board", BoardDir("nct5523d"), "--registry-out", out});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string text = tooltest::ReadText(out);
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00", 0), 0u);
    EXPECT_NE(text.find("\"ChipsetType\"=dword:00000007"), std::string::npos);
    EXPECT_NE(text.find("\\KwoTarv\\Product\\LUW-N3160\\Voltage\\1]"), std::string::npos);

    // The exported configuration serves as a registry file of its own.
    ToolRun again = RunTool({"--board", BoardDir("nct5523d"), "--registry", out, "--json"});
    ASSERT_EQ(again.exitCode, 0) << again.err;
    ToolRun original = RunTool({"--board", BoardDir("nct5523d"), "--json"});
    EXPECT_EQ(again.out, original.out);
}

TEST(SimulatorOptions, DebugOutputShowsTheDriversLinesOnStderr)
{
    ToolRun run = RunTool({"--debug-output", "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("Registered interface name: L\"\\??\\ROOT#KwoTarv#0000#"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("thermal_status:0x88320000, dsr:50, tjmax:95, ulValue:45"),
              std::string::npos)
        << run.err;
    EXPECT_NO_THROW(json::parse(run.out)); // stdout stays pure JSON
}

TEST(SimulatorOptions, FirmwareOptionReplacesTheBoardsImage)
{
    // The KERD-410 dump on the NCT6776 board: no pattern of that board matches it.
    ToolRun run = RunTool({"--firmware", BoardDir("w83627hf") + "/fseg.bin"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("product name 'KERD-410'"), std::string::npos) << run.err;
}

// The README quotes what --watch accepts as --help says it (line breaks aside).
TEST(Help, TheReadmeQuotesTheWatchOptionAsHelpDoes)
{
    auto words = [](const std::string& text) {
        std::istringstream in(text);
        std::string word, joined;
        while (in >> word)
            joined += (joined.empty() ? "" : " ") + word;
        return joined;
    };
    const ToolRun help = RunTool({"--help"});
    ASSERT_EQ(help.exitCode, 0) << help.err;
    const size_t option = help.out.find("--watch SECONDS");
    ASSERT_NE(option, std::string::npos) << help.out;
    const size_t from = help.out.find("read:", option);
    const std::string said = words(help.out.substr(from, help.out.find('\n', from) - from));
    const std::string readme =
        words(tooltest::ReadText(std::string(KWOTARV_SOURCE_DIR) + "/README.md"));
    EXPECT_NE(readme.find("`--watch SECONDS` is \"" + said + "\""), std::string::npos) << said;
}

} // namespace

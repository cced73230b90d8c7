// End to end: kwotarv run as a process against every sample board. The expected readings are
// worked out by hand from the register contents in each board.json (see the comments): voltage
// = raw, times the chip's fixed input scaling, then (R1 + R2) x raw x LSB / (R2 x 10)
// hundredths of a volt (LSB 16 mV on the W83627HF, 8 mV elsewhere); temperatures in whole and
// half degrees from the register, the processor's readout below TjMax, or the northbridge's
// eighths; fans as the raw 16-bit count.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "kwotarv/tool_process.hpp"

namespace {

using nlohmann::json;
using tooltest::BoardDir;
using tooltest::RunTool;

struct Voltage {
    const char* name;
    double volts;
};
struct Temperature {
    const char* name;
    double celsius;
};
struct Fan {
    const char* name;
    uint32_t count;
    std::optional<uint32_t> rpm;
};

struct BoardCase {
    const char* board; // "" for the built-in demo board
    const char* description;
    uint32_t chipsetType;
    std::vector<Voltage> voltages;
    std::vector<Temperature> temperatures;
    std::vector<Fan> fans;
};

// Boards/nct6776, which is also the built-in demo board. NCT6776: LSB 8 mV; inputs 0x22, 0x23,
// 0x0550 and 0x0551 doubled inside the chip.
const BoardCase kNct6776{
    "nct6776",
    "Nuvoton NCT6776 Hardware Monitor",
    6,
    {
        {"VCORE", 1.00}, // 0x20 = 0x7D = 125: 125 x 8 / 10 = 100
        {"+12V", 12.09}, // 0x21 = 0xE5 = 229, 56k/10k: 66 x 229 x 8 / 100 = 1209
        {"AVCC", 3.32},  // 0x22 = 0xD0 = 208, doubled 416: 416 x 8 / 10 = 332
        {"3VCC", 3.31},  // 0x23 = 0xCF = 207, doubled 414: 331
        {"+5V", 5.02},   // 0x24 = 0x9D = 157, 30k/10k: 40 x 157 x 8 / 100 = 502
        {"3VSB", 3.32},  // 0x0550 = 0xD0, doubled: 332
        {"VBAT", 3.21},  // 0x0551 = 0xC9 = 201, doubled 402: 321
    },
    {
        {"CPU", 45.0},    // thermal status 0x88320000: readout 0x32 = 50 below TjMax 95
        {"System", 33.5}, // 0x0073/0x0074 = 0x21, 0x80: 0x2180 / 128 = 67 half degrees
    },
    {
        {"CPU Fan", 7172, 1500},    // 0x1C04: count 0x1C << 5 | 4 = 900, 1350000 / 900
        {"System Fan", 8965, 1200}, // 0x2305: count 0x23 << 5 | 5 = 1125
        {"Aux Fan", 65311, 0},      // 0xFF1F: every count bit set, the fan stands
    },
};

// Boards/w83627hf. W83627HF: LSB 16 mV; 0x23 scaled by 84/50, 0x0550 by 50/33; no fans.
const BoardCase kW83627hf{
    "w83627hf",
    "Winbond W83627HF Hardware Monitor",
    2,
    {
        {"VCORE", 1.50}, // 0x20 = 0x5E = 94: 94 x 16 / 10 = 150
        {"+12V", 11.97}, // 0x24 = 0xC5 = 197, 28k/10k: 38 x 197 x 16 / 100 = 1197
        {"+5V", 4.99},   // 0x23 = 0xBA = 186 x 84 / 50 = 312: 312 x 16 / 10 = 499
        {"3VCC", 3.29},  // 0x22 = 0xCE = 206 (not scaled on this chip): 329
        {"5VSB", 5.00},  // 0x0550 = 0xCF = 207 x 50 / 33 = 313: 500
        {"VBAT", 3.00},  // 0x0551 = 0xBC = 188: 300
    },
    {
        {"CPU", 45.8},    // northbridge 0x2DE00000: 45 degrees and 7/8 (8 tenths)
        {"System", 30.0}, // 0x27 = 0x1E
    },
    {},
};

// Boards/w83627dhg (ID 0xB0 at 0x4E/0x4F). W83627DHG: LSB 8 mV, same doubling as the NCT6776.
const BoardCase kW83627dhg{
    "w83627dhg",
    "Winbond W83627DHG Hardware Monitor",
    1,
    {
        {"VCORE", 1.12}, // 0x20 = 0x8C = 140: 112
        {"+12V", 11.98}, // 0x21 = 0xE3 = 227, 56k/10k: 66 x 227 x 8 / 100 = 1198
        {"AVCC", 3.26},  // 0x22 = 0xCC = 204, doubled 408: 326
        {"3VCC", 3.29},  // 0x23 = 0xCE = 206, doubled 412: 329
        {"+5V", 4.99},   // 0x24 = 0x9C = 156, 30k/10k: 40 x 156 x 8 / 100 = 499
        {"3VSB", 3.31},  // 0x0550 = 0xCF, doubled 414: 331
        {"VBAT", 3.04},  // 0x0551 = 0xBE = 190, doubled 380: 304
    },
    {
        {"CPU", 43.0},    // thermal status 0x88390000: readout 57 below TjMax 100
        {"System", 30.5}, // 0x0150/0x0151 = 0x20, 0x80: 32.5, Offset -2
    },
    {},
};

// Boards/nct5523d. NCT5523D: its own voltage table (index 6 is register 0x01, 7 is 0x04), low
// bytes 0x02, 0x03, 0x07, 0x08 doubled; fan counts are not speeds on this chip.
const BoardCase kNct5523d{
    "nct5523d",
    "Nuvoton NCT5523D/6106D Hardware Monitor",
    7,
    {
        {"VCORE", 1.14}, // 0x00 = 0x8F = 143: 114
        {"+12V", 11.93}, // 0x01 = 0xE2 = 226, 56k/10k: 66 x 226 x 8 / 100 = 1193
        {"+5V", 4.99},   // 0x04 = 0x9C = 156, 30k/10k: 499
        {"AVCC", 3.34},  // 0x02 = 0xD1 = 209, doubled 418: 334
        {"3VCC", 3.29},  // 0x03 = 0xCE, doubled: 329
        {"3VSB", 3.31},  // 0x07 = 0xCF, doubled: 331
        {"VBAT", 3.07},  // 0x08 = 0xC0 = 192, doubled 384: 307
    },
    {
        {"CPU", 45.5},    // northbridge 0x2D800000: 45 degrees and 4/8
        {"System", 28.5}, // 0x0010 = 0x1C with bit 0 of the shared register 0x16: 0x1C80
    },
    {
        {"CPU Fan", 2580, std::nullopt},    // 0x30/0x31 = 0x0A, 0x14
        {"System Fan", 3200, std::nullopt}, // 0x32/0x33 = 0x0C, 0x80
    },
};

std::vector<std::string> BoardArgs(const BoardCase& board)
{
    if (std::string(board.board).empty())
        return {};
    return {"--board", BoardDir(board.board)};
}

void PrintTo(const BoardCase& c, std::ostream* os)
{
    *os << (*c.board ? c.board : "demo");
}

class SampleBoardTest : public ::testing::TestWithParam<BoardCase> {};

TEST_P(SampleBoardTest, JsonReadingsMatchTheRegisterContents)
{
    const BoardCase& board = GetParam();
    std::vector<std::string> args = BoardArgs(board);
    args.push_back("--json");
    tooltest::ToolRun run = RunTool(args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "") << "the run left something behind";

    const json reading = json::parse(run.out);
    EXPECT_EQ(reading["description"], board.description);
    EXPECT_FALSE(reading.contains("errors"));

    ASSERT_EQ(reading["voltages"].size(), board.voltages.size());
    for (size_t i = 0; i < board.voltages.size(); ++i) {
        SCOPED_TRACE(board.voltages[i].name);
        EXPECT_EQ(reading["voltages"][i]["name"], board.voltages[i].name);
        EXPECT_DOUBLE_EQ(reading["voltages"][i]["volts"].get<double>(), board.voltages[i].volts);
    }
    ASSERT_EQ(reading["temperatures"].size(), board.temperatures.size());
    for (size_t i = 0; i < board.temperatures.size(); ++i) {
        SCOPED_TRACE(board.temperatures[i].name);
        EXPECT_EQ(reading["temperatures"][i]["name"], board.temperatures[i].name);
        EXPECT_DOUBLE_EQ(reading["temperatures"][i]["celsius"].get<double>(),
                         board.temperatures[i].celsius);
    }
    ASSERT_EQ(reading["fans"].size(), board.fans.size());
    for (size_t i = 0; i < board.fans.size(); ++i) {
        SCOPED_TRACE(board.fans[i].name);
        EXPECT_EQ(reading["fans"][i]["name"], board.fans[i].name);
        EXPECT_EQ(reading["fans"][i]["count"], board.fans[i].count);
        if (board.fans[i].rpm)
            EXPECT_EQ(reading["fans"][i]["rpm"], *board.fans[i].rpm);
        else
            EXPECT_TRUE(reading["fans"][i]["rpm"].is_null());
    }
}

TEST_P(SampleBoardTest, InfoShowsTheBlockAndThePublishedValues)
{
    const BoardCase& board = GetParam();
    std::vector<std::string> args = BoardArgs(board);
    args.insert(args.begin(), "info");
    args.push_back("--json");
    tooltest::ToolRun run = RunTool(args);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const json info = json::parse(run.out);

    std::string list;
    std::vector<std::string> names;
    for (const auto& v : board.voltages) {
        list += std::string(v.name) + " ";
        names.push_back(v.name);
    }
    EXPECT_EQ(info["description"], board.description);
    EXPECT_EQ(info["voltage_list"], list);

    // Two temperature channels: a voltage group and two temperature groups, 800 bytes.
    const json& block = info["info_block"];
    EXPECT_EQ(block["size"], 800);
    EXPECT_EQ(block["description"], board.description);
    ASSERT_EQ(block["groups"].size(), 3u);
    EXPECT_EQ(block["groups"][0]["kind"], 1);
    EXPECT_EQ(block["groups"][0]["names"], names);
    EXPECT_EQ(block["groups"][1]["kind"], 2);
    EXPECT_EQ(block["groups"][1]["names"], json::array({board.temperatures[0].name}));
    EXPECT_EQ(block["groups"][2]["kind"], 3);
    EXPECT_EQ(block["groups"][2]["names"], json::array({board.temperatures[1].name}));
    EXPECT_FALSE(block.contains("problems"));

    const json& registry = info["registry"];
    EXPECT_EQ(registry["ChipsetType"], board.chipsetType);
    EXPECT_EQ(registry["ChipDesc"], board.description);
    EXPECT_EQ(registry["VoltageList"], json::array({list}));
    const std::string interface = registry["InterfaceName"];
    EXPECT_EQ(interface.rfind("\\\\.\\", 0), 0u) << interface;
    EXPECT_NE(interface.find("{c52b5736-1adb-43d0-9a05-25b5c26cba96}"), std::string::npos);
}

BoardCase Demo()
{
    BoardCase demo = kNct6776;
    demo.board = "";
    return demo;
}

INSTANTIATE_TEST_SUITE_P(Boards, SampleBoardTest,
                         ::testing::Values(kNct6776, kW83627hf, kW83627dhg, kNct5523d, Demo()),
                         [](const auto& info) {
                             std::string name = info.param.board;
                             return name.empty() ? std::string("demo") : name;
                         });

TEST(SampleBoardText, DemoBoardReadsAsATable)
{
    tooltest::ToolRun run = RunTool({});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // The board configures limits, so every channel shows them and its verdict; the Aux fan
    // header has nothing on it and stands.
    EXPECT_EQ(run.out, "Nuvoton NCT6776 Hardware Monitor\n"
                       "\n"
                       "Voltages\n"
                       "  VCORE           1.00 V                0.90 .. 1.10  ok\n"
                       "  +12V           12.09 V              11.40 .. 12.60  ok\n"
                       "  AVCC            3.32 V                3.14 .. 3.46  ok\n"
                       "  3VCC            3.31 V                3.14 .. 3.46  ok\n"
                       "  +5V             5.02 V                4.75 .. 5.25  ok\n"
                       "  3VSB            3.32 V                3.14 .. 3.46  ok\n"
                       "  VBAT            3.21 V                2.70 .. 3.30  ok\n"
                       "\n"
                       "Temperatures\n"
                       "  CPU             45.0 \u00B0C                    .. 85.0  ok\n"
                       "  System          33.5 \u00B0C                    .. 60.0  ok\n"
                       "\n"
                       "Fans (count, speed)\n"
                       "  CPU Fan         7172    1500 RPM          .. 21516  ok\n"
                       "  System Fan      8965    1200 RPM          .. 21516  ok\n"
                       "  Aux Fan        65311       0 RPM          .. 21516  STOPPED\n");
}

TEST(SampleBoardText, ChipWithoutFanRegistersShowsNoFansAndNoSpeeds)
{
    tooltest::ToolRun hf = RunTool({"--board", BoardDir("w83627hf")});
    ASSERT_EQ(hf.exitCode, 0) << hf.err;
    EXPECT_NE(hf.out.find("  +5V           4.99 V       4.75 .. 5.25  ok\n"), std::string::npos)
        << hf.out;
    EXPECT_NE(hf.out.find("  CPU           45.8 \u00B0C           .. 85.0  ok\n"),
              std::string::npos)
        << hf.out;
    EXPECT_NE(hf.out.find("Fans (count)\n  (none)\n"), std::string::npos) << hf.out;

    tooltest::ToolRun nct = RunTool({"--board", BoardDir("nct5523d")});
    ASSERT_EQ(nct.exitCode, 0) << nct.err;
    EXPECT_NE(nct.out.find("Fans (count)\n  CPU Fan         2580              .. 6000  ok\n"
                           "  System Fan      3200              .. 6000  ok\n"),
              std::string::npos)
        << nct.out;
    EXPECT_EQ(nct.out.find("RPM"), std::string::npos);
}

TEST(SampleBoardText, InfoTextListsGroupsAndValues)
{
    tooltest::ToolRun run = RunTool({"info", "--board", BoardDir("w83627dhg")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("Description   Winbond W83627DHG Hardware Monitor\n"),
              std::string::npos);
    EXPECT_NE(run.out.find("Voltage list  \"VCORE +12V AVCC 3VCC +5V 3VSB VBAT \"\n"),
              std::string::npos);
    EXPECT_NE(run.out.find("Info block    800 bytes, 3 groups\n"
                           "  1 voltages            VCORE, +12V, AVCC, 3VCC, +5V, 3VSB, VBAT\n"
                           "  2 first temperature   CPU\n"
                           "  3 second temperature  System\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("  ChipsetType    REG_DWORD     1\n"), std::string::npos) << run.out;
}

} // namespace

// --fail-on-alarm turns a channel in alarm into exit status 3, and the JSON says which side.
TEST(SampleBoardAlarms, FailOnAlarmAndTheJsonVerdict)
{
    const struct {
        std::vector<std::string> args;
        int exitCode;
    } table[] = {
        {{}, 0},                  // without the option an alarm is no failure
        {{"--fail-on-alarm"}, 3}, // the demo board's Aux fan stands
        {{"--fail-on-alarm", "--board", BoardDir("nct5523d")}, 0},
        {{"--fail-on-alarm", "--json"}, 3},
        {{"info", "--fail-on-alarm"}, 2},
    };
    for (const auto& c : table) {
        tooltest::ToolRun run = RunTool(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << testing::PrintToString(c.args) << run.err;
    }

    const auto readings = nlohmann::json::parse(RunTool({"--json"}).out);
    EXPECT_EQ(readings["voltages"][1]["low"], 11.4);
    EXPECT_EQ(readings["voltages"][1]["high"], 12.6);
    EXPECT_EQ(readings["voltages"][1]["alarm"], nullptr);
    EXPECT_EQ(readings["temperatures"][0]["low"], nullptr);
    EXPECT_EQ(readings["temperatures"][0]["high"], 85.0);
    EXPECT_EQ(readings["fans"][2]["high"], 21516);
    EXPECT_EQ(readings["fans"][2]["alarm"], "stopped");
}

// End to end: `kwotarv check` finds each class of problem in a small set of broken board
// configurations (Tests/kwotarv/data), passes the sample boards, and fails with exit status 1
// exactly when it reports an error.
#include <gtest/gtest.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "kwotarv/tool_process.hpp"

namespace {

using nlohmann::json;
using tooltest::BoardDir;
using tooltest::DataDir;
using tooltest::RunTool;
using tooltest::ToolRun;

struct Expected {
    const char* severity;
    const char* path;
    const char* fragment; // part of the message
};

struct CheckCase {
    const char* board;
    int exitCode;
    size_t errors;
    size_t warnings;
    std::vector<Expected> findings;
};

void PrintTo(const CheckCase& c, std::ostream* os)
{
    *os << c.board;
}

class BrokenConfigurationTest : public ::testing::TestWithParam<CheckCase> {};

TEST_P(BrokenConfigurationTest, CheckReportsTheProblemWithItsKeyPath)
{
    const CheckCase& c = GetParam();
    ToolRun run = RunTool({"check", "--board", DataDir(c.board), "--json"});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    const json report = json::parse(run.out);
    EXPECT_EQ(report["errors"], c.errors) << run.out;
    EXPECT_EQ(report["warnings"], c.warnings) << run.out;
    for (const auto& expected : c.findings) {
        bool found = false;
        for (const auto& finding : report["findings"])
            if (finding["severity"] == expected.severity && finding["path"] == expected.path &&
                finding["message"].get<std::string>().find(expected.fragment) != std::string::npos)
                found = true;
        EXPECT_TRUE(found) << "no " << expected.severity << " at " << expected.path << " saying '"
                           << expected.fragment << "' in\n"
                           << report["findings"].dump(2);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Check, BrokenConfigurationTest,
    ::testing::Values(
        // Register indices beyond the NCT5523D's tables (8 voltage, 9 temperature, 3 fan).
        CheckCase{"register-range",
                  1,
                  3,
                  0,
                  {{"error", "Product\\LUW-N3160\\Voltage\\1\\RegIndex",
                    "8 is out of range for the NCT5523D (voltage register indices 0-7)"},
                   {"error", "Product\\LUW-N3160\\Temperature\\0\\RegIndex",
                    "9 is out of range for the NCT5523D (temperature register indices 0-8)"},
                   {"error", "Product\\LUW-N3160\\Fan\\1\\RegIndex",
                    "3 is out of range for the NCT5523D (fan register indices 0-2)"}}},
        // A 39-character temperature name: the 64-byte slots hold 31 and the terminator.
        CheckCase{"long-names",
                  0,
                  0,
                  1,
                  {{"warning", "Product\\QIB-1234\\Temperature\\0\\FriendlyName",
                    "has 39 characters; a name slot holds 31"}}},
        // Ten voltages, three temperatures, six fans.
        CheckCase{"too-many-channels",
                  1,
                  2,
                  1,
                  {{"error", "Product\\QIB-1234\\Voltage",
                    "10 voltage channels, but the readings hold 9"},
                   {"warning", "Product\\QIB-1234\\Temperature", "only the first two are read"},
                   {"error", "Product\\QIB-1234\\Fan", "6 fan channels, but the readings hold 5"}}},
        // Nine names of eight characters need 82 units of a 64-unit list.
        CheckCase{
            "voltage-list-overflow",
            1,
            1,
            0,
            {{"error", "Product\\JUVO-D525\\Voltage", "need 82 characters in the voltage list"}}},
        // "*" enumerates first and matches everything.
        CheckCase{"catch-all-pattern",
                  0,
                  0,
                  1,
                  {{"warning", "Product\\QIB-1234", "'*' matches every product name"},
                   {"note", "firmware", "product name 'QIB-1234' selects Product\\*"}}},
        // "QIB-*" enumerates before "QIB-12*" and "QIB-1?34"; "RZV-*" is not covered.
        CheckCase{"shadowed-prefix",
                  0,
                  0,
                  2,
                  {{"warning", "Product\\QIB-12*",
                    "'QIB-*' matches every product name that 'QIB-12*' matches"},
                   {"warning", "Product\\QIB-1?34",
                    "'QIB-*' matches every product name that 'QIB-1?34' matches"}}},
        // A Profile naming a key that is not there.
        CheckCase{"missing-profile",
                  1,
                  1,
                  1,
                  {{"error", "Product\\QIB-12*\\Profile",
                    "names 'QIB-12xx', which is not a subkey of Product"},
                   {"warning", "Product\\QIB-12yy", "is never used"}}},
        // The firmware's product name matches no pattern.
        CheckCase{"firmware-mismatch",
                  1,
                  1,
                  0,
                  {{"error", "firmware", "product name 'RZV-900' matches no pattern"}}},
        // An empty kind key fails the load; a processor channel needs TjMax.
        CheckCase{"empty-kind-no-tjmax",
                  1,
                  2,
                  0,
                  {{"error", "Product\\QIB-1234\\Fan", "has no channel subkeys"},
                   {"error", "Product\\QIB-1234\\Temperature\\0\\TjMax", "is missing or 0"}}},
        // Limits that cannot work: beyond every reading, an empty range, on a channel never read.
        CheckCase{"bad-limits",
                  1,
                  3,
                  4,
                  {{"error", "Product\\QIB-1234\\Voltage\\0\\LowLimit",
                    "2.50 V is above the highest reading the channel can give (2.04 V)"},
                   {"warning", "Product\\QIB-1234\\Voltage\\1\\HighLimit",
                    "the highest reading the channel can give (13.46 V); it never fires"},
                   {"error", "Product\\QIB-1234\\Voltage\\2\\LowLimit",
                    "3.40 V is not below HighLimit 3.30 V"},
                   {"error", "Product\\QIB-1234\\Temperature\\0\\HighLimit",
                    "is below the lowest reading the channel can give"},
                   {"warning", "Product\\QIB-1234\\Fan\\0\\LowLimit",
                    "-1 is not above the lowest reading the channel can give (0)"},
                   {"warning", "Product\\QIB-1234\\Temperature\\2",
                    "has limits, but the driver reads only 2 temperature channels"}}},
        // Without a Product key nothing can start.
        CheckCase{"no-registry", 1, 1, 0, {{"error", "Product", "the key does not exist"}}},
        // Without firmware there is nothing to match, and the configuration itself is fine.
        CheckCase{"no-firmware", 0, 0, 0, {}}),
    [](const auto& info) {
        std::string name = info.param.board;
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

class SampleBoardCheckTest : public ::testing::TestWithParam<std::pair<const char*, const char*>> {
};

TEST_P(SampleBoardCheckTest, SampleBoardsAreClean)
{
    const auto& [board, pattern] = GetParam();
    std::vector<std::string> args = {"check", "--json"};
    if (std::string(board) != "demo") {
        args.push_back("--board");
        args.push_back(BoardDir(board));
    }
    ToolRun run = RunTool(args);
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    const json report = json::parse(run.out);
    EXPECT_EQ(report["errors"], 0);
    EXPECT_EQ(report["warnings"], 0) << report.dump(2);
    ASSERT_EQ(report["findings"].size(), 1u);
    EXPECT_EQ(report["findings"][0]["severity"], "note");
    EXPECT_NE(report["findings"][0]["message"].get<std::string>().find(pattern), std::string::npos)
        << report.dump(2);
}

INSTANTIATE_TEST_SUITE_P(
    Check, SampleBoardCheckTest,
    ::testing::Values(std::pair{"demo", "'QIB-1234' selects Product\\QIB-1234"},
                      std::pair{"nct6776", "'QIB-1234' selects Product\\QIB-1234"},
                      std::pair{"w83627hf", "'KERD-410' selects Product\\KERD-4*"},
                      std::pair{"w83627dhg", "'JUVO-D525' selects Product\\JUVO-D5* (channels "
                                             "from Product\\JUVO-D5xx)"},
                      std::pair{"nct5523d", "'LUW-N3160' selects Product\\LUW-N3160"}),
    [](const auto& info) { return std::string(info.param.first); });

TEST(CheckCommand, ChipOptionChecksTheRangesOfAnotherChip)
{
    const auto paths = [](const json& report) {
        std::vector<std::string> all;
        for (const auto& finding : report["findings"])
            all.push_back(finding["path"]);
        return all;
    };
    // The NCT6776 board's VBAT channel uses voltage index 8, beyond the NCT5523D's eight; its
    // 3VCC and 3VSB inputs are not doubled there, so their low limits are out of reach.
    ToolRun run = RunTool({"check", "--chip", "NCT5523D", "--json"});
    EXPECT_EQ(run.exitCode, 1);
    const json report = json::parse(run.out);
    EXPECT_EQ(report["chip"], "NCT5523D");
    EXPECT_EQ(report["errors"], 3);
    EXPECT_EQ(paths(report),
              (std::vector<std::string>{"Product\\QIB-1234\\Voltage\\3\\LowLimit",
                                        "Product\\QIB-1234\\Voltage\\5\\LowLimit",
                                        "Product\\QIB-1234\\Voltage\\6\\RegIndex", "firmware"}));

    // On a W836xx chip the fan channels are ignored, and with them their limits.
    ToolRun hf = RunTool({"check", "--chip", "W83627HF", "--json"});
    EXPECT_EQ(hf.exitCode, 0);
    const json hfReport = json::parse(hf.out);
    EXPECT_EQ(hfReport["warnings"], 4);
    EXPECT_EQ(hfReport["findings"][0]["path"], "Product\\QIB-1234\\Fan");
    EXPECT_EQ(hfReport["findings"][1]["path"], "Product\\QIB-1234\\Fan\\0");
}

TEST(CheckCommand, TextFormListsFindingsAndASummary)
{
    ToolRun run = RunTool({"check", "--board", DataDir("register-range")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.out.find("error: Product\\LUW-N3160\\Voltage\\1\\RegIndex: 8 is out of range"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\n3 errors, 0 warnings\n"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("the configuration has 3 errors"), std::string::npos) << run.err;

    ToolRun clean = RunTool({"check"});
    EXPECT_EQ(clean.exitCode, 0);
    EXPECT_NE(clean.out.find("no problems found\n"), std::string::npos) << clean.out;
}

TEST(CheckCommand, RegistryOptionChecksAnotherConfigurationForTheSameBoard)
{
    ToolRun run = RunTool({"check", "--board", BoardDir("nct5523d"), "--registry",
                           DataDir("register-range") + "/registry.reg", "--json"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(json::parse(run.out)["errors"], 3);
}

} // namespace

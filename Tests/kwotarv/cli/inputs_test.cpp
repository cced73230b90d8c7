// End to end: every input the tool cannot use (numbers out of range, directories where files
// belong, over-long paths, unwritable outputs, malformed registry files, option values it
// cannot honour) ends with exit status 2 and a message saying what is wrong, before any
// request is made, never "unexpected failure".
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>

#include <nlohmann/json.hpp>

#include "kwotarv/tool_process.hpp"

namespace {

namespace fs = std::filesystem;
using tooltest::BoardDir;
using tooltest::RunTool;
using tooltest::ScratchDir;
using tooltest::ToolRun;

void WriteFile(const std::string& file, const std::string& text)
{
    std::ofstream(file, std::ios::binary) << text;
}

// A copy of the demo board in the scratch directory, its board.json edited by `edit`.
std::string BoardCopy(const ScratchDir& scratch,
                      const std::function<void(std::string&)>& edit = nullptr)
{
    const std::string dir = scratch.Path("board");
    fs::create_directories(dir);
    std::string json = tooltest::ReadText(BoardDir("nct6776") + "/board.json");
    if (edit)
        edit(json);
    WriteFile(dir + "/board.json", json);
    fs::copy_file(BoardDir("nct6776") + "/registry.reg", dir + "/registry.reg");
    return dir;
}

void Replace(std::string& text, const std::string& from, const std::string& to)
{
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
}

// The demo board with registry.reg replaced by `body` after the 5.00 header.
std::string BoardWithRegistry(const ScratchDir& scratch, const std::string& body)
{
    const std::string dir = BoardCopy(scratch);
    WriteFile(dir + "/registry.reg", "Windows Registry Editor Version 5.00\r\n\r\n" + body);
    return dir;
}

const std::string kServiceKey =
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv\\Product\\QIB-1234]\r\n";

std::string LongPath()
{
    std::string path;
    for (int i = 0; i < 30; ++i)
        path += "/" + std::string(200, 'd');
    return path;
}

// The textfile export into `file`.
std::vector<std::string> Export(const std::string& file)
{
    return {"--format", "prometheus", "--output", file};
}

struct InputCase {
    const char* name;
    // The command line, given a scratch directory to prepare files in.
    std::function<std::vector<std::string>(const ScratchDir&)> args;
    std::vector<const char*> messages;
};

void PrintTo(const InputCase& c, std::ostream* os)
{
    *os << c.name;
}

class UnusableInputTest : public ::testing::TestWithParam<InputCase> {};

TEST_P(UnusableInputTest, ExitsWithTwoAndSaysWhatIsWrong)
{
    ScratchDir scratch;
    const ToolRun run = RunTool(GetParam().args(scratch));
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_EQ(run.out, "");
    for (const char* message : GetParam().messages)
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("unexpected failure"), std::string::npos) << run.err;
}

using Args = std::vector<std::string>;

INSTANTIATE_TEST_SUITE_P(
    BoardFiles, UnusableInputTest,
    ::testing::Values(InputCase{"NumberBeyondDouble",
                                [](const ScratchDir& s) {
                                    return Args{"--board", BoardCopy(s, [](std::string& j) {
                                                    Replace(j, "\"0x290\"", "1e400");
                                                })};
                                },
                                {"board.json: unusable JSON", "1e400"}},
                      InputCase{"NegativeNumber",
                                [](const ScratchDir& s) {
                                    return Args{"--board", BoardCopy(s, [](std::string& j) {
                                                    Replace(j, "\"0x290\"", "-656");
                                                })};
                                },
                                {"hwm_base: '-656' is not a whole number from 0 to 65535"}},
                      InputCase{"FractionalNumber",
                                [](const ScratchDir& s) {
                                    return Args{"--board", BoardCopy(s, [](std::string& j) {
                                                    Replace(j, "\"0x290\"", "656.5");
                                                })};
                                },
                                {"hwm_base: '656.5' is not a whole number"}},
                      InputCase{"BoardJsonIsADirectory",
                                [](const ScratchDir& s) {
                                    fs::create_directories(s.Path("b/board.json"));
                                    return Args{"--board", s.Path("b")};
                                },
                                {"cannot read board description", "it is a directory"}},
                      InputCase{"RegistryRegIsADirectory",
                                [](const ScratchDir& s) {
                                    const std::string dir = BoardCopy(s);
                                    fs::remove(dir + "/registry.reg");
                                    fs::create_directories(dir + "/registry.reg");
                                    return Args{"--board", dir};
                                },
                                {"cannot read registry file", "it is a directory"}},
                      InputCase{"FirmwareOfTheBoardIsADirectory",
                                [](const ScratchDir& s) {
                                    const std::string dir = BoardCopy(s, [](std::string& j) {
                                        Replace(j, "{ \"text\": \"QIB-1234 BIOS V1.0\" }",
                                                "\"fseg\"");
                                    });
                                    fs::create_directories(dir + "/fseg");
                                    return Args{"--board", dir};
                                },
                                {"cannot read firmware image", "it is a directory"}},
                      InputCase{"FirmwareOptionIsADirectory",
                                [](const ScratchDir& s) {
                                    return Args{"--firmware", s.Path("")};
                                },
                                {"cannot read firmware image", "it is a directory"}},
                      InputCase{"RegistryOptionIsADirectory",
                                [](const ScratchDir& s) {
                                    return Args{"--registry", s.Path("")};
                                },
                                {"cannot read registry file", "it is a directory"}},
                      InputCase{"OverLongBoardPath",
                                [](const ScratchDir&) {
                                    return Args{"--board", LongPath()};
                                },
                                {"does not exist"}},
                      InputCase{"OverLongFirmwarePath",
                                [](const ScratchDir&) {
                                    return Args{"--firmware", LongPath()};
                                },
                                {"--firmware: the file", "does not exist"}},
                      InputCase{"OverLongRegistryPath",
                                [](const ScratchDir&) {
                                    return Args{"--registry", LongPath()};
                                },
                                {"cannot read registry file"}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    OutputFiles, UnusableInputTest,
    ::testing::Values(InputCase{"TextfileWithoutAName",
                                [](const ScratchDir&) { return Export(""); },
                                {"--output '': give a file name"}},
                      InputCase{"TextfileInAMissingFolder",
                                [](const ScratchDir& s) { return Export(s.Path("no/k.prom")); },
                                {"the folder", "does not exist"}},
                      InputCase{"TextfileOntoAFolder",
                                [](const ScratchDir& s) { return Export(s.Path("")); },
                                {"is a folder"}},
                      InputCase{"TextfileBelowAFile",
                                [](const ScratchDir& s) {
                                    WriteFile(s.Path("file"), "x");
                                    return Export(s.Path("file/k.prom"));
                                },
                                {"is not a folder"}},
                      InputCase{"TextfileWhereNothingCanBeCreated", // even by root
                                [](const ScratchDir&) { return Export("/proc/k.prom"); },
                                {"no file can be created in the folder '/proc'"}},
                      InputCase{"TraceIntoMissingDirectory",
                                [](const ScratchDir& s) {
                                    return Args{"--trace-ports", s.Path("no/such")};
                                },
                                {"--trace-ports: cannot write", "No such file or directory"}},
                      InputCase{"TraceOntoADirectory",
                                [](const ScratchDir& s) {
                                    return Args{"--trace-ports", s.Path("")};
                                },
                                {"--trace-ports: cannot write", "it is a directory"}},
                      InputCase{"TraceOverLongPath",
                                [](const ScratchDir&) {
                                    return Args{"--trace-ports", LongPath()};
                                },
                                {"--trace-ports: cannot write"}},
                      InputCase{"RegistryOutOntoADirectory",
                                [](const ScratchDir& s) {
                                    return Args{"--registry-out", s.Path("")};
                                },
                                {"--registry-out: cannot write", "it is a directory"}},
                      InputCase{"RegistryOutBelowAFile",
                                [](const ScratchDir& s) {
                                    WriteFile(s.Path("file"), "x");
                                    return Args{"--registry-out", s.Path("file/registry.reg")};
                                },
                                {"--registry-out: cannot write", "Not a directory"}},
                      InputCase{"RegistryOutForCheck",
                                [](const ScratchDir& s) {
                                    return Args{"check", "--registry-out", s.Path("no/such")};
                                },
                                {"--registry-out: cannot write"}}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    RegistryFiles, UnusableInputTest,
    ::testing::Values(
        InputCase{"HexRunLongerThanAByte",
                  [](const ScratchDir& s) {
                      return Args{"--board",
                                  BoardWithRegistry(s, kServiceKey + "\"Data\"=hex:" +
                                                           std::string(40, 'f') + "\r\n")};
                  },
                  {"registry.reg: line 4: hex data must be comma-separated bytes"}},
        InputCase{"KeysNestedTooDeep",
                  [](const ScratchDir& s) {
                      std::string key = "[HKEY_LOCAL_MACHINE";
                      for (int i = 0; i < 100000; ++i)
                          key += "\\k";
                      return Args{"--board", BoardWithRegistry(s, key + "]\r\n")};
                  },
                  {"registry.reg: line 3: key path more than 512 levels deep"}},
        InputCase{"StrayLine",
                  [](const ScratchDir& s) {
                      return Args{"--board", BoardWithRegistry(s, kServiceKey + "oops\r\n")};
                  },
                  {"registry.reg: line 4: expected a [key] section"}},
        InputCase{"OddUtf16File",
                  [](const ScratchDir& s) {
                      const std::string dir = BoardCopy(s);
                      WriteFile(dir + "/registry.reg", "\xFF\xFE\x57");
                      return Args{"--board", dir};
                  },
                  {"registry.reg: line 1: UTF-16 file with an odd number of bytes"}},
        InputCase{"ForCheckToo",
                  [](const ScratchDir& s) {
                      return Args{"check", "--board",
                                  BoardWithRegistry(s, kServiceKey + "\"A\"=dword:xyz\r\n")};
                  },
                  {"registry.reg: line 4: dword: needs 1 to 8 hex digits"}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- option values -------------------------------------------------------------------------

struct ValueCase {
    std::vector<std::string> args;
    const char* message;
};

class UnusableValueTest : public ::testing::TestWithParam<ValueCase> {};

TEST_P(UnusableValueTest, ExitsWithTwoBeforeAnythingRuns)
{
    const ToolRun run = RunTool(GetParam().args);
    EXPECT_EQ(run.exitCode, 2) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(GetParam().message), std::string::npos) << run.err;
}

std::vector<ValueCase> ValueCases()
{
    std::vector<ValueCase> cases;
    for (const char* seconds : {"nan", "NaN", "inf", "-inf", "infinity", "1e400", "1e300", "86401",
                                "-1", "0x10", "1,5", " 1", "", "1e", "--1"})
        cases.push_back(
            {{"--watch", seconds, "--count", "2"}, "is not a number of seconds from 0 to 86400"});
    for (const char* count : {"0", "-1", "1.5", "abc", "18446744073709551616",
                              "99999999999999999999999", "0x10", "1e3"})
        cases.push_back(
            {{"--count", count}, "is not a whole number from 1 to 18446744073709551615"});
    for (const char* length : {"65537", "4294967295", "4294967296", "0x10001", "-1", "1k"})
        cases.push_back({{"ioctl", "0x222410", "--output-length", length},
                         "is not a length from 0 to 65536 bytes"});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Options, UnusableValueTest, ::testing::ValuesIn(ValueCases()));

TEST(OptionLimits, TheLimitsThemselvesAreAcceptedAndCountsAreDecimal)
{
    ToolRun run = RunTool({"ioctl", "0x222410", "--output-length", "65536", "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(nlohmann::json::parse(run.out)["information"], 800);

    run = RunTool({"--watch", "86400", "--count", "1", "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.err;

    // "010" is ten readings, not eight.
    run = RunTool({"--count", "010", "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 10) << run.out;
}

} // namespace

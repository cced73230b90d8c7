// The library's examples read every sample board as the tool does: read_all (C, linked against
// libkwotarv.so) and read_all.py (ctypes) print exactly the lines made from
// `kwotarv read --json` on the same board.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "example_lines.hpp"
#include "kwotarv/tool_process.hpp"

namespace {

struct Example {
    std::string name;
    std::vector<std::string> command; // run with the board in the environment
    // A Python interpreter cannot load a library built with a sanitizer, whose run-time must
    // come first in the process; the sanitizer builds run the C example only.
    bool underSanitizers;
};

const Example kExamples[] = {
    {"c", {KWOTARV_READ_ALL}, true},
    {"python", {"/usr/bin/python3", KWOTARV_READ_ALL_PY}, false},
};

void PrintTo(const Example& example, std::ostream* out)
{
    *out << example.name;
}

using Param = std::tuple<std::string, Example>;

class LibraryExamples : public testing::TestWithParam<Param> {};

TEST_P(LibraryExamples, PrintWhatTheToolReads)
{
    const auto& [boardName, example] = GetParam();
    if (KWOTARV_SANITIZED && !example.underSanitizers)
        GTEST_SKIP() << "the " << example.name << " example does not run in a sanitizer build";
    const std::string board = tooltest::BoardDir(boardName);
    const tooltest::ToolRun tool = tooltest::RunTool({"--board", board, "read", "--json"});
    ASSERT_EQ(tool.exitCode, 0) << tool.err;

    std::vector<std::string> argv = {"/usr/bin/env", "KWOTARV_BOARD=" + board,
                                     std::string("KWOTARV_LIBRARY=") + KWOTARV_LIBRARY_FILE};
    argv.insert(argv.end(), example.command.begin(), example.command.end());
    const tooltest::ToolRun run = tooltest::RunProgram(argv);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, tooltest::ExampleText(tool.out));
}

INSTANTIATE_TEST_SUITE_P(
    Boards, LibraryExamples,
    testing::Combine(testing::Values("nct6776", "nct5523d", "w83627dhg", "w83627hf"),
                     testing::ValuesIn(kExamples)),
    [](const auto& info) { return std::get<0>(info.param) + "_" + std::get<1>(info.param).name; });

} // namespace

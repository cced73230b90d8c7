// The library's examples read every sample board as the tool does: read_all (C, linked against
// libkwotarv.so) and read_all.py (ctypes) print exactly the lines made from
// `kwotarv read --json` on the same board.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "example_lines.hpp"
#include "kwotarv/tool_process.hpp"

namespace {

struct Example {
    const char* name;
    std::vector<std::string> command; // run with the board in the environment
};

const Example kExamples[] = {
    {"c", {KWOTARV_READ_ALL}},
    {"python", {"/usr/bin/python3", KWOTARV_READ_ALL_PY}},
};

class LibraryExamples : public testing::TestWithParam<std::string> {};

TEST_P(LibraryExamples, PrintWhatTheToolReads)
{
    const std::string board = tooltest::BoardDir(GetParam());
    const tooltest::ToolRun tool = tooltest::RunTool({"--board", board, "read", "--json"});
    ASSERT_EQ(tool.exitCode, 0) << tool.err;
    const std::string expected = tooltest::ExampleText(tool.out);

    for (const Example& example : kExamples) {
        SCOPED_TRACE(example.name);
        std::vector<std::string> argv = {"/usr/bin/env", "KWOTARV_BOARD=" + board,
                                         std::string("KWOTARV_LIBRARY=") + KWOTARV_LIBRARY_FILE};
        argv.insert(argv.end(), example.command.begin(), example.command.end());
        const tooltest::ToolRun run = tooltest::RunProgram(argv);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Boards, LibraryExamples,
                         testing::Values("nct6776", "nct5523d", "w83627dhg", "w83627hf"));

} // namespace

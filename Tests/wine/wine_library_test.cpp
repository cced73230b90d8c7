// kwotarv.dll under Wine: the library's C example (read_all.exe, linked against the DLL) prints
// what `kwotarv read --json` reads in the same session, for the tool's architecture against the
// driver's (also the 32-bit DLL against the 64-bit driver). While another tool holds the ISA-bus
// mutex, the example gets the timeout status and the driver touches no port.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "example_lines.hpp"
#include "wine_session.hpp"

namespace {

using Param = std::tuple<winetest::WineSetup, std::string>;

const std::string kTimeoutError =
    "read_all: kwo_describe: another monitoring tool held the ISA bus mutex "
    "Global\\Access_ISABUS.HTP.Method for the whole wait\n";

class WineLibrary : public testing::TestWithParam<Param> {
  protected:
    void SetUp() override
    {
        if (auto why = winetest::WhyNoWine())
            GTEST_SKIP() << *why;
    }
};

TEST_P(WineLibrary, ExampleReadsWhatTheToolReads)
{
    const auto& [setup, board] = GetParam();
    const winetest::BatchSession session =
        winetest::RunBatch(setup, std::string(KWOTARV_SOURCE_DIR) + "/Boards/" + board,
                           {
                               {"read", "--json"},        // 1
                               {"&run", "read_all.exe"},  // 2
                               {"&busholder", "forever"}, // 3
                               {"&run", "read_all.exe"},  // 4: the default wait, 500 ms
                           });
    ASSERT_EQ(session.commands.size(), 4u) << session.launcher.err;
    const auto& c = session.commands;
    ASSERT_EQ(c[0].status, 0) << c[0].err;
    EXPECT_EQ(c[1].status, 0) << c[1].err;
    EXPECT_EQ(c[1].err, "");
    EXPECT_EQ(c[1].out, tooltest::ExampleText(c[0].out));
    EXPECT_FALSE(c[1].trace.empty());

    EXPECT_EQ(c[2].status, 0) << c[2].err;
    EXPECT_EQ(c[3].status, 1);
    EXPECT_EQ(c[3].out, "");
    EXPECT_EQ(c[3].err, kTimeoutError);
    EXPECT_EQ(c[3].trace, "");
    EXPECT_EQ(session.faults, "");
}

INSTANTIATE_TEST_SUITE_P(Setups, WineLibrary,
                         testing::Combine(testing::ValuesIn(winetest::WineSetups()),
                                          testing::Values("nct6776", "w83627hf")),
                         [](const auto& info) {
                             return winetest::SetupName(std::get<0>(info.param)) + "_" +
                                    std::get<1>(info.param);
                         });

} // namespace

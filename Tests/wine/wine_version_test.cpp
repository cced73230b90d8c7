// kwotarv.exe --version under Wine with the real driver installed: the tool's version and build
// type, and the FileVersion of the image the service's ImagePath names.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "wine_session.hpp"

namespace {

class WineVersion : public testing::TestWithParam<winetest::WineSetup> {
  protected:
    void SetUp() override
    {
        if (auto why = winetest::WhyNoWine())
            GTEST_SKIP() << *why;
    }
};

TEST_P(WineVersion, NamesTheToolAndTheDriverImage)
{
    const std::string board = std::string(KWOTARV_SOURCE_DIR) + "/Boards/nct6776";
    const winetest::BatchSession session =
        winetest::RunBatch(GetParam(), board, {{"--version"}, {"-V"}});
    ASSERT_EQ(session.commands.size(), 2u) << session.launcher.err;
    const std::regex expected("kwotarv [0-9]+\\.[0-9]+\\.[0-9]+ \\(Release build\\)\r?\n"
                              "driver [0-9]+\\.[0-9]+\\.[0-9]+\\.0 \\(.*\\\\kwotarv\\.sys\\)\r?\n");
    for (const auto& command : session.commands) {
        EXPECT_EQ(command.status, 0) << command.err;
        EXPECT_TRUE(std::regex_match(command.out, expected)) << command.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Setups, WineVersion, testing::ValuesIn(winetest::WineSetups()),
                         [](const auto& info) { return winetest::SetupName(info.param); });

} // namespace

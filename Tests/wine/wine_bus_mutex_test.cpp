// kwotarv.exe and the real driver under Wine beside another tool holding the ISA-bus mutex
// (Wine/bus_mutex_holder.cpp): while that tool holds it no port is touched, the reading goes
// through once it is released, a tool that never releases it makes read and ioctl fail with
// the timeout, and a mutex abandoned by its owner is taken over.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "wine_session.hpp"

namespace {

const std::string kTimeoutError =
    "kwotarv: the ISA bus mutex Global\\Access_ISABUS.HTP.Method was not released within 300 ms: "
    "another monitoring tool is using the chip (--bus-lock-timeout sets the wait)\n";

// The trace sizes a holder printed when it got the mutex and just before it let go.
std::vector<long long> TraceBytes(const std::string& holderOut)
{
    static const std::regex line("(holding|released) at trace byte (-?[0-9]+)");
    std::vector<long long> bytes;
    for (std::sregex_iterator it(holderOut.begin(), holderOut.end(), line), end; it != end; ++it)
        bytes.push_back(std::stoll((*it)[2]));
    return bytes;
}

class WineBusMutex : public testing::TestWithParam<winetest::WineSetup> {
  protected:
    void SetUp() override
    {
        if (auto why = winetest::WhyNoWine())
            GTEST_SKIP() << *why;
    }
};

TEST_P(WineBusMutex, ReadingsWaitForAnotherToolAndGiveUpAfterTheTimeout)
{
    const std::string board = std::string(KWOTARV_SOURCE_DIR) + "/Boards/nct6776";
    const winetest::BatchSession session =
        winetest::RunBatch(GetParam(), board,
                           {
                               {"read"},                                // 1: the reference
                               {"&busholder", "hold", "1500"},          // 2
                               {"--bus-lock-timeout", "20000", "read"}, // 3: waits for the release
                               {"&busholder", "abandon", "30000"},      // 4
                               {"read"},                  // 5: takes the abandoned mutex
                               {"&busholder", "forever"}, // 6
                               {"--bus-lock-timeout", "300", "read"}, // 7
                               {"--bus-lock-timeout", "300", "ioctl", "IOCTL_HWM_GET_CHIP_DESC",
                                "--output-length", "512"}, // 8
                           });
    ASSERT_EQ(session.commands.size(), 8u) << session.launcher.err;
    const auto& c = session.commands;
    ASSERT_EQ(c[0].status, 0) << c[0].err;
    ASSERT_FALSE(c[0].trace.empty());

    EXPECT_EQ(c[1].status, 0) << c[1].err;
    const std::vector<long long> held = TraceBytes(c[1].out);
    ASSERT_EQ(held.size(), 2u) << c[1].out;
    EXPECT_EQ(held[0], held[1]) << "the port trace grew while the other tool held the mutex";
    EXPECT_EQ(c[2].status, 0) << c[2].err;
    EXPECT_EQ(c[2].out, c[0].out);
    EXPECT_EQ(c[2].err, "");
    EXPECT_EQ(c[2].trace, c[0].trace);

    EXPECT_EQ(c[3].status, 0) << c[3].err;
    EXPECT_EQ(c[4].status, 0) << c[4].err;
    EXPECT_EQ(c[4].out, c[0].out);
    EXPECT_EQ(c[4].err, "");

    EXPECT_EQ(c[5].status, 0) << c[5].err;
    for (size_t i : {6u, 7u}) {
        SCOPED_TRACE("command " + std::to_string(i + 1));
        EXPECT_EQ(c[i].status, 1);
        EXPECT_EQ(c[i].out, "");
        EXPECT_EQ(c[i].err, kTimeoutError);
        EXPECT_EQ(c[i].trace, "");
    }
    EXPECT_EQ(session.faults, "");
}

INSTANTIATE_TEST_SUITE_P(Setups, WineBusMutex, testing::ValuesIn(winetest::WineSetups()),
                         [](const auto& info) { return winetest::SetupName(info.param); });

} // namespace

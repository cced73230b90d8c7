// Board timelines: which steps come due as the machine's clock moves, what board.json may say
// about them, and the registers a running machine then reads.
#include <gtest/gtest.h>

#include "public/kwotarv_public.h"
#include "machine/machine.hpp"
#include "board/timeline.hpp"
#include "support/sim_fixture.hpp"

namespace {

using sim::machine::Board;
using sim::machine::BoardError;
using sim::machine::DueSteps;
using sim::machine::ParseBoard;
using sim::machine::Timeline;

// The "at" of each due step, in order.
std::vector<double> Due(const Timeline& timeline, double from, double to)
{
    std::vector<double> at;
    for (const auto* step : DueSteps(timeline, from, to))
        at.push_back(step->at);
    return at;
}

TEST(Timeline, StepsComeDueInOrderOnceOrEveryPeriod)
{
    const Timeline once{{{5, {}}, {10, {}}}, 0};
    const Timeline every10{{{2, {}}, {7, {}}, {10, {}}}, 10};
    const struct {
        const Timeline* timeline;
        double from, to;
        std::vector<double> due;
    } table[] = {
        {&once, 0, 4.9, {}},
        {&once, 0, 5, {5}}, // a step is due at its own time, not after it
        {&once, 5, 20, {10}},
        {&once, 20, 1e6, {}},
        {&once, 3, 3, {}},
        {&every10, 0, 10, {2, 7, 10}},
        {&every10, 10, 12, {2}}, // period 2 starts after the step at the period's end
        {&every10, 9, 17, {10, 2, 7}},
        // A long pause plays the last whole period only, still in time order.
        {&every10, 0, 1005, {7, 10, 2}},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(std::to_string(c.from) + " .. " + std::to_string(c.to));
        EXPECT_EQ(Due(*c.timeline, c.from, c.to), c.due);
    }
}

TEST(Timeline, BoardJsonRejectsWhatCannotBePlayed)
{
    const struct {
        const char* timeline;
        const char* message;
    } table[] = {
        {R"({"steps": [{"at": 0, "registers": {}}]})", "timeline.steps[0].at: '0' is not"},
        {R"({"repeat": 5, "steps": [{"at": 6, "registers": {}}]})", "after the repeat period"},
        {R"({"steps": [{"at": 1, "registers": []}]})", "timeline.steps[0].registers: expected"},
        {R"({"steps": [{"at": 1, "registers": {"0x20": 256}}]})", "larger than 0xFF"},
        {R"({"steps": [{"at": 1, "regs": {}}]})", "timeline.steps[0]: expected"},
        {R"({"steps": {}})", "timeline.steps: expected a list"},
        {R"({"every": 3, "steps": []})", "timeline.every: unknown key"},
    };
    for (const auto& c : table) {
        const std::string json =
            std::string(R"({"chip": "NCT6776", "timeline": )") + c.timeline + "}";
        try {
            ParseBoard(json, "board.json", {});
            ADD_FAILURE() << "accepted " << c.timeline;
        } catch (const BoardError& error) {
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
        }
    }
}

class TimelineMachineTest : public SimTest {};

TEST_F(TimelineMachineTest, RegistersChangeWhenTheClockPassesTheirStep)
{
    Board board = ParseBoard(R"({"chip": "NCT6776", "firmware": {"text": "QIB-1234 BIOS"},
        "registers": {"0x0656": "0x10", "0x0657": "0x00"},
        "timeline": {"repeat": 10, "steps": [{"at": 4, "registers": {"0x0656": "0x20"}},
                                             {"at": 8, "registers": {"0x0656": "0x10"}}]}})",
                             "board.json", {});
    board.registryText = "REGEDIT4\n\n"
                         "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv\\"
                         "Product\\QIB-*\\Fan\\0]\n\"RegIndex\"=dword:00000000\n";
    sim::machine::Machine machine(std::move(board));
    ASSERT_TRUE(machine.PowerOn().started);
    const auto fan = [&] {
        return machine.DeviceIoControl(IOCTL_HWM_GET_FANS, {}, 20).output.at(1);
    };

    EXPECT_EQ(fan(), 0x10);
    machine.AdvanceClock(3.9);
    EXPECT_EQ(fan(), 0x10);
    machine.AdvanceClock(4);
    EXPECT_EQ(fan(), 0x20);
    machine.AdvanceClock(2); // the clock does not go back
    EXPECT_EQ(fan(), 0x20);
    machine.AdvanceClock(9);
    EXPECT_EQ(fan(), 0x10);
    machine.AdvanceClock(14.5);
    EXPECT_EQ(fan(), 0x20);

    machine.WriteRegisters({{0x0656, 0x33}});
    EXPECT_EQ(fan(), 0x33);
    EXPECT_TRUE(machine.PowerOff().Clean());
}

} // namespace

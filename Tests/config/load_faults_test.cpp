// Every pool allocation of a configuration load made to fail in turn: each ends with the
// documented status, frees everything it made (only a matched product name may stay held) and
// closes every registry key.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "board_fixture.hpp"

namespace {

class LoadFaultTest : public BoardConfigTest {
  protected:
    // Allocations made by one clean load from a driver that holds no product name.
    uint64_t CleanLoadAllocations()
    {
        const uint64_t before = sim::pool::AllocationCount();
        EXPECT_EQ(Load(), STATUS_SUCCESS);
        const uint64_t made = sim::pool::AllocationCount() - before;
        ForgetLoad();
        return made;
    }

    void ForgetLoad()
    {
        FreeChannelList(&ext_->VoltageChannels);
        FreeChannelList(&ext_->TempChannels);
        FreeChannelList(&ext_->FanChannels);
        ext_->VoltageCount = ext_->TempCount = ext_->FanCount = 0;
        ext_->HasTemp1 = ext_->HasTemp2 = 0;
        ReleaseProductName();
    }

    // Fails allocation n of a load for n = 1 .. total + 1 and returns the status of each.
    std::vector<NTSTATUS> Sweep(uint64_t total, const std::vector<std::string>& loadedVoltages)
    {
        std::vector<NTSTATUS> statuses;
        for (uint64_t n = 1; n <= total + 1; ++n) {
            SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(total));
            sim::pool::FailNthAllocation(n);
            const NTSTATUS status = Load();
            sim::pool::ClearFaults();
            statuses.push_back(status);

            EXPECT_EQ(sim::registry::OpenHandleCount(), 0u) << OpenHandles();
            EXPECT_TRUE(sim::hw::Current().memory.OutstandingMappings().empty());
            EXPECT_EQ(Globals.FirmwareImage, nullptr);
            if (status == STATUS_SUCCESS) {
                EXPECT_EQ(Names(ext_->VoltageChannels), loadedVoltages);
                EXPECT_NO_FATAL_FAILURE(
                    ExpectSoundList(ext_->VoltageChannels, SENSOR_KIND_VOLTAGE, 9));
            } else {
                EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES ||
                            status == STATUS_UNSUCCESSFUL)
                    << std::hex << status;
                ExpectNoLists();
                // Only a matched product name may outlive a failed load.
                EXPECT_EQ(sim::pool::OutstandingCount(), Globals.ProductName != nullptr ? 1u : 0u);
                if (status == STATUS_UNSUCCESSFUL)
                    EXPECT_EQ(Globals.ProductName, nullptr) << "no pattern matched";
            }
            ForgetLoad();
            EXPECT_EQ(sim::pool::OutstandingCount(), 0u);
        }
        return statuses;
    }

    static std::map<NTSTATUS, int> Tally(const std::vector<NTSTATUS>& statuses)
    {
        std::map<NTSTATUS, int> tally;
        for (NTSTATUS status : statuses)
            ++tally[status];
        return tally;
    }
};

TEST_F(LoadFaultTest, EveryAllocationOfASingleMatchingBoard)
{
    Import("board_qib1234.reg");
    const uint64_t total = CleanLoadAllocations();
    // Key information, subkey information, its name, the name's ANSI form, the image copy, the
    // product name; three lists and nine channel names.
    ASSERT_EQ(total, 6u + 3 + 9);

    const auto statuses = Sweep(total, {"CPU Vcore", "+12V", "+3.3V", "VBAT", "Voltage"});

    // The board's identification failing (ANSI form, image copy, name) is a mismatch; every
    // other failure is a lack of resources; the load after the last point succeeds.
    EXPECT_EQ(statuses.back(), STATUS_SUCCESS);
    const auto tally = Tally(statuses);
    EXPECT_EQ(tally.at(STATUS_UNSUCCESSFUL), 3);
    EXPECT_EQ(tally.at(STATUS_INSUFFICIENT_RESOURCES), static_cast<int>(total) - 3);
    EXPECT_EQ(tally.at(STATUS_SUCCESS), 1);
}

// Many mismatching patterns before the match: the firmware is searched once, and every
// allocation failure still ends as it did when each pattern searched afresh.
TEST_F(LoadFaultTest, EveryAllocationAfterManyMismatches)
{
    Import("board_qib1234.reg");
    for (const char* pattern : {"A-1", "A-2", "A-3", "A-4"})
        sim::registry::CreateKey(Key(pattern));
    const uint64_t total = CleanLoadAllocations();
    // Key information, the walk's subkey information and name buffers; per subkey the name's
    // ANSI form; the image copy and the product name once; three lists and nine channel names.
    ASSERT_EQ(total, 1u + 2 + 5 + 2 + 3 + 9);
    EXPECT_EQ(sim::hw::Current().memory.MapCount(), 1u);

    const auto statuses = Sweep(total, {"CPU Vcore", "+12V", "+3.3V", "VBAT", "Voltage"});

    // A failed identification at one of the first four subkeys is retried at the next; at the
    // matching subkey (ANSI form) it is a mismatch; at the last search point too.
    const auto tally = Tally(statuses);
    EXPECT_EQ(tally.at(STATUS_SUCCESS), 4 + 2 + 1);
    EXPECT_EQ(tally.at(STATUS_UNSUCCESSFUL), 1);
    EXPECT_EQ(tally.at(STATUS_INSUFFICIENT_RESOURCES), static_cast<int>(total) - 7);
    EXPECT_EQ(statuses.back(), STATUS_SUCCESS);
}

TEST_F(LoadFaultTest, EveryAllocationAfterAMismatchAndThroughAProfile)
{
    Import("patterns.reg");
    sim::registry::DeleteKey(Key("*"));
    sim::registry::DeleteKey(Key("QIB-12??"));
    // "A-OTHER" is tested first and does not match; "QIB-1234" redirects to "A-OTHER".
    sim::registry::SetString(Key("QIB-1234"), "Profile", "A-OTHER");
    const uint64_t total = CleanLoadAllocations();
    // Key information, the walk's subkey information and name buffers; per subkey the name's
    // ANSI form; once, the image copy and the product name; the profile name; the list and its
    // one name.
    ASSERT_EQ(total, 1u + 2 + 1 + 2 + 1 + 1 + 2);

    const auto statuses = Sweep(total, {"from A-OTHER"});

    // Failing the first subkey's identification only makes it a mismatch (which it is anyway):
    // the second subkey searches the firmware again. Failing the second subkey's ANSI form
    // leaves nothing to match.
    const auto tally = Tally(statuses);
    EXPECT_EQ(tally.at(STATUS_SUCCESS), 3 + 1);
    EXPECT_EQ(tally.at(STATUS_UNSUCCESSFUL), 1);
    EXPECT_EQ(tally.at(STATUS_INSUFFICIENT_RESOURCES), static_cast<int>(total) - 4);
    EXPECT_EQ(statuses.back(), STATUS_SUCCESS);
}

struct TagCase {
    const char* tag;
    NTSTATUS status;
    bool nameKept;
};

std::ostream& operator<<(std::ostream& out, const TagCase& c)
{
    return out << c.tag;
}

class LoadTagFaultTest : public LoadFaultTest, public ::testing::WithParamInterface<TagCase> {};

TEST_P(LoadTagFaultTest, EachKindOfAllocation)
{
    const TagCase& c = GetParam();
    Import("board_qib1234.reg");
    sim::registry::SetString(Key("QIB-1234"), "Profile", "QIB-1234");
    sim::pool::FailTag(c.tag);

    EXPECT_EQ(Load(), c.status);

    ExpectNoLists();
    EXPECT_EQ(Globals.ProductName != nullptr, c.nameKept);
    EXPECT_EQ(sim::pool::OutstandingCount(), c.nameKept ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Tags, LoadTagFaultTest,
                         ::testing::Values(TagCase{"KInf", STATUS_INSUFFICIENT_RESOURCES, false},
                                           TagCase{"BInf", STATUS_INSUFFICIENT_RESOURCES, false},
                                           TagCase{"NBuf", STATUS_INSUFFICIENT_RESOURCES, false},
                                           TagCase{"Strg", STATUS_UNSUCCESSFUL, false},
                                           TagCase{"BBNm", STATUS_UNSUCCESSFUL, false},
                                           TagCase{"DevN", STATUS_UNSUCCESSFUL, false},
                                           TagCase{"Pnme", STATUS_INSUFFICIENT_RESOURCES, true},
                                           TagCase{"Vlst", STATUS_INSUFFICIENT_RESOURCES, true},
                                           TagCase{"VolB", STATUS_INSUFFICIENT_RESOURCES, true},
                                           TagCase{"Tlst", STATUS_INSUFFICIENT_RESOURCES, true},
                                           TagCase{"TemB", STATUS_INSUFFICIENT_RESOURCES, true},
                                           TagCase{"Flst", STATUS_INSUFFICIENT_RESOURCES, true},
                                           TagCase{"FanB", STATUS_INSUFFICIENT_RESOURCES, true}));

} // namespace

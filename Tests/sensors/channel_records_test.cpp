// Releasing channel lists: exactly the names of the filled records, then the list, whatever the
// kind's tags; a null address or pointer does nothing.
#include <gtest/gtest.h>

#include "channel_builder.hpp"
#include "kernel/pool/pool.hpp"
#include "sim_fixture.hpp"

namespace {

class FreeChannelListTest : public SimTest {};

TEST_F(FreeChannelListTest, FreesTheFilledNamesAndTheListOfEveryKind)
{
    const char* listTags[] = {"Vlst", "Tlst", "Clst", "Flst", "Plst"};
    const char* nameTags[] = {"VolB", "TemB", "TemB", "FanB", "PowB"};
    for (ULONG kind = 0; kind < SENSOR_KIND_COUNT; ++kind) {
        PSENSOR_CHANNEL_LIST list = kwo::test::BuildChannelList(
            kind, {{.name = u"A"}, {}, {.name = u"Ccccccccccccccccccccccccccccccccccccc"}});
        ASSERT_EQ(sim::pool::OutstandingCount(listTags[kind]), 1u);
        ASSERT_EQ(sim::pool::OutstandingCount(nameTags[kind]), 3u);

        FreeChannelList(&list);

        EXPECT_EQ(list, nullptr);
        EXPECT_EQ(sim::pool::OutstandingCount(), 0u) << "kind " << kind;
    }
}

TEST_F(FreeChannelListTest, CountBelowCapacityFreesExactlyCountNames)
{
    PSENSOR_CHANNEL_LIST list =
        kwo::test::BuildChannelList(SENSOR_KIND_FAN, {{.name = u"CPU"}, {.name = u"SYS"}}, 5);
    // A record past Count is not the list's to free: whatever it points at stays allocated.
    PVOID stray = ExAllocatePoolWithTag(PagedPool, 8, sim::pool::TagFromText("Stry"));
    list->Channels[3].Name = static_cast<PWSTR>(stray);

    FreeChannelList(&list);

    EXPECT_EQ(sim::pool::OutstandingCount("FanB"), 0u);
    EXPECT_EQ(sim::pool::OutstandingCount("Flst"), 0u);
    EXPECT_EQ(sim::pool::OutstandingCount("Stry"), 1u);
    ExFreePoolWithTag(stray, sim::pool::TagFromText("Stry"));
}

TEST_F(FreeChannelListTest, EmptyListIsFreed)
{
    PSENSOR_CHANNEL_LIST list = kwo::test::BuildChannelList(SENSOR_KIND_TEMPERATURE, {}, 3);
    FreeChannelList(&list);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(sim::pool::OutstandingCount(), 0u);
}

TEST_F(FreeChannelListTest, NullAddressOrNullPointerDoesNothing)
{
    PSENSOR_CHANNEL_LIST list = nullptr;
    FreeChannelList(&list);
    EXPECT_EQ(list, nullptr);
    FreeChannelList(nullptr);
    EXPECT_EQ(sim::pool::OutstandingCount(), 0u);
}

} // namespace

// The dashboard's history: the ring's order and bounds, its capacity for a span, and the series
// with gaps where the device was away.
#include <gtest/gtest.h>

#include "serve/history.hpp"

namespace {

using kwotarv::HistoryCapacity;
using kwotarv::HistoryJson;
using kwotarv::Ring;
using kwotarv::Sample;

TEST(HistoryRing, KeepsTheNewestItemsOldestFirst)
{
    Ring<int> ring(3);
    EXPECT_TRUE(ring.Items().empty());
    ring.Push(1);
    ring.Push(2);
    EXPECT_EQ(ring.Items(), (std::vector<int>{1, 2}));
    ring.Push(3);
    ring.Push(4);
    EXPECT_EQ(ring.Items(), (std::vector<int>{2, 3, 4}));
    for (int i = 5; i <= 10; ++i)
        ring.Push(i);
    EXPECT_EQ(ring.Items(), (std::vector<int>{8, 9, 10}));
    EXPECT_EQ(ring.Size(), 3u);

    Ring<int> one(0); // at least one item
    one.Push(1);
    one.Push(2);
    EXPECT_EQ(one.Items(), (std::vector<int>{2}));
}

TEST(HistoryRing, CapacityCoversTheSpanAtTheInterval)
{
    EXPECT_EQ(HistoryCapacity(2, 900), 451u); // 15 minutes at 2 s, both ends
    EXPECT_EQ(HistoryCapacity(0.2, 900), 4501u);
    EXPECT_EQ(HistoryCapacity(3600, 900), 2u);      // never fewer than two points
    EXPECT_EQ(HistoryCapacity(0.001, 900), 20000u); // bounded
    EXPECT_GE(HistoryCapacity(7, 600) * 7, 600u);
}

Sample At(int64_t ms, bool up, uint32_t vcore)
{
    Sample s;
    s.unixMillis = ms;
    s.up = up;
    if (up) {
        s.readings.description = "Chip";
        s.readings.voltages = {{"VCORE", vcore}};
        s.readings.temperatures = {{"CPU", 451}, {"Third", std::nullopt}};
        s.readings.fans = {{"Fan", 2580, std::nullopt}};
    } else {
        s.readings.errors = {"device gone"};
    }
    return s;
}

TEST(HistoryJson, SeriesHaveGapsWhereTheDeviceWasAway)
{
    const auto json =
        HistoryJson({At(1000, true, 100), At(2000, false, 0), At(3000, true, 112)}, 1);
    EXPECT_EQ(json["up"], true);
    EXPECT_EQ(json["timestamp"], "1970-01-01T00:00:03.000Z");
    ASSERT_EQ(json["channels"].size(), 4u);
    const auto& vcore = json["channels"][0];
    EXPECT_EQ(vcore["name"], "VCORE");
    EXPECT_EQ(vcore["text"], "1.12 V");
    EXPECT_EQ(vcore["points"].dump(), "[[1000,1.0],[2000,null],[3000,1.12]]");
    EXPECT_EQ(json["channels"][1]["text"], "45.1 \u00B0C");
    EXPECT_EQ(json["channels"][2]["text"], "not read");
    EXPECT_EQ(json["channels"][2]["points"].dump(), "[[1000,null],[2000,null],[3000,null]]");
    EXPECT_EQ(json["channels"][3]["unit"], "count");
    EXPECT_EQ(json["channels"][3]["text"], "count 2580");
    EXPECT_EQ(json["channels"][3]["detail"], "");
}

TEST(HistoryJson, TheLatestStateWinsWhenTheDeviceIsGone)
{
    const auto json = HistoryJson({At(1000, true, 100), At(2000, false, 0)}, 2);
    EXPECT_EQ(json["up"], false);
    EXPECT_EQ(json["errors"][0], "device gone");
    ASSERT_EQ(json["channels"].size(), 4u); // the channels of the last good reading
    EXPECT_EQ(json["channels"][0]["text"], "unavailable");
    EXPECT_TRUE(json["channels"][0]["value"].is_null());

    const auto empty = HistoryJson({}, 2);
    EXPECT_EQ(empty["up"], false);
    EXPECT_TRUE(empty["channels"].empty());
}

} // namespace

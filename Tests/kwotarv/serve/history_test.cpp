// The dashboard's history: the ring's order and bounds, its capacity for a span, the series
// with gaps where the device was away, and the limits and verdicts the charts draw.
#include <gtest/gtest.h>

#include "serve/history.hpp"

namespace {

using kwotarv::ChannelState;
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

// The samples after a cursor that the ring still holds; all of them for 0 and for a cursor
// past the newest sample (from before the server restarted).
TEST(HistoryJson, SinceHoldsOnlyTheNewerSamples)
{
    kwotarv::History history(3);
    for (uint32_t i = 1; i <= 5; ++i)
        history.Add(At(i * 1000, true, 100 + i));
    const char* const kept = "[[3000,1.03],[4000,1.04],[5000,1.05]]";
    const struct {
        uint64_t since;
        const char* points;
    } table[] = {
        {0, kept}, {1, kept}, {2, kept}, {3, "[[4000,1.04],[5000,1.05]]"}, {4, "[[5000,1.05]]"},
        {5, "[]"}, {6, kept}};
    for (const auto& row : table) {
        const auto json = nlohmann::json::parse(kwotarv::HistoryText(history.Since(row.since), 1));
        EXPECT_EQ(json["last"], 5) << row.since;
        EXPECT_EQ(json["channels"][0]["text"], "1.05 V") << row.since;
        EXPECT_EQ(json["channels"][0]["points"].dump(), row.points) << row.since;
    }
}

// Limits in the unit of each chart: volts, degrees, a fan's speed where its count is one (the
// count limits and verdict turned round, since a slower fan counts more), raw counts otherwise.
TEST(HistoryJson, LimitsAndVerdictsInTheUnitOfTheChart)
{
    Sample s;
    s.unixMillis = 1000;
    s.up = true;
    s.chipsetType = 6; // NCT6776: counts are speeds
    s.readings.description = "Chip";
    s.readings.voltages = {{"+12V", 1298, {1140, 1260}, ChannelState::High}};
    s.readings.temperatures = {{"CPU", 450, {-100, 850}}, {"Third", std::nullopt, {{}, 600}}};
    s.readings.fans = {
        {"CPU Fan", 7172, 1500, {std::nullopt, 0x2305}},             // slower than 1200 RPM: alarm
        {"Aux Fan", 0xFF1F, 0, {0x0E04, {}}, ChannelState::Stopped}, // faster than 2986 RPM
        {"Odd", 7172, 1500, {-1, 0x10000}},                          // no counts of the chip
        {"Standing", 7172, 1500, {0, 0xFF1F}},                       // limits that mean no speed
        {"Slow", 0x3000, 703, {std::nullopt, 0x2305}, ChannelState::High}, // counts too many
    };
    const struct {
        const char* name;
        const char* unit;
        const char* verdict; // [low, high, alarm]
    } table[] = {
        {"+12V", "V", "[11.4,12.6,\"high\"]"},
        {"CPU", "\u00B0C", "[-10.0,85.0,null]"},
        {"Third", "\u00B0C", "[null,60.0,null]"},
        {"CPU Fan", "RPM", "[1200,null,null]"},
        {"Aux Fan", "RPM", "[null,2986,\"stopped\"]"},
        {"Odd", "RPM", "[null,null,null]"},
        {"Standing", "RPM", "[null,null,null]"},
        {"Slow", "RPM", "[1200,null,\"low\"]"}, // turns too slowly
    };
    auto verdict = [](const nlohmann::ordered_json& c) {
        return nlohmann::json::array({c["low"], c["high"], c["alarm"]}).dump();
    };
    const auto json = HistoryJson({s}, 1);
    EXPECT_EQ(json["alarms"], 3);
    ASSERT_EQ(json["channels"].size(), std::size(table));
    for (size_t i = 0; i < std::size(table); ++i) {
        const auto& channel = json["channels"][i];
        EXPECT_EQ(channel["name"], table[i].name);
        EXPECT_EQ(channel["unit"], table[i].unit) << table[i].name;
        EXPECT_EQ(verdict(channel), table[i].verdict) << table[i].name;
    }

    // Counts that are not speeds keep their count limits.
    s.chipsetType = 7;
    for (auto& f : s.readings.fans)
        f.rpm.reset();
    const auto raw = HistoryJson({s}, 1);
    EXPECT_EQ(raw["channels"][3]["unit"], "count");
    EXPECT_EQ(verdict(raw["channels"][3]), "[null,8965,null]");
    EXPECT_EQ(verdict(raw["channels"][5]), "[-1,65536,null]");
    EXPECT_EQ(verdict(raw["channels"][7]), "[null,8965,\"high\"]");

    // The device gone: the limits stay drawn, no channel is in alarm.
    Sample gone;
    gone.unixMillis = 2000;
    gone.readings.errors = {"device gone"};
    const auto away = HistoryJson({s, gone}, 1);
    EXPECT_EQ(away["alarms"], 0);
    EXPECT_EQ(verdict(away["channels"][0]), "[11.4,12.6,null]");
}

} // namespace

// The configuration store loading board configurations imported from regedit files: pattern
// order and shadowing, list order, the value rules, Profile redirection, empty and broken kinds,
// and the life of the lists across starts.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "board_fixture.hpp"

namespace {

using kwo::test::Utf16Bytes;
using kwo::test::WithTerminator;
using sim::registry::kRegDword;
using sim::registry::kRegSz;

std::vector<std::string> V(std::initializer_list<const char*> names)
{
    return {names.begin(), names.end()};
}

// ---- a complete board --------------------------------------------------------------------------

TEST_F(BoardConfigTest, LoadsEveryValueOfACompleteBoard)
{
    Import("board_qib1234.reg");

    ASSERT_EQ(Load(), STATUS_SUCCESS);

    EXPECT_EQ(HeldName(), "QIB-1234") << "the matching name is kept";
    ASSERT_NO_FATAL_FAILURE(ExpectSoundList(ext_->VoltageChannels, SENSOR_KIND_VOLTAGE, 9));
    ASSERT_NO_FATAL_FAILURE(ExpectSoundList(ext_->TempChannels, SENSOR_KIND_TEMPERATURE, 9));
    ASSERT_NO_FATAL_FAILURE(ExpectSoundList(ext_->FanChannels, SENSOR_KIND_FAN, 5));

    const auto* v = ext_->VoltageChannels;
    EXPECT_EQ(Names(v), V({"CPU Vcore", "+12V", "+3.3V", "VBAT", "Voltage"}));
    EXPECT_EQ(v->Capacity, 5u);
    EXPECT_EQ(ext_->VoltageCount, 5u);
    for (ULONG i = 0; i < 5; ++i) {
        EXPECT_EQ(v->Channels[i].PreferenceOrder, i + 1) << "enumeration position + 1";
        EXPECT_EQ(v->Channels[i].Number, i) << "the subkey name as a number";
        EXPECT_EQ(v->Channels[i].FunctionIndex, -1);
        EXPECT_EQ(v->Channels[i].TjMax, 0);
    }
    EXPECT_EQ(v->Channels[0].NameSize, 20u) << "\"CPU Vcore\" and one terminator";
    EXPECT_EQ(v->Channels[1].RegIndex, 1u);
    EXPECT_EQ(v->Channels[1].R1, 10000u);
    EXPECT_EQ(v->Channels[1].R2, 1000u);
    EXPECT_EQ(v->Channels[1].Resolution, 8u);
    EXPECT_EQ(v->Channels[1].AltRegIndex, 255u) << "default";
    EXPECT_EQ(v->Channels[2].Offset, -2);
    EXPECT_EQ(v->Channels[3].RegIndex, 8u);
    EXPECT_EQ(v->Channels[3].AltRegIndex, 7u);
    EXPECT_EQ(v->Channels[4].NameSize, 16u) << "default name \"Voltage\" with its terminator";
    EXPECT_EQ(v->Channels[4].RegIndex, 3u);

    const auto* t = ext_->TempChannels;
    EXPECT_EQ(Names(t), V({"CPU", "System"}));
    EXPECT_EQ(ext_->TempCount, 2u);
    EXPECT_EQ(ext_->HasTemp1, 1u);
    EXPECT_EQ(ext_->HasTemp2, 1u);
    EXPECT_EQ(t->Channels[0].FunctionIndex, 0);
    EXPECT_EQ(t->Channels[0].RegIndex, 0u) << "not configured: the source table is used";
    EXPECT_EQ(t->Channels[0].TjMax, 100);
    EXPECT_EQ(t->Channels[1].RegIndex, 1u);
    EXPECT_EQ(t->Channels[1].Offset, 3);

    const auto* f = ext_->FanChannels;
    EXPECT_EQ(Names(f), V({"CPU Fan", "Fan"}));
    EXPECT_EQ(f->Channels[1].NameSize, 8u);
    EXPECT_EQ(ext_->FanCount, 2u);

    // Only the lists, their names and the kept product name remain.
    EXPECT_EQ(sim::pool::OutstandingCount(), 3u + 5 + 2 + 2 + 1);
    EXPECT_EQ(sim::pool::OutstandingCount("DevN"), 1u);
}

TEST_F(BoardConfigTest, ListOrderFollowsPreferenceThenReverseEnumeration)
{
    Import("order_and_ties.reg");

    ASSERT_EQ(Load(), STATUS_SUCCESS);

    // Without PreferenceOrder: enumeration order, which sorts names as text.
    EXPECT_EQ(Names(ext_->VoltageChannels),
              V({"V0", "V1", "V10", "V2", "V3", "V4", "V5", "V6", "V7", "V8", "V9"}));
    EXPECT_EQ(ext_->VoltageChannels->Channels[2].Number, 10u);
    // Counts are not capped at the reading arrays' room at load.
    EXPECT_EQ(ext_->VoltageCount, 11u);
    // Equal PreferenceOrder: reverse enumeration order.
    EXPECT_EQ(Names(ext_->TempChannels), V({"T2", "T1", "T0"}));
    EXPECT_EQ(ext_->TempCount, 3u);
    EXPECT_EQ(ext_->HasTemp1, 1u);
    EXPECT_EQ(ext_->HasTemp2, 1u);
    // 0 first, 0x80000000 and 0xFFFFFFFF last (unsigned), the two 7s reversed.
    EXPECT_EQ(Names(ext_->FanChannels), V({"F2", "F3", "F1", "F4", "F0"}));
    for (auto* list : {ext_->VoltageChannels, ext_->TempChannels, ext_->FanChannels})
        EXPECT_EQ(list->Count, list->Capacity);
}

// ---- which pattern is loaded -------------------------------------------------------------------

struct PatternCase {
    const char* title;
    const char* product;              // the name in the firmware
    std::vector<std::string> removed; // Product subkeys deleted before the load
    NTSTATUS status;
    std::optional<std::string> loaded; // the name of the one voltage channel
    uint64_t firmwareSearches;
};

std::ostream& operator<<(std::ostream& out, const PatternCase& c)
{
    return out << c.title;
}

class PatternOrderTest : public BoardConfigTest,
                         public ::testing::WithParamInterface<PatternCase> {};

TEST_P(PatternOrderTest, FirstMatchInEnumerationOrderIsFinal)
{
    const PatternCase& c = GetParam();
    Import("patterns.reg");
    ASSERT_EQ(sim::registry::SubKeys(kwo::test::kProductKey),
              V({"*", "A-OTHER", "QIB-1234", "QIB-12??"}));
    for (const auto& key : c.removed)
        ASSERT_TRUE(sim::registry::DeleteKey(Key(key)));
    sim::hw::Current().memory.SynthesiseFirmware(WithTerminator(c.product), 0x400);

    EXPECT_EQ(Load(), c.status);

    if (c.loaded) {
        EXPECT_EQ(Names(ext_->VoltageChannels), std::vector<std::string>{*c.loaded});
        EXPECT_EQ(Globals.ProductName != nullptr, true);
    } else {
        ExpectNoLists();
    }
    // The name (or its absence) is worked out once per load, whatever the number of patterns.
    EXPECT_EQ(sim::hw::Current().memory.MapCount(), c.firmwareSearches);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, PatternOrderTest,
    ::testing::Values(
        PatternCase{"StarShadowsEverything", "QIB-1234 BIOS", {}, STATUS_SUCCESS, "from *", 1},
        PatternCase{
            "MismatchThenExact", "QIB-1234 BIOS", {"*"}, STATUS_SUCCESS, "from QIB-1234", 1},
        PatternCase{
            "MismatchesThenWildcard", "QIB-1299 BIOS", {"*"}, STATUS_SUCCESS, "from QIB-12??", 1},
        PatternCase{"NoneMatches", "QIB-9999 BIOS", {"*"}, STATUS_UNSUCCESSFUL, std::nullopt, 1},
        PatternCase{
            "NoProductNameAtAll", "nothing here", {}, STATUS_UNSUCCESSFUL, std::nullopt, 1}));

TEST_F(BoardConfigTest, NoMatchLeavesNoProductNameHeld)
{
    Import("patterns.reg");
    sim::registry::DeleteKey(Key("*"));
    sim::hw::Current().memory.SynthesiseFirmware(WithTerminator("QIB-9999 BIOS"), 0);

    EXPECT_EQ(Load(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Globals.ProductName, nullptr);
    EXPECT_EQ(sim::pool::OutstandingCount(), 0u);
}

TEST_F(BoardConfigTest, MatchingPatternThatFailsIsNotFollowedByTheNext)
{
    Import("patterns.reg");
    sim::registry::SetDword(Key("*\\Voltage\\0"), "RegIndex", 9);

    EXPECT_EQ(Load(), STATUS_REGISTRY_CORRUPT);
    ExpectNoLists();
    EXPECT_EQ(HeldName(), "QIB-1234") << "the name stays held after a match";

    // An empty matching configuration fails the same way.
    sim::registry::DeleteKey(Key("*\\Voltage"));
    EXPECT_EQ(Load(), STATUS_UNSUCCESSFUL);
    ExpectNoLists();
}

TEST_F(BoardConfigTest, KeptNameServesTheNextStartWithoutTheFirmware)
{
    Import("board_qib1234.reg");
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    auto& memory = sim::hw::Current().memory;
    memory.SynthesiseFirmware(WithTerminator("RZV-1 BIOS"), 0);

    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(memory.MapCount(), 1u);
    EXPECT_EQ(HeldName(), "QIB-1234");
}

// A name kept from an earlier start serves the first pattern only: after a mismatch the
// firmware is searched afresh, once, for the rest of the load.
TEST_F(BoardConfigTest, KeptNameThatMismatchesIsWorkedOutAfreshOnce)
{
    Import("patterns.reg");
    sim::registry::DeleteKey(Key("*"));
    auto& memory = sim::hw::Current().memory;
    memory.SynthesiseFirmware(WithTerminator("QIB-1299 BIOS"), 0x100);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(HeldName(), "QIB-1299");
    FreeChannelList(&ext_->VoltageChannels);

    // "A-OTHER" misses the kept name; the new firmware's name matches "QIB-1234".
    memory.SynthesiseFirmware(WithTerminator("QIB-1234 BIOS"), 0x100);
    const uint64_t mapsBefore = memory.MapCount();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(Names(ext_->VoltageChannels), std::vector<std::string>{"from QIB-1234"});
    EXPECT_EQ(memory.MapCount() - mapsBefore, 1u);
    EXPECT_EQ(HeldName(), "QIB-1234");
}

// A search that cannot run (no mapping, no pool for the copy or the name) is tried again for
// the next pattern, as the load did when every pattern searched afresh.
struct SearchFailureCase {
    const char* title;
    uint64_t allocation; // allocation failed in the first search; 0: its mapping fails
};

std::ostream& operator<<(std::ostream& out, const SearchFailureCase& c)
{
    return out << c.title;
}

class SearchFailureTest : public BoardConfigTest,
                          public ::testing::WithParamInterface<SearchFailureCase> {};

TEST_P(SearchFailureTest, NextPatternSearchesAgain)
{
    Import("patterns.reg");
    sim::registry::DeleteKey(Key("*"));
    auto& memory = sim::hw::Current().memory;
    memory.SynthesiseFirmware(WithTerminator("QIB-1234 BIOS"), 0x100);
    if (GetParam().allocation != 0)
        sim::pool::FailNthAllocation(GetParam().allocation);
    else
        memory.FailNextMaps(1);

    // "A-OTHER" meets the failed search and counts as a mismatch; "QIB-1234" searches again.
    EXPECT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(Names(ext_->VoltageChannels), std::vector<std::string>{"from QIB-1234"});
    EXPECT_EQ(memory.MapCount(), GetParam().allocation != 0 ? 2u : 1u);
    EXPECT_EQ(HeldName(), "QIB-1234");
    EXPECT_EQ(Globals.FirmwareImage, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Search, SearchFailureTest,
                         // Allocations: key information, the first subkey's information,
                         // name and ANSI form, then the image copy and the product name.
                         ::testing::Values(SearchFailureCase{"Mapping", 0},
                                           SearchFailureCase{"ImageCopy", 5},
                                           SearchFailureCase{"Name", 6}));

// Firmware without a product name is searched once; no pattern, not even "*", matches.
TEST_F(BoardConfigTest, FirmwareWithoutANameIsSearchedOnce)
{
    Import("patterns.reg");
    auto& memory = sim::hw::Current().memory;
    memory.SynthesiseFirmware(WithTerminator("**** X-100 V2 ****"), 0x100);

    EXPECT_EQ(Load(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(memory.MapCount(), 1u);
    EXPECT_EQ(Globals.ProductName, nullptr);
    EXPECT_EQ(sim::pool::OutstandingCount(), 0u);
}

// ---- the Product key itself --------------------------------------------------------------------

TEST_F(BoardConfigTest, MissingProductKeyReturnsTheOpenStatus)
{
    EXPECT_EQ(Load(), STATUS_OBJECT_NAME_NOT_FOUND);
    ExpectNoLists();
    EXPECT_EQ(sim::pool::AllocationCount(), 0u);
    EXPECT_EQ(sim::hw::Current().memory.MapCount(), 0u);
}

TEST_F(BoardConfigTest, UnreadableProductKey)
{
    Import("board_qib1234.reg");
    sim::registry::DenyOpen(kwo::test::kProductKey);
    EXPECT_EQ(Load(), STATUS_ACCESS_DENIED);

    sim::registry::ClearFailures();
    sim::registry::FailQueryKey(kwo::test::kProductKey, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Load(), STATUS_INSUFFICIENT_RESOURCES);
    ExpectNoLists();
}

TEST_F(BoardConfigTest, ProductKeyWithoutSubkeys)
{
    sim::registry::CreateKey(kwo::test::kProductKey);
    EXPECT_EQ(Load(), STATUS_UNSUCCESSFUL);
    ExpectNoLists();
    EXPECT_EQ(sim::hw::Current().memory.MapCount(), 0u);
}

TEST_F(BoardConfigTest, UnreadableSubkeyNameTakesPartAsEmptyName)
{
    Import("patterns.reg");
    // "*" cannot be enumerated: it takes part with an empty name, which matches only an empty
    // product name, so the walk goes on to the next subkey.
    sim::registry::FailEnumerate(kwo::test::kProductKey, 0, STATUS_INSUFFICIENT_RESOURCES);

    EXPECT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(Names(ext_->VoltageChannels), V({"from QIB-1234"}));
}

// The key query's MaxNameLen may be smaller than a subkey's name (stale, or a subkey added since):
// a name that still fits the information buffer's fixed part (up to 8 bytes), and a longer one,
// are both read whole and matched.
TEST_F(BoardConfigTest, SubkeyNamesLongerThanTheKeyReportsAreReadWhole)
{
    for (const std::string pattern : {"QIB*", "Q*", "QIB-12*", "QIB-1234"}) {
        for (uint32_t reported : {0u, 2u, 6u}) {
            SCOPED_TRACE(pattern + " with MaxNameLen " + std::to_string(reported));
            sim::registry::ImportRegText(
                "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\"
                "Services\\KwoTarv\\Product\\" +
                pattern + "\\Voltage\\0]\n\"FriendlyName\"=\"" + pattern +
                "\"\n\"RegIndex\"=dword:00000000\n");
            sim::registry::UnderReportMaxNameLen(kwo::test::kProductKey, reported);
            EXPECT_EQ(Load(), STATUS_SUCCESS);
            EXPECT_EQ(Names(ext_->VoltageChannels), std::vector<std::string>{pattern});
            FreeChannelList(&ext_->VoltageChannels);
            sim::registry::DeleteKey(kwo::test::kProductKey);
            sim::registry::ClearFailures();
        }
    }
}

TEST_F(BoardConfigTest, UnopenableMatchingSubkey)
{
    Import("board_qib1234.reg");
    sim::registry::DenyOpen(Key("QIB-1234"));
    EXPECT_EQ(Load(), STATUS_ACCESS_DENIED);
    ExpectNoLists();
}

TEST_F(BoardConfigTest, NullExtension)
{
    EXPECT_EQ(LoadBoardConfiguration(nullptr), STATUS_INVALID_PARAMETER);
}

// ---- channel values ----------------------------------------------------------------------------

struct ValueCase {
    const char* title;
    std::function<void()> change; // applied to board_qib1234 before the load
    NTSTATUS status;
    std::function<void(const DEVICE_EXTENSION&)> check; // on success
};

std::ostream& operator<<(std::ostream& out, const ValueCase& c)
{
    return out << c.title;
}

const std::string kV0 = kwo::test::kProductKey + "\\QIB-1234\\Voltage\\0";
const std::string kV4 = kwo::test::kProductKey + "\\QIB-1234\\Voltage\\4";
const std::string kT0 = kwo::test::kProductKey + "\\QIB-1234\\Temperature\\0";
const std::string kF0 = kwo::test::kProductKey + "\\QIB-1234\\Fan\\0";

class ChannelValueTest : public BoardConfigTest, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(ChannelValueTest, LoadsOrRejects)
{
    const ValueCase& c = GetParam();
    Import("board_qib1234.reg");
    c.change();

    ASSERT_EQ(Load(), c.status);

    if (NT_SUCCESS(c.status)) {
        ASSERT_NO_FATAL_FAILURE(ExpectSoundList(ext_->VoltageChannels, SENSOR_KIND_VOLTAGE, 9));
        ASSERT_NO_FATAL_FAILURE(ExpectSoundList(ext_->TempChannels, SENSOR_KIND_TEMPERATURE, 9));
        ASSERT_NO_FATAL_FAILURE(ExpectSoundList(ext_->FanChannels, SENSOR_KIND_FAN, 5));
        c.check(*ext_);
    } else {
        ExpectNoLists();
    }
}

const SENSOR_CHANNEL& Voltage0(const DEVICE_EXTENSION& e)
{
    return e.VoltageChannels->Channels[0];
}

INSTANTIATE_TEST_SUITE_P(
    RegIndexBounds, ChannelValueTest,
    ::testing::Values(
        ValueCase{"HighestVoltageIndex", [] { sim::registry::SetDword(kV0, "RegIndex", 8); },
                  STATUS_SUCCESS,
                  [](const DEVICE_EXTENSION& e) { EXPECT_EQ(Voltage0(e).RegIndex, 8u); }},
        ValueCase{"VoltageIndexOneTooFar", [] { sim::registry::SetDword(kV0, "RegIndex", 9); },
                  STATUS_REGISTRY_CORRUPT, nullptr},
        ValueCase{"VoltageIndexAllOnes",
                  [] { sim::registry::SetDword(kV0, "RegIndex", 0xFFFFFFFF); },
                  STATUS_REGISTRY_CORRUPT, nullptr},
        ValueCase{
            "HighestFanIndex", [] { sim::registry::SetDword(kF0, "RegIndex", 4); }, STATUS_SUCCESS,
            [](const DEVICE_EXTENSION& e) { EXPECT_EQ(e.FanChannels->Channels[0].RegIndex, 4u); }},
        ValueCase{"FanIndexOneTooFar", [] { sim::registry::SetDword(kF0, "RegIndex", 5); },
                  STATUS_REGISTRY_CORRUPT, nullptr},
        // A bad channel in a later kind frees the lists already made.
        ValueCase{"TemperatureIndexTooFar", [] { sim::registry::SetDword(kT0, "RegIndex", 9); },
                  STATUS_REGISTRY_CORRUPT, nullptr},
        ValueCase{"AltRegIndexUnbounded",
                  [] {
                      sim::registry::SetDword(kV0, "AltRegIndex", 9);
                      sim::registry::SetDword(kV4, "AltRegIndex", 0xFFFFFFFF);
                  },
                  STATUS_SUCCESS,
                  [](const DEVICE_EXTENSION& e) {
                      EXPECT_EQ(Voltage0(e).AltRegIndex, 9u);
                      EXPECT_EQ(e.VoltageChannels->Channels[4].AltRegIndex, 0xFFFFFFFFu);
                      EXPECT_EQ(e.VoltageChannels->Channels[1].AltRegIndex, 255u);
                  }}));

INSTANTIATE_TEST_SUITE_P(
    RegIndexOrFunction, ChannelValueTest,
    ::testing::Values(
        ValueCase{"NeitherRegIndexNorFunction", [] { sim::registry::DeleteValue(kV0, "RegIndex"); },
                  STATUS_REGISTRY_CORRUPT, nullptr},
        ValueCase{"FunctionIndexInstead",
                  [] {
                      sim::registry::DeleteValue(kV0, "RegIndex");
                      sim::registry::SetDword(kV0, "FunctionIndex", 1);
                  },
                  STATUS_SUCCESS,
                  [](const DEVICE_EXTENSION& e) {
                      EXPECT_EQ(Voltage0(e).FunctionIndex, 1);
                      EXPECT_EQ(Voltage0(e).RegIndex, 0u);
                  }},
        ValueCase{"NegativeFunctionIndexIsNone",
                  [] {
                      sim::registry::DeleteValue(kV0, "RegIndex");
                      sim::registry::SetDword(kV0, "FunctionIndex", 0xFFFFFFFE);
                  },
                  STATUS_REGISTRY_CORRUPT, nullptr},
        ValueCase{"RegIndexAsStringCountsAsAbsent",
                  [] { sim::registry::SetString(kV0, "RegIndex", "3"); }, STATUS_REGISTRY_CORRUPT,
                  nullptr},
        ValueCase{"RegIndexAsStringWithFunction",
                  [] {
                      sim::registry::SetString(kV0, "RegIndex", "3");
                      sim::registry::SetDword(kV0, "FunctionIndex", 0);
                  },
                  STATUS_SUCCESS,
                  [](const DEVICE_EXTENSION& e) {
                      EXPECT_EQ(Voltage0(e).RegIndex, 0u);
                      EXPECT_EQ(Voltage0(e).FunctionIndex, 0);
                  }},
        // A REG_DWORD shorter than four bytes is not a number; a longer one is its first four
        // bytes, as the configuration check reads it.
        ValueCase{"LongDwordIsItsFirstFourBytes",
                  [] {
                      sim::registry::SetValue(kV0, "RegIndex", kRegDword,
                                              {0x03, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00});
                  },
                  STATUS_SUCCESS,
                  [](const DEVICE_EXTENSION& e) { EXPECT_EQ(Voltage0(e).RegIndex, 3u); }},
        ValueCase{"LongDwordOutOfRange",
                  [] {
                      sim::registry::SetValue(kV0, "RegIndex", kRegDword,
                                              {0x09, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00});
                      sim::registry::SetDword(kV0, "FunctionIndex", 0);
                  },
                  STATUS_REGISTRY_CORRUPT, nullptr},
        ValueCase{"ShortDwordCountsAsAbsent",
                  [] {
                      sim::registry::SetValue(kV0, "RegIndex", kRegDword, {0x03, 0x00});
                  },
                  STATUS_REGISTRY_CORRUPT, nullptr},
        ValueCase{"FunctionIndexAsBinaryCountsAsAbsent",
                  [] {
                      sim::registry::SetBinary(kV0, "FunctionIndex", {0, 0, 0, 0});
                      sim::registry::SetDword(kV0, "RegIndex", 2);
                  },
                  STATUS_SUCCESS,
                  [](const DEVICE_EXTENSION& e) { EXPECT_EQ(Voltage0(e).FunctionIndex, -1); }},
        ValueCase{
            "RegIndexQueryFailureCountsAsAbsent",
            [] { sim::registry::FailQueryValue(kV0, "RegIndex", STATUS_INSUFFICIENT_RESOURCES); },
            STATUS_REGISTRY_CORRUPT, nullptr}));

INSTANTIATE_TEST_SUITE_P(
    OtherValues, ChannelValueTest,
    ::testing::Values(ValueCase{"PreferenceOrderAsStringIsDefault",
                                [] {
                                    sim::registry::SetString(kV0, "PreferenceOrder", "9");
                                    sim::registry::SetDword(kV4, "PreferenceOrder", 0);
                                },
                                STATUS_SUCCESS,
                                [](const DEVICE_EXTENSION& e) {
                                    EXPECT_EQ(kwo::test::Names(e.VoltageChannels),
                                              V({"Voltage", "CPU Vcore", "+12V", "+3.3V", "VBAT"}));
                                    EXPECT_EQ(e.VoltageChannels->Channels[1].PreferenceOrder, 1u);
                                }},
                      ValueCase{"NumberFromHexName",
                                [] {
                                    const auto key =
                                        kwo::test::ProductSubkey("QIB-1234\\Fan\\0x10");
                                    sim::registry::SetDword(key, "RegIndex", 2);
                                },
                                STATUS_SUCCESS,
                                [](const DEVICE_EXTENSION& e) {
                                    ASSERT_EQ(e.FanCount, 3u);
                                    EXPECT_EQ(e.FanChannels->Channels[1].Number, 16u);
                                    EXPECT_EQ(e.FanChannels->Channels[2].Number, 1u);
                                }},
                      ValueCase{"TjMaxAndOffsetSigned",
                                [] {
                                    sim::registry::SetDword(kT0, "TjMax", 0xFFFFFFF6);
                                    sim::registry::SetDword(kT0, "Offset", 0x80000000);
                                },
                                STATUS_SUCCESS,
                                [](const DEVICE_EXTENSION& e) {
                                    EXPECT_EQ(e.TempChannels->Channels[0].TjMax, -10);
                                    EXPECT_EQ(e.TempChannels->Channels[0].Offset, INT32_MIN);
                                }},
                      ValueCase{"LimitsSignedAndOptionalPerSide",
                                [] {
                                    sim::registry::SetDword(kT0, "LowLimit", 0xFFFFFF9C);
                                    sim::registry::SetDword(kT0, "HighLimit", 850);
                                    sim::registry::SetDword(kV0, "HighLimit", 1260);
                                    sim::registry::SetString(kV4, "LowLimit", "300");
                                },
                                STATUS_SUCCESS,
                                [](const DEVICE_EXTENSION& e) {
                                    const SENSOR_CHANNEL& t = e.TempChannels->Channels[0];
                                    EXPECT_EQ(t.LowLimit, -100);
                                    EXPECT_EQ(t.HighLimit, 850);
                                    for (ULONG i = 0; i < e.VoltageChannels->Count; ++i) {
                                        const SENSOR_CHANNEL& v = e.VoltageChannels->Channels[i];
                                        EXPECT_EQ(v.LowLimit, HWM_LIMIT_NONE)
                                            << "REG_SZ is no limit";
                                        EXPECT_EQ(v.HighLimit,
                                                  v.Number == 0 ? 1260 : HWM_LIMIT_NONE);
                                    }
                                }}));

// ---- FriendlyName data ------------------------------------------------------------------------

struct NameCase {
    const char* title;
    uint32_t type;
    std::vector<uint8_t> data;
    std::string name;
    ULONG nameSize;
};

std::ostream& operator<<(std::ostream& out, const NameCase& c)
{
    return out << c.title;
}

std::vector<uint8_t> Bytes(std::initializer_list<int> values)
{
    std::vector<uint8_t> bytes;
    for (int v : values)
        bytes.push_back(static_cast<uint8_t>(v));
    return bytes;
}

std::vector<uint8_t> Text(const std::string& text, bool terminated = true)
{
    auto bytes = Utf16Bytes(text);
    if (terminated) {
        bytes.push_back(0);
        bytes.push_back(0);
    }
    return bytes;
}

class FriendlyNameTest : public BoardConfigTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(FriendlyNameTest, NameAlwaysEndsInOneTerminator)
{
    const NameCase& c = GetParam();
    Import("board_qib1234.reg");
    sim::registry::SetValue(kV0, "FriendlyName", c.type, c.data);

    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(ExpectSoundList(ext_->VoltageChannels, SENSOR_KIND_VOLTAGE, 9));
    const SENSOR_CHANNEL& channel = ext_->VoltageChannels->Channels[0];
    EXPECT_EQ(kwo::test::NameText(channel), c.name);
    EXPECT_EQ(channel.NameSize, c.nameSize);
}

INSTANTIATE_TEST_SUITE_P(
    Data, FriendlyNameTest,
    ::testing::Values(
        NameCase{"Plain", kRegSz, Text("Vcore"), "Vcore", 12},
        NameCase{"NoData", kRegSz, {}, "Voltage", 16},
        NameCase{"OnlyTerminator", kRegSz, Text(""), "Voltage", 16},
        NameCase{"OneByte", kRegSz, Bytes({0x41}), "Voltage", 16},
        NameCase{"NoTerminator", kRegSz, Text("AB", false), "AB", 6},
        NameCase{"OddByteCount", kRegSz, Bytes({0x41, 0, 0x42, 0, 0x43}), "AB", 6},
        NameCase{"TerminatorAndOddByte", kRegSz, Bytes({0x41, 0, 0, 0, 0x43}), "A", 4},
        NameCase{"TextAfterTheTerminator", kRegSz, Bytes({0x41, 0, 0x42, 0, 0, 0, 0x43, 0, 0, 0}),
                 "AB", 6},
        NameCase{"TwoTerminators", kRegSz, Bytes({0x41, 0, 0, 0, 0, 0}), "A", 4},
        NameCase{"ExpandStringIgnored", sim::registry::kRegExpandSz, Text("Vcore"), "Voltage", 16},
        NameCase{"LongNameFits", kRegSz, Text(std::string(100, 'n')), std::string(100, 'n'), 202},
        // Data that does not fit the 256-byte value buffer counts as absent.
        NameCase{"TooLongForTheBuffer", kRegSz, Text(std::string(110, 'n')), "Voltage", 16}));

// ---- Profile redirection ----------------------------------------------------------------------

struct ProfileCase {
    const char* title;
    std::function<void()> change; // applied to profile.reg
    NTSTATUS status;
    std::optional<std::string> loaded;
};

std::ostream& operator<<(std::ostream& out, const ProfileCase& c)
{
    return out << c.title;
}

const std::string kPattern = kwo::test::kProductKey + "\\QIB-*";

class ProfileTest : public BoardConfigTest, public ::testing::WithParamInterface<ProfileCase> {};

TEST_P(ProfileTest, RedirectsOneLevel)
{
    const ProfileCase& c = GetParam();
    Import("profile.reg");
    c.change();

    EXPECT_EQ(Load(), c.status);

    if (c.loaded)
        EXPECT_EQ(Names(ext_->VoltageChannels), std::vector<std::string>{*c.loaded});
    else
        ExpectNoLists();
    EXPECT_EQ(sim::pool::OutstandingCount("Pnme"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileTest,
    ::testing::Values(
        ProfileCase{"Sibling", [] {}, STATUS_SUCCESS, "from Common"},
        ProfileCase{"CaseInsensitiveName",
                    [] { sim::registry::SetString(kPattern, "Profile", "cOMMON"); }, STATUS_SUCCESS,
                    "from Common"},
        ProfileCase{"ExpandStringIgnored",
                    [] {
                        sim::registry::SetString(kPattern, "Profile", "Common",
                                                 sim::registry::kRegExpandSz);
                    },
                    STATUS_SUCCESS, "from QIB-*"},
        ProfileCase{"MissingSibling",
                    [] { sim::registry::SetString(kPattern, "Profile", "Missing"); },
                    STATUS_OBJECT_NAME_NOT_FOUND, std::nullopt},
        ProfileCase{"UnopenableSibling",
                    [] { sim::registry::DenyOpen(kwo::test::kProductKey + "\\Common"); },
                    STATUS_ACCESS_DENIED, std::nullopt},
        ProfileCase{"EmptyIsNoRedirection",
                    [] { sim::registry::SetString(kPattern, "Profile", ""); }, STATUS_SUCCESS,
                    "from QIB-*"},
        ProfileCase{"NoDataIsNoRedirection",
                    [] { sim::registry::SetValue(kPattern, "Profile", kRegSz, {}); },
                    STATUS_SUCCESS, "from QIB-*"},
        ProfileCase{"OneByteIsNoRedirection",
                    [] { sim::registry::SetValue(kPattern, "Profile", kRegSz, {0x43}); },
                    STATUS_SUCCESS, "from QIB-*"},
        ProfileCase{
            "WithoutTerminator",
            [] { sim::registry::SetValue(kPattern, "Profile", kRegSz, Text("Other", false)); },
            STATUS_SUCCESS, "from Other"},
        ProfileCase{"OddByteCount",
                    [] {
                        auto data = Text("Other");
                        data.push_back('x');
                        sim::registry::SetValue(kPattern, "Profile", kRegSz, data);
                    },
                    STATUS_SUCCESS, "from Other"},
        ProfileCase{"NameAllocationFails", [] { sim::pool::FailTag("Pnme"); },
                    STATUS_INSUFFICIENT_RESOURCES, std::nullopt}));

// ---- kinds ------------------------------------------------------------------------------------

TEST_F(BoardConfigTest, KindKeyWithoutChannelsFailsTheLoad)
{
    Import("board_qib1234.reg");
    sim::registry::DeleteKey(Key("QIB-1234\\Temperature\\0"));
    sim::registry::DeleteKey(Key("QIB-1234\\Temperature\\1"));

    EXPECT_EQ(Load(), STATUS_UNSUCCESSFUL);
    ExpectNoLists(); // the voltage list loaded first is freed
}

TEST_F(BoardConfigTest, MissingKindKeysAreEmptyKinds)
{
    Import("board_qib1234.reg");
    sim::registry::DeleteKey(Key("QIB-1234\\Temperature"));
    sim::registry::DeleteKey(Key("QIB-1234\\Fan"));

    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(ext_->VoltageCount, 5u);
    EXPECT_EQ(ext_->TempChannels, nullptr);
    EXPECT_EQ(ext_->HasTemp1, 0u);
    EXPECT_EQ(ext_->FanChannels, nullptr);
    EXPECT_EQ(ext_->FanCount, 0u);
}

TEST_F(BoardConfigTest, AllThreeKindsEmpty)
{
    Import("board_qib1234.reg");
    for (const char* kind : {"Voltage", "Temperature", "Fan"})
        sim::registry::DeleteKey(Key(std::string("QIB-1234\\") + kind));
    EXPECT_EQ(Load(), STATUS_UNSUCCESSFUL);
    ExpectNoLists();
}

TEST_F(BoardConfigTest, KindWithoutRegistersIsIgnored)
{
    Import("board_qib1234.reg");
    // Not even looked at: an out-of-range fan channel does not matter.
    sim::registry::SetDword(kF0, "RegIndex", 99);
    ext_->FanRegCount = 0;

    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(ext_->FanChannels, nullptr);
    EXPECT_EQ(ext_->FanCount, 0u);
    EXPECT_EQ(ext_->VoltageCount, 5u);

    ext_->VoltageRegCount = 0;
    ext_->TempRegCount = 0x80000000; // negative as a signed count
    EXPECT_EQ(Load(), STATUS_UNSUCCESSFUL);
    ExpectNoLists();
}

TEST_F(BoardConfigTest, TemperatureFlagsFollowTheChannelCount)
{
    Import("board_qib1234.reg");
    sim::registry::DeleteKey(Key("QIB-1234\\Temperature\\1"));
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(ext_->TempCount, 1u);
    EXPECT_EQ(ext_->HasTemp1, 1u);
    EXPECT_EQ(ext_->HasTemp2, 0u);

    for (const char* channel : {"1", "2"}) {
        sim::registry::SetDword(Key(std::string("QIB-1234\\Temperature\\") + channel), "RegIndex",
                                2);
    }
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(ext_->TempCount, 3u);
    EXPECT_EQ(ext_->HasTemp1, 1u);
    EXPECT_EQ(ext_->HasTemp2, 1u);
}

TEST_F(BoardConfigTest, UnopenableChannelEndsTheList)
{
    Import("board_qib1234.reg");
    sim::registry::DenyOpen(Key("QIB-1234\\Voltage\\2"));

    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(ext_->VoltageChannels->Capacity, 5u);
    EXPECT_EQ(ext_->VoltageChannels->Count, 2u);
    EXPECT_EQ(ext_->VoltageCount, 2u);
    ASSERT_NO_FATAL_FAILURE(ExpectSoundList(ext_->VoltageChannels, SENSOR_KIND_VOLTAGE, 9));
    EXPECT_EQ(Names(ext_->TempChannels), V({"CPU", "System"})) << "later kinds still load";
}

TEST_F(BoardConfigTest, UnenumerableChannelEndsTheList)
{
    Import("board_qib1234.reg");
    sim::registry::FailEnumerate(Key("QIB-1234\\Voltage"), 3, STATUS_INSUFFICIENT_RESOURCES);

    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(Names(ext_->VoltageChannels), V({"CPU Vcore", "+12V", "+3.3V"}));
    ASSERT_NO_FATAL_FAILURE(ExpectSoundList(ext_->VoltageChannels, SENSOR_KIND_VOLTAGE, 9));
}

TEST_F(BoardConfigTest, TemperatureListWithoutReadableChannelsRaisesNoFlag)
{
    Import("board_qib1234.reg");
    sim::registry::DenyOpen(Key("QIB-1234\\Temperature\\0"));

    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_NE(ext_->TempChannels, nullptr);
    EXPECT_EQ(ext_->TempChannels->Count, 0u);
    EXPECT_EQ(ext_->TempCount, 0u);
    EXPECT_EQ(ext_->HasTemp1, 0u) << "no channel 0 to read";
    EXPECT_EQ(ext_->HasTemp2, 0u);
}

TEST_F(BoardConfigTest, OverlongChannelSubkeyNameEndsTheList)
{
    Import("board_qib1234.reg");
    // 254 bytes are offered to the enumeration: 16 of fixed fields and 119 characters.
    const std::string fits = "2" + std::string(118, 'a');
    const std::string tooLong = "2" + std::string(119, 'b');
    sim::registry::DeleteKey(Key("QIB-1234\\Fan"));
    for (const auto& name : {std::string("0"), std::string("1"), fits, tooLong, std::string("3")})
        sim::registry::SetDword(Key("QIB-1234\\Fan\\" + name), "RegIndex", 1);

    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(ext_->FanChannels->Capacity, 5u);
    EXPECT_EQ(ext_->FanChannels->Count, 3u) << "0, 1 and the 119-character name";
    EXPECT_EQ(ext_->FanChannels->Channels[2].Number, 2u);
}

// ---- the lists across starts -------------------------------------------------------------------

TEST_F(BoardConfigTest, SecondStartReplacesTheLists)
{
    Import("board_qib1234.reg");
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    sim::registry::DeleteKey(Key("QIB-1234\\Voltage\\4"));
    sim::registry::DeleteKey(Key("QIB-1234\\Fan"));

    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(ext_->VoltageCount, 4u);
    EXPECT_EQ(ext_->FanChannels, nullptr);
    EXPECT_EQ(ext_->FanCount, 0u);
    EXPECT_EQ(sim::pool::OutstandingCount("Vlst"), 1u);
    EXPECT_EQ(sim::pool::OutstandingCount("VolB"), 4u);
    EXPECT_EQ(sim::pool::OutstandingCount("Flst"), 0u);
    EXPECT_EQ(sim::pool::OutstandingCount("FanB"), 0u);

    // A failing start leaves none of the earlier lists behind.
    sim::registry::SetDword(kV0, "RegIndex", 100);
    EXPECT_EQ(Load(), STATUS_REGISTRY_CORRUPT);
    ExpectNoLists();
}

// ---- the routines on their own -----------------------------------------------------------------

TEST_F(BoardConfigTest, OpenRoutinesRejectMissingNamesAndClearTheHandle)
{
    HANDLE key = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_EQ(OpenRegistryKey(nullptr, &key), STATUS_INVALID_PARAMETER_1);
    EXPECT_EQ(OpenRegistrySubkey(nullptr, nullptr, &key), STATUS_INVALID_PARAMETER_1);

    UNICODE_STRING path;
    RtlInitUnicodeString(&path, KWO_PRODUCT_KEY);
    EXPECT_EQ(OpenRegistryKey(&path, &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(key, nullptr);

    Import("board_qib1234.reg");
    ASSERT_EQ(OpenRegistryKey(&path, &key), STATUS_SUCCESS);
    HANDLE board = reinterpret_cast<HANDLE>(0x1234);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"qib-1234");
    EXPECT_EQ(OpenRegistrySubkey(key, &name, &board), STATUS_SUCCESS) << "case-insensitive";
    ASSERT_NE(board, nullptr);
    ZwClose(board);
    RtlInitUnicodeString(&name, L"QIB-9");
    EXPECT_EQ(OpenRegistrySubkey(key, &name, &board), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(board, nullptr);
    ZwClose(key);
}

TEST_F(BoardConfigTest, RoutinesRejectMissingArguments)
{
    ULONG buffer[KWO_VALUE_BUFFER_SIZE / sizeof(ULONG)];
    PSENSOR_CHANNEL_LIST list = reinterpret_cast<PSENSOR_CHANNEL_LIST>(0x1234);
    HANDLE fake = reinterpret_cast<HANDLE>(0x5678);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"QIB-1234");

    EXPECT_EQ(LoadChannelList(nullptr, &list, 8, buffer, sizeof(buffer), 0),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(LoadChannelList(fake, nullptr, 8, buffer, sizeof(buffer), 0),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LoadChannelList(fake, &list, 8, nullptr, sizeof(buffer), 0),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LoadChannelList(fake, &list, 8, buffer, sizeof(buffer), SENSOR_KIND_COUNT),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LoadProductChannels(nullptr, fake, &name), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LoadProductChannels(ext_.get(), fake, nullptr), STATUS_INVALID_PARAMETER);
    HANDLE board = fake;
    EXPECT_EQ(OpenProductSubkey(nullptr, &name, &board, buffer, sizeof(buffer)),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(board, nullptr);
    EXPECT_EQ(OpenProductSubkey(fake, &name, nullptr, buffer, sizeof(buffer)),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(OpenProductSubkey(fake, &name, &board, nullptr, sizeof(buffer)),
              STATUS_INVALID_PARAMETER);
}

// Kinds the board load does not use still get their own tags and default names.
TEST_F(BoardConfigTest, CurrentAndPowerListsUseTheirKindsFacts)
{
    ULONG buffer[KWO_VALUE_BUFFER_SIZE / sizeof(ULONG)];
    sim::registry::SetDword(Key("Rail\\0"), "FunctionIndex", 0);
    sim::registry::SetDword(Key("Rail\\1"), "RegIndex", 2);
    HANDLE product = nullptr;
    HANDLE rail = nullptr;
    UNICODE_STRING path;
    UNICODE_STRING name;
    RtlInitUnicodeString(&path, KWO_PRODUCT_KEY);
    RtlInitUnicodeString(&name, L"Rail");
    ASSERT_EQ(OpenRegistryKey(&path, &product), STATUS_SUCCESS);
    ASSERT_EQ(OpenRegistrySubkey(product, &name, &rail), STATUS_SUCCESS);

    for (ULONG kind : {SENSOR_KIND_CURRENT, SENSOR_KIND_POWER}) {
        PSENSOR_CHANNEL_LIST list = nullptr;
        ASSERT_EQ(LoadChannelList(rail, &list, 2, buffer, sizeof(buffer), kind), STATUS_SUCCESS);
        ASSERT_NO_FATAL_FAILURE(ExpectSoundList(list, kind, 3));
        EXPECT_EQ(Names(list),
                  kind == SENSOR_KIND_CURRENT ? V({"Current", "Current"}) : V({"Power", "Power"}));
        FreeChannelList(&list);
    }
    ZwClose(rail);
    ZwClose(product);
}

} // namespace

// Board identification from a synthesised firmware image: where the product name starts and
// ends, the starred-banner fallback, scans that meet the end of the image copy, and the life of
// the image copy and of the kept name.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "hardware/hardware.hpp"
#include "config_fixture.hpp"

namespace {

struct Placement {
    size_t offset; // from 0xF0000
    std::string bytes;
};

struct NameCase {
    const char* title;
    std::vector<Placement> placements;
    std::optional<std::string> expected;
    uint8_t fill = 0;
};

std::ostream& operator<<(std::ostream& out, const NameCase& c)
{
    return out << c.title;
}

void LoadImage(const NameCase& c)
{
    std::vector<uint8_t> image(sim::hw::kFirmwareSegmentSize, c.fill);
    for (const auto& placement : c.placements)
        std::copy(placement.bytes.begin(), placement.bytes.end(),
                  image.begin() + static_cast<std::ptrdiff_t>(placement.offset));
    sim::hw::Current().memory.SetFirmwareImage(image);
}

// The bytes of a text followed by its terminator.
std::string Z(const std::string& text)
{
    return text + std::string(1, '\0');
}

class ProductNameTest : public ConfigTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(ProductNameTest, FindsTheExpectedName)
{
    const NameCase& c = GetParam();
    LoadImage(c);

    const BOOLEAN found = FindProductName();

    ASSERT_EQ(found != FALSE, c.expected.has_value()) << "held: " << HeldName();
    EXPECT_EQ(Globals.FirmwareImage, nullptr) << "the image copy lives only for one search";
    EXPECT_EQ(sim::pool::OutstandingCount("BBNm"), 0u);
    EXPECT_TRUE(sim::hw::Current().memory.OutstandingMappings().empty());
    if (c.expected) {
        EXPECT_EQ(HeldName(), *c.expected);
        const auto held = sim::pool::Outstanding();
        ASSERT_EQ(held.size(), 1u);
        EXPECT_EQ(sim::pool::TagText(held[0].tag), "DevN");
        EXPECT_EQ(held[0].size, c.expected->size() + 1) << "exactly the name and its terminator";
        EXPECT_EQ(held[0].poolType, PagedPool);
    } else {
        EXPECT_EQ(Globals.ProductName, nullptr);
        EXPECT_EQ(sim::pool::OutstandingCount(), 0u);
    }
}

constexpr size_t kEnd = FIRMWARE_IMAGE_LENGTH; // first offset outside the copy

INSTANTIATE_TEST_SUITE_P(
    PrefixedNames, ProductNameTest,
    ::testing::Values(
        NameCase{"BiosMarkerEndsTheName", {{0x1000, Z("QIB-1234 BIOS V1.0")}}, "QIB-1234"},
        NameCase{
            "BiosMarkerPreferredToEarlierSpace", {{0x1000, Z("QIB-12 34 BIOS V1.0")}}, "QIB-12 34"},
        NameCase{"BiosMarkerEndingTheTextNotFound", {{0x1000, Z("QIB-12 34 BIOS")}}, "QIB-12"},
        NameCase{"TrailingSpaceKept", {{0x1000, Z("QIB-1234 ")}}, "QIB-1234 "},
        NameCase{"WholeText", {{0x1000, Z("QIB-1234")}}, "QIB-1234"},
        NameCase{"PrefixAlone", {{0x1000, Z("QIB-")}}, "QIB-"},
        NameCase{"NameStartsAtThePrefix", {{0x1000, Z("XQIB-9 BIOS V2")}}, "QIB-9"},
        NameCase{"FirstOccurrenceOfTheRow",
                 {{0x2000, Z("QIB-2 BIOS")}, {0x1000, Z("QIB-1 BIOS")}},
                 "QIB-1"},
        NameCase{"RowOrderBeatsPosition",
                 {{0x0100, Z("RZV100 BIOS V1")}, {0x8000, Z("QIB-5 BIOS V1")}},
                 "QIB-5"},
        NameCase{"EarlierRowFurtherOn",
                 {{0x0100, Z("WENK7 BIOS V1")}, {0x8000, Z("RZV100 BIOS V1")}},
                 "RZV100"},
        NameCase{"LastRowAlone", {{0x4321, Z("BEX 9 BIOS 2")}}, "BEX 9"},
        NameCase{"AtTheVeryStart", {{0, Z("JUVO-3 BIOS x")}}, "JUVO-3"},
        NameCase{"CaseSensitivePrefix", {{0x1000, Z("qib-1 BIOS x")}}, std::nullopt},
        NameCase{"BannerIgnoredWhenPrefixFound",
                 {{0x0100, Z("**** X-100 BIOS V2 ****")}, {0x9000, Z("OQT-1 BIOS V2")}},
                 "OQT-1"}));

INSTANTIATE_TEST_SUITE_P(
    EachFamilyPrefix, ProductNameTest,
    ::testing::Values(NameCase{"QIB", {{0x10, Z("QIB-A1 BIOS")}}, "QIB-A1"},
                      NameCase{"RZV", {{0x10, Z("RZV-A1 BIOS")}}, "RZV-A1"},
                      NameCase{"WENK", {{0x10, Z("WENK-A1 BIOS")}}, "WENK-A1"},
                      NameCase{"JUVO", {{0x10, Z("JUVO-A1 BIOS")}}, "JUVO-A1"},
                      NameCase{"KERD", {{0x10, Z("KERD-A1 BIOS")}}, "KERD-A1"},
                      NameCase{"ZYF", {{0x10, Z("ZYF-A1 BIOS")}}, "ZYF-A1"},
                      NameCase{"OQT", {{0x10, Z("OQT-A1 BIOS")}}, "OQT-A1"},
                      NameCase{"LUW", {{0x10, Z("LUW-A1 BIOS")}}, "LUW-A1"},
                      NameCase{"BEX", {{0x10, Z("BEX-A1 BIOS")}}, "BEX-A1"},
                      // "QIB" without its dash is not the first row's prefix.
                      NameCase{"QibWithoutDash", {{0x10, Z("QIB7 BIOS")}}, std::nullopt}));

INSTANTIATE_TEST_SUITE_P(
    StarredBanner, ProductNameTest,
    ::testing::Values(
        NameCase{"Complete", {{0x3000, Z("**** X-100 BIOS V2 ****")}}, "X-100"},
        NameCase{
            "ClosingStarsInsideTheText", {{0x3000, Z("**** X-100 BIOS V2 **** (c)")}}, "X-100"},
        NameCase{"WithoutClosingStars", {{0x3000, Z("**** X-100 BIOS V2")}}, std::nullopt},
        NameCase{"WithoutBiosMarker", {{0x3000, Z("**** X-100 V2 ****")}}, std::nullopt},
        NameCase{"ClosingStarsBeforeTheTerminatorOnly",
                 {{0x3000, Z("**** X-100 BIOS V2 ***")}},
                 std::nullopt},
        NameCase{"OnlyTheFirstBannerCounts",
                 {{0x3000, Z("**** junk ****")}, {0x5000, Z("**** Y-1 BIOS ****")}},
                 std::nullopt},
        NameCase{"EmptyName", {{0x3000, Z("****  BIOS ****")}}, ""},
        NameCase{"NoBannerAtAll", {{0x3000, Z("Some BIOS text ****")}}, std::nullopt}));

INSTANTIATE_TEST_SUITE_P(
    ImageEdges, ProductNameTest,
    ::testing::Values(
        NameCase{"AllZero", {}, std::nullopt}, NameCase{"AllOnes", {}, std::nullopt, 0xFF},
        // A name running into the last byte of the copy, with no terminator inside it, ends
        // there: neither the uncopied byte 0xFFFFF nor anything past the copy is read.
        NameCase{"NameRunsToTheEndOfTheCopy", {{kEnd - 6, "QIB-77Z"}}, "QIB-77"},
        NameCase{"NameRunsToTheEndOfAOnesImage", {{kEnd - 6, "QIB-77"}}, "QIB-77", 0xFF},
        NameCase{"PrefixEndingTheCopyNotFound", {{kEnd - 4, "QIB-"}}, std::nullopt, 0xFF},
        NameCase{"PrefixOneByteBeforeTheEnd", {{kEnd - 5, "QIB-7"}}, "QIB-7"},
        NameCase{"BiosMarkerAtTheEndOfTheCopy", {{kEnd - 13, "QIB-1 2 BIOS"}}, "QIB-1"},
        NameCase{"BannerRunningToTheEnd", {{kEnd - 18, "**** X-1 BIOS ****"}}, std::nullopt},
        NameCase{"BannerClosedOneByteBeforeTheEnd", {{kEnd - 19, "**** X-1 BIOS ****"}}, "X-1"},
        NameCase{"BannerStartEndingTheCopy", {{kEnd - 5, "**** "}}, std::nullopt, 0xFF}));

// A non-zero image around the name: the name stops at the first zero byte, whatever follows.
TEST_F(ConfigTest, NameStopsAtTheFirstZeroByteOfAOnesImage)
{
    std::vector<uint8_t> image(sim::hw::kFirmwareSegmentSize, 0xFF);
    const std::string text = Z("KERD-2 BIOS 1.0");
    std::copy(text.begin(), text.end(), image.begin() + 0x7000);
    sim::hw::Current().memory.SetFirmwareImage(image);

    ASSERT_TRUE(FindProductName());
    EXPECT_EQ(HeldName(), "KERD-2");
}

// ---- the image copy and the kept name
// ------------------------------------------------------------

TEST_F(ConfigTest, MatchWorksTheNameOutOnceAndKeepsIt)
{
    auto& memory = sim::hw::Current().memory;
    memory.SynthesiseFirmware(Z("QIB-1234 BIOS V1.0"), 0x1234);

    EXPECT_TRUE(MatchProductName("QIB-12*"));
    EXPECT_EQ(memory.MapCount(), 1u);
    EXPECT_EQ(memory.UnmapCount(), 1u);
    // While the name is held no further mapping is made, match or not.
    EXPECT_FALSE(MatchProductName("RZV*"));
    EXPECT_TRUE(MatchProductName("*34"));
    EXPECT_EQ(memory.MapCount(), 1u);
    EXPECT_EQ(HeldName(), "QIB-1234");

    // Released, the next test maps and searches again and sees a changed image.
    ReleaseProductName();
    EXPECT_EQ(Globals.ProductName, nullptr);
    EXPECT_EQ(sim::pool::OutstandingCount(), 0u);
    memory.SynthesiseFirmware(Z("RZV-9 BIOS V1.0"), 0x20);
    EXPECT_TRUE(MatchProductName("RZV-9"));
    EXPECT_EQ(memory.MapCount(), 2u);
}

TEST_F(ConfigTest, NullPatternNeitherMatchesNorMaps)
{
    sim::hw::Current().memory.SynthesiseFirmware(Z("QIB-1 BIOS"), 0);
    EXPECT_FALSE(MatchProductName(nullptr));
    EXPECT_EQ(sim::hw::Current().memory.MapCount(), 0u);
    EXPECT_EQ(Globals.ProductName, nullptr);
}

TEST_F(ConfigTest, ImageWithoutNameMatchesNothingAndRetriesEachTime)
{
    auto& memory = sim::hw::Current().memory;
    EXPECT_FALSE(MatchProductName("*"));
    EXPECT_FALSE(MatchProductName(""));
    EXPECT_EQ(memory.MapCount(), 2u) << "without a name every test searches again";
    EXPECT_EQ(sim::pool::OutstandingCount(), 0u);
}

TEST_F(ConfigTest, EmptyNameMatchesOnlyStarsAndTheEmptyPattern)
{
    sim::hw::Current().memory.SynthesiseFirmware(Z("**** BIOS ****"), 0x40);
    // "**** " is followed by "BIOS ****": " BIOS" is not in that text.
    EXPECT_FALSE(MatchProductName("*"));
    sim::hw::Current().memory.SynthesiseFirmware(Z("****  BIOS ****"), 0x40);
    EXPECT_TRUE(MatchProductName(""));
    EXPECT_EQ(HeldName(), "");
    EXPECT_TRUE(MatchProductName("**"));
    EXPECT_FALSE(MatchProductName("?"));
    EXPECT_FALSE(MatchProductName("*a*"));
}

TEST_F(ConfigTest, MappingFailureGivesNoNameAndTheNextTestRetries)
{
    auto& memory = sim::hw::Current().memory;
    memory.SynthesiseFirmware(Z("QIB-1 BIOS"), 0x100);
    memory.FailNextMaps(1);

    EXPECT_FALSE(MatchProductName("*"));
    EXPECT_EQ(Globals.ProductName, nullptr);
    EXPECT_EQ(sim::pool::AllocationCount(), 0u) << "nothing is allocated without a mapping";

    EXPECT_TRUE(MatchProductName("QIB-1"));
}

TEST_F(ConfigTest, ImageAllocationFailureUnmapsAndGivesNoName)
{
    auto& memory = sim::hw::Current().memory;
    memory.SynthesiseFirmware(Z("QIB-1 BIOS"), 0x100);
    sim::pool::FailTag("BBNm");

    EXPECT_FALSE(MatchProductName("*"));
    EXPECT_EQ(Globals.ProductName, nullptr);
    EXPECT_EQ(Globals.FirmwareImage, nullptr);
    EXPECT_EQ(memory.MapCount(), 1u);
    EXPECT_EQ(memory.UnmapCount(), 1u);
    EXPECT_EQ(sim::pool::OutstandingCount(), 0u);
}

TEST_F(ConfigTest, NameAllocationFailureFreesTheImage)
{
    sim::hw::Current().memory.SynthesiseFirmware(Z("**** X-100 BIOS V2 ****"), 0x100);
    sim::pool::FailTag("DevN");

    EXPECT_FALSE(MatchProductName("X-100"));
    EXPECT_EQ(Globals.ProductName, nullptr);
    EXPECT_EQ(Globals.FirmwareImage, nullptr);
    EXPECT_EQ(sim::pool::OutstandingCount(), 0u);

    sim::pool::ClearFaults();
    EXPECT_TRUE(MatchProductName("X-100"));
}

TEST_F(ConfigTest, LoadFirmwareImageCopiesTheSegmentAndRefusesASecondCopy)
{
    auto& memory = sim::hw::Current().memory;
    std::vector<uint8_t> image(sim::hw::kFirmwareSegmentSize);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7 + 3);
    memory.SetFirmwareImage(image);

    ASSERT_TRUE(LoadFirmwareImage());
    ASSERT_NE(Globals.FirmwareImage, nullptr);
    EXPECT_TRUE(
        std::equal(image.begin(), image.begin() + FIRMWARE_IMAGE_LENGTH, Globals.FirmwareImage))
        << "0xFFFF bytes from 0xF0000";
    const auto held = sim::pool::Outstanding();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].size, static_cast<size_t>(FIRMWARE_IMAGE_LENGTH));
    EXPECT_EQ(sim::pool::TagText(held[0].tag), "BBNm");
    EXPECT_EQ(held[0].poolType, PagedPool);
    EXPECT_TRUE(memory.OutstandingMappings().empty());

    const PUCHAR first = Globals.FirmwareImage;
    EXPECT_FALSE(LoadFirmwareImage());
    EXPECT_EQ(Globals.FirmwareImage, first);
    EXPECT_EQ(memory.MapCount(), 1u);

    ReleaseProductName();
    EXPECT_EQ(Globals.FirmwareImage, nullptr);
    EXPECT_EQ(sim::pool::OutstandingCount(), 0u);
}

} // namespace

// The one-pass prefix search against the rule it implements, row by row over the whole image
// with FindBytes: images dense with whole and partial prefixes, spaces and zero bytes.
TEST_F(ConfigTest, OnePassPrefixSearchAgreesWithARowByRowSearch)
{
    static const char* const kRows[] = {"QIB-", "RZV", "WENK", "JUVO", "KERD",
                                        "ZYF",  "OQT", "LUW",  "BEX"};
    const std::string alphabet = std::string("QIB-RZVWENKJUOZYFTLX S", 22) + std::string(1, '\0');
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::vector<uint8_t> image(sim::hw::kFirmwareSegmentSize);
        // Sparse rounds leave most rows absent; dense ones put several rows in play.
        const uint32_t density = round % 3 == 0 ? 2 : 200;
        for (auto& byte : image)
            byte = next() % 1000 < density
                       ? static_cast<uint8_t>(alphabet[next() % alphabet.size()])
                       : static_cast<uint8_t>(next() % 4 == 0 ? ' ' : 'x');
        // Whole prefixes at random places, one of them sometimes ending the copy.
        for (int k = 0; k < 3; ++k) {
            const std::string row = kRows[next() % 9];
            const size_t at = k == 0 && round % 4 == 1 ? kEnd - row.size() : next() % (kEnd - 16);
            std::copy(row.begin(), row.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
        }

        std::optional<std::string> expected;
        for (const char* row : kRows) {
            ULONG offset = 0;
            if (!FindBytes(image.data(), kEnd, reinterpret_cast<const UCHAR*>(row),
                           static_cast<ULONG>(strlen(row)), &offset))
                continue;
            const UCHAR* text = image.data() + offset;
            ULONG length = 0;
            while (offset + length < kEnd && text[length] != 0)
                ++length;
            ULONG end = 0;
            if (FindBytes(text, length, reinterpret_cast<const UCHAR*>(" BIOS"), 5, &end) ||
                FindBytes(text, length, reinterpret_cast<const UCHAR*>(" "), 1, &end))
                length = end;
            expected = std::string(reinterpret_cast<const char*>(text), length);
            break;
        }
        if (!expected)
            continue; // the banner fallback is covered above
        sim::hw::Current().memory.SetFirmwareImage(image);
        ReleaseProductName();
        ASSERT_TRUE(FindProductName());
        EXPECT_EQ(HeldName(), *expected);
    }
    ReleaseProductName();
}

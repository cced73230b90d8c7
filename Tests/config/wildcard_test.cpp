// Pattern matching of product subkey names against the product name, and the byte search the
// firmware scan is built on.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "config/firmware.h"

namespace {

struct WildcardCase {
    const char* pattern;
    const char* text;
    int expected;
};

std::ostream& operator<<(std::ostream& out, const WildcardCase& c)
{
    return out << "'" << c.pattern << "' on '" << c.text << "'";
}

class WildcardMatchTest : public ::testing::TestWithParam<WildcardCase> {};

TEST_P(WildcardMatchTest, MatchesAsExpected)
{
    const WildcardCase& c = GetParam();
    EXPECT_EQ(WildcardMatch(c.pattern, c.text), c.expected)
        << "pattern '" << c.pattern << "' text '" << c.text << "'";
}

INSTANTIATE_TEST_SUITE_P(
    AgainstProductName, WildcardMatchTest,
    ::testing::Values(
        // Matches against "QIB-1234".
        WildcardCase{"QIB-1234", "QIB-1234", 1}, WildcardCase{"QIB-12*", "QIB-1234", 1},
        WildcardCase{"*34", "QIB-1234", 1}, WildcardCase{"Q*2*4", "QIB-1234", 1},
        WildcardCase{"QIB-????", "QIB-1234", 1}, WildcardCase{"*", "QIB-1234", 1},
        WildcardCase{"QIB-1234*", "QIB-1234", 1}, WildcardCase{"**QIB**", "QIB-1234", 1},
        WildcardCase{"*-*", "QIB-1234", 1}, WildcardCase{"?IB-1234", "QIB-1234", 1},
        // Mismatches against "QIB-1234".
        WildcardCase{"QIB-123", "QIB-1234", 0}, WildcardCase{"QIB-12?", "QIB-1234", 0},
        WildcardCase{"qib-1234", "QIB-1234", 0}, WildcardCase{"QIB-1234?", "QIB-1234", 0},
        WildcardCase{"", "QIB-1234", 0}, WildcardCase{"*5", "QIB-1234", 0},
        WildcardCase{"QIB-12345", "QIB-1234", 0}, WildcardCase{"*QIB-1234?", "QIB-1234", 0}));

INSTANTIATE_TEST_SUITE_P(
    Backtracking, WildcardMatchTest,
    ::testing::Values(
        // The '*' must give back characters it first swallowed.
        WildcardCase{"*ab", "aab", 1}, WildcardCase{"*aab", "aaab", 1},
        WildcardCase{"a*b*c", "abbbc", 1}, WildcardCase{"a*b*c", "abcbd", 0},
        WildcardCase{"*a?c", "abxabc", 1}, WildcardCase{"*a?c", "abxabd", 0},
        WildcardCase{"A*B*A", "ABBA", 1}, WildcardCase{"A*B*A", "ABBAB", 0},
        // Only the last '*' is backtracked to; earlier ones have already matched enough.
        WildcardCase{"*x*yz", "axbyyz", 1}, WildcardCase{"*x*yz", "axbyzy", 0},
        // Several stars in a row and stars at the end of the pattern.
        WildcardCase{"a**b", "ab", 1}, WildcardCase{"a**", "a", 1}, WildcardCase{"a*?", "a", 0},
        WildcardCase{"?*", "a", 1}, WildcardCase{"??*", "a", 0}));

INSTANTIATE_TEST_SUITE_P(AgainstEmptyName, WildcardMatchTest,
                         ::testing::Values(WildcardCase{"", "", 1}, WildcardCase{"*", "", 1},
                                           WildcardCase{"***", "", 1}, WildcardCase{"?", "", 0},
                                           WildcardCase{"*?", "", 0}, WildcardCase{"a", "", 0},
                                           WildcardCase{"*a*", "", 0}));

TEST(WildcardMatch, NullArgumentsDoNotMatch)
{
    EXPECT_EQ(WildcardMatch(nullptr, "QIB"), 0);
    EXPECT_EQ(WildcardMatch("*", nullptr), 0);
}

// ---- FindBytes ---------------------------------------------------------------------------------

struct FindCase {
    std::string data;
    std::string needle;
    bool found;
    ULONG offset; // when found
};

std::ostream& operator<<(std::ostream& out, const FindCase& c)
{
    return out << "'" << c.needle << "' in " << c.data.size() << " bytes";
}

class FindBytesTest : public ::testing::TestWithParam<FindCase> {};

TEST_P(FindBytesTest, FindsFirstPositionButNotTheVeryEnd)
{
    const FindCase& c = GetParam();
    // The data sits at the end of its own allocation, so a comparison past it is caught by the
    // address sanitizer.
    std::vector<UCHAR> data(c.data.begin(), c.data.end());
    ULONG offset = 0xA5A5A5A5;
    const BOOLEAN found = FindBytes(data.data(), static_cast<ULONG>(data.size()),
                                    reinterpret_cast<const UCHAR*>(c.needle.data()),
                                    static_cast<ULONG>(c.needle.size()), &offset);
    EXPECT_EQ(found != FALSE, c.found);
    EXPECT_EQ(offset, c.found ? c.offset : 0xA5A5A5A5u) << "offset is left alone on a miss";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FindBytesTest,
    ::testing::Values(FindCase{"abc BIOS xyz", " BIOS", true, 3},
                      FindCase{"x BIOS BIOS ", " BIOS", true, 1},
                      // The needle ending the data is not found: one position fewer is tried.
                      FindCase{"abc BIOS", " BIOS", false, 0},
                      FindCase{"abc BIOSx", " BIOS", true, 3},
                      // Equal lengths, a longer needle.
                      FindCase{" BIOS", " BIOS", false, 0}, FindCase{"BIO", " BIOS", false, 0},
                      // Byte for byte, case-sensitive; a zero byte in the data never matches.
                      FindCase{"abc bios x", " BIOS", false, 0},
                      FindCase{std::string("ab\0 BIOSx", 9), " BIOS", true, 3},
                      FindCase{std::string(" BI\0S  BIOS.", 12), " BIOS", true, 6},
                      FindCase{"a ", " ", false, 0}, FindCase{" a", " ", true, 0}));

TEST(FindBytes, NullArgumentsFindNothing)
{
    const UCHAR data[] = "xx BIOS yy";
    const UCHAR needle[] = " BIOS";
    ULONG offset = 7;
    EXPECT_FALSE(FindBytes(nullptr, sizeof(data), needle, 5, &offset));
    EXPECT_FALSE(FindBytes(data, sizeof(data), nullptr, 5, &offset));
    EXPECT_FALSE(FindBytes(data, sizeof(data), needle, 5, nullptr));
    EXPECT_EQ(offset, 7u);
}

} // namespace

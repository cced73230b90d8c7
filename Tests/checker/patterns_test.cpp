// Pattern containment, used by the check to find configurations that can never be chosen.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "kernel/reset.hpp"
#include "checker/patterns.hpp"
#include "machine/product_name.hpp"

namespace {

using sim::machine::DriverMatches;
using sim::machine::MatchesEverything;
using sim::machine::PatternCovers;

struct Cover {
    const char* outer;
    const char* inner;
    bool covers;
};

void PrintTo(const Cover& c, std::ostream* os)
{
    *os << "'" << c.outer << "' over '" << c.inner << "'";
}

class PatternCoverTest : public ::testing::TestWithParam<Cover> {};

TEST_P(PatternCoverTest, Table)
{
    EXPECT_EQ(PatternCovers(GetParam().outer, GetParam().inner), GetParam().covers)
        << "'" << GetParam().outer << "' covers '" << GetParam().inner << "'";
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, PatternCoverTest,
    ::testing::Values(Cover{"*", "QIB-1234", true}, Cover{"*", "*", true},
                      Cover{"**", "Q?B*", true}, Cover{"QIB-*", "QIB-12*", true},
                      Cover{"QIB-*", "QIB-1?34", true}, Cover{"QIB-*", "QIB-", true},
                      Cover{"QIB-12*", "QIB-*", false}, Cover{"QIB-*", "RZV-*", false},
                      Cover{"QIB-1234", "QIB-1234", true}, Cover{"QIB-1234", "QIB-12*", false},
                      Cover{"Q*4", "QIB-1234", true}, Cover{"Q*4", "Q*34", true},
                      Cover{"Q*34", "Q*4", false}, Cover{"QIB-????", "QIB-1234", true},
                      Cover{"QIB-????", "QIB-12*", false}, Cover{"QIB-1?34", "QIB-1234", true},
                      Cover{"qib-*", "QIB-1234", false}, // the match is case-sensitive
                      Cover{"*1*", "*12*", true}, Cover{"*12*", "*1*", false}, Cover{"", "", true},
                      Cover{"", "*", false}, Cover{"*", "", true}, Cover{"?*", "*", false},
                      Cover{"*?", "?*", true}, Cover{"?*", "*?", true}, Cover{"*a*", "*a*a*", true},
                      Cover{"*a*a*", "*a*", false}, Cover{"***", "", true}, Cover{"", "***", false},
                      Cover{"***", "*?*", true}, Cover{"?", "", false}, Cover{"", "?", false},
                      // An outer "?" that takes either a character of the inner "*" run or
                      // the literal after it, depending on the run's length.
                      Cover{"*a?*", "a*a", true}, Cover{"*a?a*", "a*a", false},
                      Cover{"*a?b*", "a*b", false}, Cover{"a?*", "a*?", true},
                      Cover{"??*", "?*?", true}, Cover{"???*", "?*?", false},
                      // "\\" is the character the search picks for free positions; a pattern
                      // naming it must still be answered for the others.
                      Cover{"*\\*", "*", false}, Cover{"?*", "\\*", true}));

TEST(PatternCover, EverythingPatterns)
{
    EXPECT_TRUE(MatchesEverything("*"));
    EXPECT_TRUE(MatchesEverything("***"));
    EXPECT_TRUE(MatchesEverything(""));
    EXPECT_FALSE(MatchesEverything("*?"));
    EXPECT_FALSE(MatchesEverything("Q*"));
}

// Every string over `alphabet` of up to `longest` characters, shortest first.
std::vector<std::string> AllStrings(const std::string& alphabet, size_t longest)
{
    std::vector<std::string> strings{""};
    for (size_t begin = 0; strings.back().size() < longest;) {
        const size_t end = strings.size();
        for (size_t i = begin; i < end; ++i)
            for (char c : alphabet)
                strings.push_back(strings[i] + c);
        begin = end;
    }
    return strings;
}

// Every pattern of up to four characters over {a, b, *, ?} against every other, and random
// pairs of up to seven characters: containment agrees with the driver's own match on every text
// of up to seven characters over {a, b, c} ('c' stands for characters neither pattern names).
class DriverTexts {
  public:
    explicit DriverTexts(size_t longest) : texts_(AllStrings("abc", longest)) {}

    // Bit t: the driver's match accepts text t.
    std::vector<uint64_t> Matches(const std::string& pattern) const
    {
        std::vector<uint64_t> bits((texts_.size() + 63) / 64);
        for (size_t t = 0; t < texts_.size(); ++t)
            if (DriverMatches(pattern, texts_[t]))
                bits[t / 64] |= uint64_t{1} << (t % 64);
        return bits;
    }
    static bool Covered(const std::vector<uint64_t>& outer, const std::vector<uint64_t>& inner)
    {
        for (size_t w = 0; w < outer.size(); ++w)
            if ((inner[w] & ~outer[w]) != 0)
                return false;
        return true;
    }

  private:
    std::vector<std::string> texts_;
};

TEST(PatternCover, AgreesWithTheDriversMatchOnShortTexts)
{
    sim::ResetAll();
    const DriverTexts texts(7);
    const std::vector<std::string> patterns = AllStrings("ab*?", 4);
    std::vector<std::vector<uint64_t>> matches;
    for (const auto& pattern : patterns)
        matches.push_back(texts.Matches(pattern));
    size_t disagreements = 0;
    for (size_t outer = 0; outer < patterns.size(); ++outer)
        for (size_t inner = 0; inner < patterns.size(); ++inner) {
            const bool covered = DriverTexts::Covered(matches[outer], matches[inner]);
            if (PatternCovers(patterns[outer], patterns[inner]) != covered && ++disagreements < 10)
                ADD_FAILURE() << "'" << patterns[outer] << "' covers '" << patterns[inner]
                              << "': texts say " << covered;
        }
    EXPECT_EQ(disagreements, 0u);

    std::mt19937 random(20261207);
    for (int pair = 0; pair < 400; ++pair) {
        auto pattern = [&random] {
            std::string text;
            for (size_t n = random() % 8; n > 0; --n)
                text += "ab*?"[random() % 4];
            return text;
        };
        const std::string outer = pattern();
        const std::string inner = pattern();
        const bool covered = DriverTexts::Covered(texts.Matches(outer), texts.Matches(inner));
        // A text longer than seven characters may still tell them apart: only a claimed cover
        // that a short text refutes is a fault.
        if (covered == false)
            EXPECT_FALSE(PatternCovers(outer, inner)) << "'" << outer << "' over '" << inner << "'";
    }
}

// Many "?" between literals in one pattern and many "*" in the other: a search that tracks
// the outer pattern's state sets through every run length of the inner one takes exponential
// time on these.
TEST(PatternCover, LongPatternsWithManyWildcardsAnswerQuickly)
{
    const struct {
        std::string outer;
        std::string inner;
        bool covers;
    } cases[] = {
        {"*a" + std::string(16, '?') + "aaa*", "*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*", false},
        {"*a?a??a???a????a*", "*a*a*a*a*a*a*a*a*a*a*a", false},
        {"?*?*?*?*?*?*?*?*?*?*", "*?*?*?*?*?*?*?*?*?*?", true},
        {"*a*a*a*a*a*a*a*a*a*a", "a*aa*a?a*a*aaa*a?*?a*a", true},
        {"*a?b?a?b?a?b?a?b?a?*", "*a*b*a*b*a*b*a*b*a*b", false},
    };
    const auto start = std::chrono::steady_clock::now();
    for (const auto& c : cases)
        EXPECT_EQ(PatternCovers(c.outer, c.inner), c.covers)
            << "'" << c.outer << "' over '" << c.inner << "'";
    // Each answers in well under a millisecond; a second leaves room for slow machines.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

} // namespace

// Pattern containment, used by the check to find configurations that can never be chosen.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kernel/reset.hpp"
#include "machine/patterns.hpp"
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
                      Cover{"*?", "?*", true}));

TEST(PatternCover, EverythingPatterns)
{
    EXPECT_TRUE(MatchesEverything("*"));
    EXPECT_TRUE(MatchesEverything("***"));
    EXPECT_TRUE(MatchesEverything(""));
    EXPECT_FALSE(MatchesEverything("*?"));
    EXPECT_FALSE(MatchesEverything("Q*"));
}

// Every pattern of up to three characters over {a, b, *, ?} against every other: containment
// must agree with the driver's own match on every text of up to five characters over {a, b, c}
// ('c' stands for characters neither pattern names). For patterns this short a text that tells
// two patterns apart is never longer than that.
TEST(PatternCover, AgreesWithTheDriversMatchOnEveryShortText)
{
    sim::ResetAll();
    std::vector<std::string> patterns{""};
    std::vector<std::string> texts{""};
    for (size_t length = 1; length <= 3; ++length)
        for (size_t i = patterns.size(); i-- > 0;)
            if (patterns[i].size() == length - 1)
                for (char c : std::string("ab*?"))
                    patterns.push_back(patterns[i] + c);
    for (size_t length = 1; length <= 5; ++length)
        for (size_t i = texts.size(); i-- > 0;)
            if (texts[i].size() == length - 1)
                for (char c : std::string("abc"))
                    texts.push_back(texts[i] + c);

    std::vector<std::vector<bool>> matches(patterns.size(), std::vector<bool>(texts.size()));
    for (size_t p = 0; p < patterns.size(); ++p)
        for (size_t t = 0; t < texts.size(); ++t)
            matches[p][t] = DriverMatches(patterns[p], texts[t]);

    size_t disagreements = 0;
    for (size_t outer = 0; outer < patterns.size(); ++outer)
        for (size_t inner = 0; inner < patterns.size(); ++inner) {
            bool covered = true;
            for (size_t t = 0; t < texts.size() && covered; ++t)
                covered = !matches[inner][t] || matches[outer][t];
            if (PatternCovers(patterns[outer], patterns[inner]) != covered && ++disagreements < 10)
                ADD_FAILURE() << "'" << patterns[outer] << "' covers '" << patterns[inner]
                              << "': texts say " << covered;
        }
    EXPECT_EQ(disagreements, 0u);
}

} // namespace

// The shipped alert rules (Install/kwotarv.rules.yml) under promtool: they load, they pass
// their unit tests (kwotarv.rules.test.yml: firing, not firing, resolving), every alert has
// unit tests, and the copy with short hold times that the end-to-end test loads is valid.
#include <gtest/gtest.h>

#include <set>

#include "kwotarv/peer_process.hpp"
#include "rules_file.hpp"
#include "kwotarv/tool_process.hpp"

namespace {

using namespace alerttest;
using tooltest::ReadText;

class AlertRules : public ::testing::Test {
  protected:
    void SetUp() override
    {
        promtool_ = servetest::FindProgram("promtool");
        if (promtool_.empty())
            GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
    }

    // `promtool check rules FILE`, with both output streams on failure.
    void ExpectValid(const std::string& file, size_t rules)
    {
        const auto run = tooltest::RunProgram({promtool_, "check", "rules", file});
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_NE(run.out.find("SUCCESS: " + std::to_string(rules) + " rules found"),
                  std::string::npos)
            << run.out << run.err;
    }

    std::string promtool_;
};

TEST_F(AlertRules, LoadAsPrometheusReadsThem)
{
    const std::string rules = ReadText(RulesFile());
    ASSERT_FALSE(AlertOfEachRule(rules).empty()) << RulesFile();
    ExpectValid(RulesFile(), AlertOfEachRule(rules).size());
}

TEST_F(AlertRules, PassTheirUnitTests)
{
    const auto run = tooltest::RunProgram({promtool_, "test", "rules", RulesUnitTests()});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("SUCCESS"), std::string::npos) << run.out << run.err;
}

// An alert added without unit tests, or tests of an alert that no longer exists, would leave
// the unit tests passing while proving nothing about it.
TEST_F(AlertRules, EveryAlertHasUnitTestsAndEveryTestedAlertExists)
{
    const auto names = AlertOfEachRule(ReadText(RulesFile()));
    const std::set<std::string> alerts(names.begin(), names.end());
    std::set<std::string> tested;
    const std::string tests = ReadText(RulesUnitTests());
    const std::string key = "alertname: ";
    for (size_t at = tests.find(key); at != std::string::npos; at = tests.find(key, at + 1))
        tested.insert(tests.substr(at + key.size(), tests.find('\n', at) - at - key.size()));
    EXPECT_EQ(tested, alerts);
}

TEST_F(AlertRules, ShortHoldTimesReplaceEveryRulesHoldTime)
{
    const std::string rules = ReadText(RulesFile());
    const size_t count = AlertOfEachRule(rules).size();
    ASSERT_EQ(HoldTimes(rules).size(), count) << "every rule needs a 'for:' line of its own";
    const std::string shortened = WithHoldTimes(rules, "2s");
    EXPECT_EQ(HoldTimes(shortened), std::vector<std::string>(count, "2s"));
    EXPECT_EQ(AlertOfEachRule(shortened), AlertOfEachRule(rules));

    tooltest::ScratchDir scratch;
    tooltest::WriteText(scratch.Path("kwotarv.rules.yml"), shortened);
    ExpectValid(scratch.Path("kwotarv.rules.yml"), count);
}

} // namespace

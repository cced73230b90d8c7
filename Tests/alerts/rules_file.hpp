// The alert rules the project ships, as the tests see them: where they are, the alert of each
// rule, and a copy with other hold times for a test that cannot wait minutes.
#pragma once

#include <string>
#include <vector>

namespace alerttest {

// Install/kwotarv.rules.yml and its promtool unit tests.
std::string RulesFile();
std::string RulesUnitTests();

// The alert name of each rule, in the file's order (an alert with several rules repeats).
std::vector<std::string> AlertOfEachRule(const std::string& rules);

// The hold time of each rule, from its "for: DURATION" line.
std::vector<std::string> HoldTimes(const std::string& rules);

// `rules` with every hold time replaced by `holdTime`.
std::string WithHoldTimes(const std::string& rules, const std::string& holdTime);

} // namespace alerttest

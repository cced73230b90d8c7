// Reading and rewriting the shipped alert rules line by line: the file keeps each rule's alert
// name and hold time on lines of their own, so no YAML parser is needed.
#include "rules_file.hpp"

#include <regex>
#include <sstream>

namespace alerttest {
namespace {

const std::regex kAlertLine(R"(^\s*- alert: (\S+)\s*$)");
const std::regex kHoldTimeLine(R"(^(\s+for: )(\S+)\s*$)");

// The first group of every line of `text` that matches `line`.
std::vector<std::string> Captures(const std::string& text, const std::regex& line, int group)
{
    std::vector<std::string> found;
    std::istringstream in(text);
    std::smatch match;
    for (std::string each; std::getline(in, each);)
        if (std::regex_match(each, match, line))
            found.push_back(match[group]);
    return found;
}

} // namespace

std::string RulesFile()
{
    return std::string(KWOTARV_SOURCE_DIR) + "/Install/kwotarv.rules.yml";
}

std::string RulesUnitTests()
{
    return std::string(KWOTARV_SOURCE_DIR) + "/Tests/alerts/kwotarv.rules.test.yml";
}

std::vector<std::string> AlertOfEachRule(const std::string& rules)
{
    return Captures(rules, kAlertLine, 1);
}

std::vector<std::string> HoldTimes(const std::string& rules)
{
    return Captures(rules, kHoldTimeLine, 2);
}

std::string WithHoldTimes(const std::string& rules, const std::string& holdTime)
{
    std::ostringstream out;
    std::istringstream in(rules);
    std::smatch match;
    for (std::string line; std::getline(in, line);) {
        if (std::regex_match(line, match, kHoldTimeLine))
            line = match[1].str() + holdTime;
        out << line << '\n';
    }
    return out.str();
}

} // namespace alerttest

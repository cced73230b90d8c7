// Text and JSON forms of the check's findings.
#include "output/check_report.hpp"

namespace kwotarv {

nlohmann::ordered_json CheckJson(const CheckReport& report)
{
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const auto& f : report.findings)
        list.push_back({{"severity", f.severity}, {"path", f.path}, {"message", f.message}});
    return {{"board", report.board},
            {"chip", report.chip},
            {"findings", list},
            {"errors", report.errors},
            {"warnings", report.warnings}};
}

std::string CheckText(const CheckReport& report)
{
    std::string out = "Checking board '" + report.board + "' (" + report.chip + ")";
    if (!report.configurationSource.empty())
        out += ", configuration from " + report.configurationSource;
    out += "\n";
    for (const auto& f : report.findings)
        out += f.severity + ": " + f.path + ": " + f.message + "\n";
    if (report.errors == 0 && report.warnings == 0)
        out += "no problems found\n";
    else
        out += std::to_string(report.errors) + (report.errors == 1 ? " error, " : " errors, ") +
               std::to_string(report.warnings) +
               (report.warnings == 1 ? " warning\n" : " warnings\n");
    return out;
}

} // namespace kwotarv

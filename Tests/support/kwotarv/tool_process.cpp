// The kwotarv program of this build, run as a process.
#include "kwotarv/tool_process.hpp"

namespace tooltest {

ToolRun RunTool(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{KWOTARV_TOOL};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(std::move(argv));
}

std::string BoardDir(const std::string& name)
{
    return std::string(KWOTARV_SOURCE_DIR) + "/Boards/" + name;
}

std::string DataDir(const std::string& name)
{
    return std::string(KWOTARV_SOURCE_DIR) + "/Tests/kwotarv/data/" + name;
}

std::string LimitsBoardDir()
{
    return std::string(KWOTARV_SOURCE_DIR) + "/Tests/alerts/data/limits";
}

} // namespace tooltest

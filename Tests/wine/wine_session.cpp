// Running the launcher for the Wine tests.
#include "wine_session.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

namespace winetest {

namespace {

constexpr const char* kWineInstanceName = "root#kwotarv#0000#";
constexpr const char* kHostInstanceName = "ROOT#KwoTarv#0000#";

bool OnPath(const std::string& program)
{
    const char* path = std::getenv("PATH");
    if (path == nullptr)
        return false;
    std::string dirs = path;
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        const std::string candidate = dirs.substr(start, end - start) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

} // namespace

std::optional<std::string> WhyNoWine()
{
#if !defined(KWOTARV_WINE_BUILT)
    return "the cross build is off (KWOTARV_CROSS_BUILD=OFF): no image, kwotarv.exe or HAL";
#else
    if (const char* wine = std::getenv("KWOTARV_WINE"); wine != nullptr && std::string(wine) == "0")
        return "the Wine stage is switched off (KWOTARV_WINE=0)";
    if (!OnPath("wine") || !OnPath("wineserver"))
        return "Wine is not installed (scripts/setup.sh test installs wine, wine32:i386 and "
               "wine64)";
    return std::nullopt;
#endif
}

std::vector<WineSetup> WineSetups()
{
    // KWOTARV_WINE_ARCHES: the architectures, separated by commas.
    std::vector<std::string> arches;
    std::string list = KWOTARV_WINE_ARCHES;
    for (size_t start = 0; start < list.size();) {
        size_t end = list.find(',', start);
        if (end == std::string::npos)
            end = list.size();
        if (end > start)
            arches.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    std::vector<WineSetup> setups;
    for (const auto& arch : arches)
        setups.push_back({arch, arch});
    const auto has = [&](const char* arch) {
        return std::find(arches.begin(), arches.end(), arch) != arches.end();
    };
    if (has("amd64") && has("i686"))
        setups.push_back({"amd64", "i686"});
    return setups;
}

std::string SetupName(const WineSetup& setup)
{
    return setup.arch == setup.toolArch ? setup.arch : setup.arch + "_tool_" + setup.toolArch;
}

tooltest::ToolRun RunLauncher(const WineSetup& setup, const std::vector<std::string>& args)
{
    std::vector<std::string> argv{KWOTARV_WINE_LAUNCHER, "--arch", setup.arch, "--tool-arch",
                                  setup.toolArch};
    argv.insert(argv.end(), args.begin(), args.end());
    return tooltest::RunProgram(std::move(argv));
}

BatchSession RunBatch(const WineSetup& setup, const std::string& board,
                      const std::vector<std::vector<std::string>>& commands)
{
    BatchSession session;
    session.files = std::make_unique<tooltest::ScratchDir>();
    const std::string list = session.files->Path("commands");
    const std::string out = session.files->Path("out");
    {
        std::ofstream file(list);
        for (const auto& words : commands) {
            for (size_t i = 0; i < words.size(); ++i)
                file << (i == 0 ? "" : " ") << words[i];
            file << "\n";
        }
    }
    session.launcher = RunLauncher(setup, {"--board", board, "--batch", list, "--batch-out", out});
    auto read = [&](const std::string& name) { return tooltest::ReadText(out + "/" + name); };
    session.startStatus = read("start.status");
    if (!session.startStatus.empty() && session.startStatus.back() == '\n')
        session.startStatus.pop_back();
    session.startTrace = read("start.trace");
    session.startDebug = read("start.debug");
    session.endTrace = read("end.trace");
    session.faults = read("faults.txt");
    session.halLog = read("hal.log");
    session.publishedFile = out + "/published.reg";
    for (size_t n = 1; n <= commands.size(); ++n) {
        const std::string prefix = std::to_string(n);
        CommandResult result;
        const std::string status = read(prefix + ".status");
        result.status = status.empty() ? -1 : std::stoi(status);
        result.out = read(prefix + ".out");
        result.err = read(prefix + ".err");
        result.trace = read(prefix + ".trace");
        result.debug = read(prefix + ".debug");
        session.commands.push_back(std::move(result));
    }
    return session;
}

std::string NormaliseWine(std::string text)
{
    const std::string lower = tooltest::Lower(text);
    const std::string wine = tooltest::Lower(kWineInstanceName);
    for (size_t at = lower.find(wine); at != std::string::npos; at = lower.find(wine, at + 1))
        text.replace(at, wine.size(), kHostInstanceName);
    return text;
}

bool WineGivesABufferOfZeroBytes(const std::vector<std::string>& command)
{
    if (command.empty() || command[0] != "ioctl")
        return false;
    bool zeroOutput = false;
    for (size_t i = 0; i < command.size(); ++i) {
        if (command[i] == "--input")
            return false;
        if (command[i] == "--output-length" && i + 1 < command.size())
            zeroOutput = command[i + 1] == "0";
    }
    return zeroOutput;
}

std::string DropStatus(const std::string& json)
{
    nlohmann::ordered_json reply = nlohmann::ordered_json::parse(json, nullptr, false);
    if (reply.is_discarded() || !reply.is_object())
        return json;
    reply.erase("status");
    return reply.dump(2) + "\n";
}

} // namespace winetest

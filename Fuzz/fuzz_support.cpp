// Shared parts of the fuzz targets (see fuzz_support.hpp).
#include "fuzz_support.hpp"

#include <cstdio>
#include <cstdlib>

#include "kernel/debug/faults.hpp"

namespace kwofuzz {

namespace {

const std::filesystem::path kDemoBoard =
    std::filesystem::path(KWOTARV_SOURCE_DIR) / "Boards/nct6776";

} // namespace

void Finding(const std::string& what)
{
    std::fprintf(stderr, "\n==== fuzz finding: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

void CheckNoFaults(std::string_view context)
{
    const auto faults = sim::faults::All();
    if (faults.empty())
        return;
    std::string what = std::string(context) + ": the simulator reported";
    for (const auto& fault : faults)
        what += "\n  " + fault;
    Finding(what);
}

void PowerOffClean(sim::machine::Machine& machine, std::string_view context)
{
    const sim::machine::ShutdownReport report = machine.PowerOff();
    if (report.Clean())
        return;
    std::string what = std::string(context) + ": the machine's life did not end cleanly";
    for (const auto& leftover : report.leftovers)
        what += "\n  left behind: " + leftover;
    for (const auto& fault : report.faults)
        what += "\n  fault: " + fault;
    Finding(what);
}

sim::machine::Board DemoBoard(std::string registryText)
{
    static const sim::machine::Board demo = sim::machine::LoadBoard(kDemoBoard);
    sim::machine::Board board = demo;
    board.registryText = std::move(registryText);
    board.registrySource = "fuzzed registry";
    return board;
}

std::string DemoRegistry()
{
    return sim::machine::ReadFile(kDemoBoard / "registry.reg", "demo registry");
}

} // namespace kwofuzz

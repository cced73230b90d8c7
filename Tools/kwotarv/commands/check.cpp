// The check command: the board's configuration through the simulator's checker, without
// starting the driver.
#include "commands/check.hpp"

#include "backends/simulator_backend.hpp"
#include "client/chip_table.hpp"
#include "kernel/registry/registry.hpp"
#include "checker/check.hpp"
#include "machine/machine.hpp"
#include "output/check_report.hpp"

namespace kwotarv {

namespace {

namespace machine = sim::machine;

std::optional<sim::hw::ChipKind> ChipOption(const std::optional<std::string>& name)
{
    if (!name)
        return std::nullopt;
    auto chip = sim::hw::ParseChipKind(*name);
    if (!chip)
        throw ToolError("--chip: '" + *name + "' is not a known chip (" + ChipNameList() + ")",
                        kExitUsage);
    return chip;
}

CheckReport Report(const machine::Board& board, sim::hw::ChipKind chip,
                   const std::vector<machine::Finding>& findings)
{
    CheckReport report;
    report.board = board.name;
    report.chip = std::string(sim::hw::ChipKindName(chip));
    report.configurationSource = board.registrySource;
    for (const auto& f : findings)
        report.findings.push_back({machine::SeverityName(f.severity), f.path, f.message});
    report.errors = machine::CountFindings(findings, machine::Severity::Error);
    report.warnings = machine::CountFindings(findings, machine::Severity::Warning);
    return report;
}

} // namespace

int RunCheck(const SimulatorOptions& simulator, const CheckOptions& options, std::ostream& out,
             std::ostream& err)
{
    CheckOutputFiles(simulator);
    machine::Board board = ResolveBoard(simulator);
    const std::optional<sim::hw::ChipKind> chip = ChipOption(options.chip);
    std::vector<machine::Finding> findings;
    try {
        findings = machine::CheckBoard(board, chip);
    } catch (const machine::BoardError& error) {
        throw ToolError(error.what(), kExitUsage);
    }
    if (simulator.registryOut)
        WriteRegistry(*simulator.registryOut,
                      sim::registry::ExportRegText(machine::kServiceKeyPath));

    const CheckReport report = Report(board, chip.value_or(board.chip), findings);
    out << (options.json ? CheckJson(report).dump(2) + "\n" : CheckText(report));
    if (report.errors != 0)
        err << "kwotarv: the configuration has " << report.errors
            << (report.errors == 1 ? " error" : " errors") << "; fix them before shipping it\n";
    return report.errors == 0 ? kExitSuccess : kExitFailure;
}

} // namespace kwotarv

// The Linux back end: a simulated machine (Simulator/machine) carries the requests.
#include "simulator_backend.hpp"

#include <cerrno>
#include <fstream>

#include <nlohmann/json.hpp>

#include "demo_board.hpp"
#include "kernel/registry/registry.hpp"
#include "kernel/rtl/text.hpp"
#include "checker/check.hpp"
#include "machine/machine.hpp"

namespace kwotarv {

namespace {

namespace machine = sim::machine;

class SimulatedDevice : public Device {
  public:
    explicit SimulatedDevice(machine::Machine& m) : machine_(m) {}

    Reply Control(uint32_t code, std::span<const uint8_t> input, uint32_t outputLength) override
    {
        machine::IoctlReply r = machine_.DeviceIoControl(code, input, outputLength);
        return {r.status, r.information, std::move(r.output)};
    }

  private:
    machine::Machine& machine_;
};

class SimulatorBackend : public Backend, public HotPlug {
  public:
    SimulatorBackend(machine::Board board, const SimulatorOptions& options)
        : machine_(std::move(board), MachineOptions(options)), device_(machine_),
          registryOut_(options.registryOut)
    {
    }

    Device& Open() override
    {
        if (!poweredOn_) {
            try {
                start_ = machine_.PowerOn();
            } catch (const machine::BoardError& error) {
                throw ToolError(error.what(), kExitUsage);
            }
            poweredOn_ = true;
        }
        if (!machine_.DevicePresent())
            throw ToolError("device \\\\.\\KwoTarvDev not found: the device was removed",
                            kExitFailure);
        if (!start_.started)
            throw ToolError("device did not start: " + start_.diagnosis, kExitFailure);
        if (const uint32_t status = machine_.OpenDevice(); status >= 0x80000000u)
            throw ToolError("cannot open \\\\.\\KwoTarvDev: status " + sim::text::Hex(status, 8),
                            kExitFailure);
        return device_;
    }

    void Close() override { machine_.CloseDevice(); }

    void Unplug() override
    {
        if (poweredOn_)
            machine_.Unplug();
    }

    void Replug() override
    {
        if (poweredOn_)
            start_ = machine_.Replug();
    }

    std::optional<std::vector<PublishedValue>> PublishedValues() override
    {
        std::vector<PublishedValue> values;
        for (auto& value : machine_.PublishedValues())
            values.push_back({value.name, value.type, value.data});
        return values;
    }

    bool Finish(std::ostream& err) override
    {
        const machine::ShutdownReport report = machine_.PowerOff();
        bool clean = report.Clean();
        for (const auto& leftover : report.leftovers)
            err << "kwotarv: simulator: " << leftover << "\n";
        for (const auto& fault : report.faults)
            err << "kwotarv: simulator fault: " << fault << "\n";
        if (registryOut_) {
            try {
                WriteRegistry(*registryOut_, machine_.ExportRegistry());
            } catch (const ToolError& error) {
                err << "kwotarv: " << error.what() << "\n";
                clean = false;
            }
        }
        return clean;
    }

  private:
    static machine::MachineOptions MachineOptions(const SimulatorOptions& options)
    {
        machine::MachineOptions result;
        if (options.tracePorts)
            result.traceFile = *options.tracePorts;
        result.echoDebugOutput = options.debugOutput;
        return result;
    }

    machine::Machine machine_;
    bool poweredOn_ = false;
    machine::StartOutcome start_;
    SimulatedDevice device_;
    std::optional<std::filesystem::path> registryOut_;
};

} // namespace

machine::Board ResolveBoard(const SimulatorOptions& options)
{
    try {
        machine::Board board;
        if (options.board) {
            board = machine::LoadBoard(*options.board);
        } else {
            board = machine::ParseBoard(DemoBoardJson(), "built-in demo board", {});
            board.name = std::string(kDemoBoardName);
            board.registryText = std::string(DemoBoardRegistry());
            board.registrySource = "built-in demo board registry";
        }
        if (options.firmware) {
            std::error_code error;
            if (!std::filesystem::exists(*options.firmware, error))
                throw machine::BoardError("--firmware: the file '" + options.firmware->string() +
                                          "' does not exist");
            machine::UseFirmwareFile(board, *options.firmware);
        }
        if (options.registry)
            machine::UseRegistryFile(board, *options.registry);
        return board;
    } catch (const machine::BoardError& error) {
        throw ToolError(error.what(), kExitUsage);
    }
}

void CheckOutputFiles(const SimulatorOptions& options)
{
    const auto check = [](const std::optional<std::filesystem::path>& file, const char* option) {
        if (!file)
            return;
        std::string why;
        std::error_code error;
        if (std::filesystem::is_directory(*file, error)) {
            why = "it is a directory";
        } else {
            // Opened for appending, so that a file that is there keeps its contents until the
            // run writes it.
            errno = 0;
            std::ofstream probe(*file, std::ios::binary | std::ios::app);
            if (!probe)
                why = errno != 0 ? std::error_code(errno, std::generic_category()).message()
                                 : "cannot open it";
        }
        if (!why.empty())
            throw ToolError(std::string(option) + ": cannot write '" + file->string() + "': " + why,
                            kExitUsage);
    };
    check(options.tracePorts, "--trace-ports");
    check(options.registryOut, "--registry-out");
}

std::unique_ptr<Backend> MakeSimulatorBackend(const SimulatorOptions& options)
{
    CheckOutputFiles(options);
    return std::make_unique<SimulatorBackend>(ResolveBoard(options), options);
}

HotPlug* FindHotPlug(Backend& backend)
{
    return dynamic_cast<HotPlug*>(&backend);
}

void WriteRegistry(const std::filesystem::path& file, const std::string& text)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out || !(out << text))
        throw ToolError("cannot write the registry to '" + file.string() + "'", kExitFailure);
}

int RunCheck(const SimulatorOptions& options, const std::optional<std::string>& chipName, bool json,
             std::ostream& out, std::ostream& err)
{
    CheckOutputFiles(options);
    machine::Board board = ResolveBoard(options);
    std::optional<sim::hw::ChipKind> chip;
    if (chipName) {
        chip = sim::hw::ParseChipKind(*chipName);
        if (!chip)
            throw ToolError("--chip: '" + *chipName +
                                "' is not a known chip (W83627HF, W83627DHG, NCT6776, NCT5523D)",
                            kExitUsage);
    }
    std::vector<machine::Finding> findings;
    try {
        findings = machine::CheckBoard(board, chip);
    } catch (const machine::BoardError& error) {
        throw ToolError(error.what(), kExitUsage);
    }
    if (options.registryOut)
        WriteRegistry(*options.registryOut, sim::registry::ExportRegText(machine::kServiceKeyPath));

    const std::string chipText(sim::hw::ChipKindName(chip.value_or(board.chip)));
    const size_t errors = machine::CountFindings(findings, machine::Severity::Error);
    const size_t warnings = machine::CountFindings(findings, machine::Severity::Warning);
    if (json) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        for (const auto& f : findings)
            list.push_back({{"severity", machine::SeverityName(f.severity)},
                            {"path", f.path},
                            {"message", f.message}});
        nlohmann::ordered_json report = {{"board", board.name},
                                         {"chip", chipText},
                                         {"findings", list},
                                         {"errors", errors},
                                         {"warnings", warnings}};
        out << report.dump(2) << "\n";
    } else {
        out << "Checking board '" << board.name << "' (" << chipText << ")";
        if (!board.registrySource.empty())
            out << ", configuration from " << board.registrySource;
        out << "\n";
        for (const auto& f : findings)
            out << machine::SeverityName(f.severity) << ": " << f.path << ": " << f.message << "\n";
        if (errors == 0 && warnings == 0)
            out << "no problems found\n";
        else
            out << errors << (errors == 1 ? " error, " : " errors, ") << warnings
                << (warnings == 1 ? " warning\n" : " warnings\n");
    }
    if (errors != 0)
        err << "kwotarv: the configuration has " << errors << (errors == 1 ? " error" : " errors")
            << "; fix them before shipping it\n";
    return errors == 0 ? kExitSuccess : kExitFailure;
}

} // namespace kwotarv

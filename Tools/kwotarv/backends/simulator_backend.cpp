// The Linux back end: a simulated machine (Simulator/machine) carries the requests.
#include "backends/simulator_backend.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fstream>
#include <iostream>

#include "backends/demo_board.hpp"
#include "backends/simulated_bus_mutex.hpp"
#include "backends/simulated_inputs.hpp"
#include "kernel/rtl/text.hpp"
#include "machine/machine.hpp"

namespace kwotarv {

namespace {

namespace machine = sim::machine;

// The simulator's hot plug for serve: SIGUSR1 removes the device, SIGUSR2 brings it back. The
// handlers only set flags; the next reading acts on them under the reading lock.
std::atomic<bool> gUnplugRequested{false};
std::atomic<bool> gReplugRequested{false};

extern "C" void OnUnplugSignal(int)
{
    gUnplugRequested = true;
}
extern "C" void OnReplugSignal(int)
{
    gReplugRequested = true;
}

class SimulatedDevice : public Device {
  public:
    SimulatedDevice(machine::Machine& m, SimulatedInputs& inputs) : machine_(m), inputs_(inputs) {}

    Reply Control(uint32_t code, std::span<const uint8_t> input, uint32_t outputLength) override
    {
        inputs_.BeforeRequest();
        machine::IoctlReply r = machine_.DeviceIoControl(code, input, outputLength);
        return {r.status, r.information, std::move(r.output)};
    }

  private:
    machine::Machine& machine_;
    SimulatedInputs& inputs_;
};

class SimulatorBackend : public Backend {
  public:
    SimulatorBackend(machine::Board board, const SimulatorOptions& options)
        : machine_(std::move(board), MachineOptions(options)),
          inputs_(machine_, options.registerChanges, std::cerr), device_(machine_, inputs_),
          registryOut_(options.registryOut)
    {
    }

    Device& Open() override
    {
        if (!poweredOn_) {
            try {
                start_ = machine_.PowerOn();
                inputs_.Start();
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

    // The tool reads none of the simulator's records of allocations and register writes;
    // forgetting them after each session keeps a long `serve` from growing with them.
    void Close() override
    {
        machine_.CloseDevice();
        machine_.ForgetRecords();
    }

    BusMutex* IsaBusMutex() override { return &SimulatedNamedMutex::Named(kIsaBusMutexName); }

    std::function<void()> HotPlugHook() override
    {
        std::signal(SIGUSR1, OnUnplugSignal);
        std::signal(SIGUSR2, OnReplugSignal);
        return [this] {
            if (gUnplugRequested.exchange(false))
                Unplug();
            if (gReplugRequested.exchange(false))
                Replug();
        };
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
    // The device's removal from its bus and its return, through the PnP manager.
    void Unplug()
    {
        if (poweredOn_)
            machine_.Unplug();
    }
    void Replug()
    {
        if (poweredOn_)
            start_ = machine_.Replug();
    }

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
    SimulatedInputs inputs_;
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

void WriteRegistry(const std::filesystem::path& file, const std::string& text)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out || !(out << text))
        throw ToolError("cannot write the registry to '" + file.string() + "'", kExitFailure);
}

} // namespace kwotarv

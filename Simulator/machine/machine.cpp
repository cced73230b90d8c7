// The simulated machine: hardware and registry from the board description, the driver loaded
// and started through the simulated PnP manager, requests through the simulated I/O manager.
#include "machine/machine.hpp"

#include "kernel/rtl/text.hpp"

#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <sstream>

#include "hardware/hardware.hpp"
#include "kernel/pnp/bus_device.hpp"
#include "kernel/debug/debug.hpp"
#include "kernel/io/device_io.hpp"
#include "kernel/debug/faults.hpp"
#include "kernel/io/io_manager.hpp"
#include "kernel/pnp/pnp_manager.hpp"
#include "kernel/pool/pool.hpp"
#include "kernel/reset.hpp"
#include "lifecycle/lifecycle.h"
#include "board/board_hardware.hpp"
#include "checker/check.hpp"
#include "machine/driver_image.hpp"
#include "board/timeline.hpp"
#include "machine/product_name.hpp"

using sim::text::Hex;

namespace sim::machine {

namespace {

constexpr const char16_t* kServicePath =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv";

// The simulated kernel is process-wide: one machine at a time.
std::atomic<bool> gMachineExists{false};

// The service key as installing the driver leaves it.
void InstallService()
{
    registry::SetDword(kServiceKeyPath, "Type", 1);         // kernel driver
    registry::SetDword(kServiceKeyPath, "Start", 3);        // demand start
    registry::SetDword(kServiceKeyPath, "ErrorControl", 1); // normal
    registry::SetString(kServiceKeyPath, "ImagePath",
                        "\\SystemRoot\\System32\\drivers\\kwotarv.sys", registry::kRegExpandSz);
}

} // namespace

void ImportBoardRegistry(const Board& board)
{
    if (board.registryText.empty())
        return;
    try {
        registry::ImportRegText(board.registryText);
    } catch (const registry::RegistryError& error) {
        throw BoardError(
            (board.registrySource.empty() ? std::string("registry") : board.registrySource) + ": " +
            error.what());
    }
}

struct Machine::State {
    bool poweredOff = false;
    StartOutcome start;
    hw::SuperIo* chip = nullptr;
    double clock = 0; // seconds after power-on, as far as the timeline has been played
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    bool deviceAdded = false;
    io::Handle handle;
    ShutdownReport shutdown;
};

Machine::Machine(Board board, MachineOptions options)
    : board_(std::move(board)), options_(std::move(options))
{
    if (gMachineExists.exchange(true))
        throw std::logic_error("only one simulated machine can exist at a time");
}

Machine::~Machine()
{
    if (state_ && !state_->poweredOff) {
        try {
            PowerOff();
        } catch (...) {
            // A destructor must not throw; the report is lost.
        }
    }
    debug::SetEcho(false);
    gMachineExists = false;
}

StartOutcome Machine::PowerOn()
{
    if (state_)
        return state_->start;
    state_ = std::make_unique<State>();
    State& s = *state_;

    sim::ResetAll();
    ReloadDriverImage();

    // Hardware.
    hw::Hardware& hardware = hw::Current();
    s.chip = InstallBoardHardware(board_, hardware);

    // Registry: the installed service and the board configuration.
    InstallService();
    ImportBoardRegistry(board_);

    if (!options_.traceFile.empty())
        hardware.ports.StartTrace(options_.traceFile);
    debug::SetEcho(options_.echoDebugOutput);

    // The driver, as the PnP manager loads and starts it.
    s.pdo = bus::CreateBusDevice().Pdo();
    StartOutcome& start = s.start;
    start = Arrive();
    if (!start.started)
        return start;
    const NTSTATUS startStatus = static_cast<NTSTATUS>(start.status);
    start.started = false;

    io::OpenResult open = io::OpenDevice(kUserDevicePath, io::kGenericRead | io::kGenericWrite);
    if (open.status < 0) {
        start.step = "open";
        start.status = static_cast<uint32_t>(open.status);
        start.diagnosis = "the device started but \\\\.\\KwoTarvDev could not be opened (" +
                          Hex(start.status, 8) + ")";
        return start;
    }
    s.handle = std::move(open.handle);
    start.started = true;
    start.step = "open";
    start.status = static_cast<uint32_t>(startStatus);
    return start;
}

StartOutcome Machine::Arrive()
{
    State& s = *state_;
    StartOutcome start;
    if (s.driver == nullptr) {
        pnp::LoadResult load = pnp::LoadDriver(DriverEntry, kServicePath);
        if (load.status < 0 || load.driver == nullptr) {
            start.step = "DriverEntry";
            start.status = static_cast<uint32_t>(load.status);
            start.diagnosis =
                "the driver did not load: DriverEntry returned " + Hex(start.status, 8);
            return start;
        }
        s.driver = load.driver;
    }

    NTSTATUS added = pnp::AddDevice(s.driver, s.pdo);
    if (added < 0) {
        start.step = "AddDevice";
        start.status = static_cast<uint32_t>(added);
        start.diagnosis = "the device was not created: AddDevice returned " + Hex(start.status, 8);
        return start;
    }
    s.deviceAdded = true;

    const auto startBegin = std::chrono::steady_clock::now();
    pnp::PnpResult started = pnp::StartDevice(s.pdo);
    start.startTime = std::chrono::steady_clock::now() - startBegin;
    start.status = static_cast<uint32_t>(started.status);
    if (started.status < 0) {
        start.step = "start";
        start.diagnosis = DiagnoseStartFailure(start.status);
        return start;
    }
    start.step = "start";
    start.started = true;
    return start;
}

uint32_t Machine::OpenDevice()
{
    if (!state_ || state_->poweredOff)
        throw std::logic_error("OpenDevice on a machine that is not powered on");
    if (state_->handle.Valid())
        return STATUS_SUCCESS;
    io::OpenResult open = io::OpenDevice(kUserDevicePath, io::kGenericRead | io::kGenericWrite);
    if (open.status >= 0)
        state_->handle = std::move(open.handle);
    return static_cast<uint32_t>(open.status);
}

void Machine::CloseDevice()
{
    if (state_ && state_->handle.Valid())
        state_->handle.Close();
}

void Machine::ForgetRecords()
{
    pool::ForgetHistory();
    debug::Clear();
    if (state_ && state_->chip != nullptr)
        state_->chip->ForgetWrites();
}

bool Machine::DevicePresent() const
{
    return state_ && !state_->poweredOff && state_->deviceAdded;
}

void Machine::Unplug()
{
    if (!DevicePresent())
        return;
    State& s = *state_;
    pnp::SurpriseRemoval(s.pdo);
    CloseDevice();
    pnp::RemoveDevice(s.pdo);
    s.deviceAdded = false;
    if (s.driver != nullptr && pnp::UnloadDriver(s.driver))
        s.driver = nullptr;
}

StartOutcome Machine::Replug()
{
    if (!state_ || state_->poweredOff)
        throw std::logic_error("Replug on a machine that is not powered on");
    State& s = *state_;
    if (s.deviceAdded)
        return s.start;
    // A fresh image, as the loader maps one, unless the driver could not be unloaded.
    if (s.driver == nullptr)
        ReloadDriverImage();
    return s.start = Arrive();
}

bool Machine::DeviceOpen() const
{
    return state_ && state_->handle.Valid();
}

IoctlReply Machine::DeviceIoControl(uint32_t code, std::span<const uint8_t> input,
                                    uint32_t outputLength)
{
    if (!DeviceOpen())
        throw std::logic_error("DeviceIoControl on a machine whose device is not open");
    io::IoctlResult result = state_->handle.DeviceIoControl(code, input, outputLength);
    IoctlReply reply;
    reply.status = static_cast<uint32_t>(result.status);
    reply.information = result.information;
    reply.output.assign(result.output.begin(), result.output.begin() + result.bytesCopied);
    return reply;
}

void Machine::AdvanceClock(double seconds)
{
    if (!state_ || state_->chip == nullptr || !(seconds > state_->clock))
        return;
    for (const TimelineStep* step : DueSteps(board_.timeline, state_->clock, seconds))
        WriteRegisters(step->registers);
    state_->clock = seconds;
}

void Machine::WriteRegisters(const RegisterMap& registers)
{
    if (!state_ || state_->chip == nullptr)
        return;
    for (const auto& [reg, value] : registers)
        state_->chip->SetRegister(reg, value);
}

std::vector<registry::Value> Machine::PublishedValues() const
{
    std::vector<registry::Value> values;
    for (const char* name : kPublishedValueNames)
        if (auto value = registry::GetValue(kServiceKeyPath, name))
            values.push_back(*value);
    return values;
}

ShutdownReport Machine::PowerOff()
{
    if (!state_)
        return {};
    State& s = *state_;
    if (s.poweredOff)
        return s.shutdown;
    s.poweredOff = true;
    ShutdownReport& report = s.shutdown;

    if (s.handle.Valid())
        s.handle.Close();
    if (s.deviceAdded) {
        // Windows removes a device whose start failed just as one that ran.
        pnp::PnpResult removed = pnp::RemoveDevice(s.pdo);
        report.removeStatus = static_cast<uint32_t>(removed.status);
    }
    if (s.driver != nullptr)
        report.unloaded = pnp::UnloadDriver(s.driver);

    hw::Hardware& hardware = hw::Current();
    hardware.ports.StopTrace();
    hardware.memory.ReportOutstandingMappings();
    debug::SetEcho(false);

    for (auto& leftover : pool::DescribeOutstanding())
        report.leftovers.push_back(std::move(leftover) + " after unload");
    if (size_t handles = registry::OpenHandleCount(); handles != 0) {
        std::string paths;
        for (const auto& path : registry::OpenHandlePaths())
            paths += (paths.empty() ? "" : ", ") + path;
        report.leftovers.push_back(std::to_string(handles) +
                                   " registry handle(s) still open: " + paths);
    }
    if (size_t devices = io::DeviceCount(); devices != 0) {
        // The bus driver's PDO belongs to the system and stays.
        size_t own = 0;
        for (const auto& device : io::Devices())
            if (device.device != s.pdo)
                ++own;
        if (own != 0)
            report.leftovers.push_back(std::to_string(own) +
                                       " device object(s) still present after unload");
    }
    if (!report.unloaded && s.driver != nullptr)
        report.leftovers.push_back("the driver could not be unloaded (no unload routine)");
    report.faults = faults::All();
    return report;
}

std::string Machine::ExportRegistry() const
{
    return registry::ExportRegText(kServiceKeyPath);
}

std::vector<std::string> Machine::DebugLines() const
{
    return debug::Lines();
}

std::string Machine::DiagnoseStartFailure(uint32_t status) const
{
    const State& s = *state_;
    const std::string where = "0x2E/0x2F or 0x4E/0x4F";

    // Chip detection and the configuration load end the start with STATUS_UNSUCCESSFUL; any
    // other status comes from the steps after them.
    if (status != static_cast<uint32_t>(STATUS_UNSUCCESSFUL)) {
        if (status == static_cast<uint32_t>(STATUS_INSUFFICIENT_RESOURCES))
            return "the driver ran out of pool memory while building its description block";
        return "the chip and the configuration were accepted, but the start failed with " +
               Hex(status, 8) + " (description block or device interface)";
    }

    // Chip detection publishes "ChipsetType" once the ID is known, and activates the hardware
    // monitor as its last step.
    if (!registry::GetDword(kServiceKeyPath, "ChipsetType")) {
        if (board_.chip == hw::ChipKind::None)
            return "no Super I/O chip answered at " + where +
                   ": the board description names none (\"chip\": \"none\")";
        return "no supported Super I/O chip answered at " + where + ": the " +
               std::string(hw::ChipKindName(board_.chip)) + " at " + Hex(board_.configPort, 2) +
               " answers with ID " + Hex(ChipIdOf(board_), 2) +
               ", and the driver knows 0x52, 0xA0, 0xB0, 0xC3 and 0xC4; correct \"chip_id\" in "
               "board.json";
    }
    if (s.chip != nullptr && s.chip->ActivationWrites().empty())
        return "the chip's hardware-monitor base address (logical device 0x0B, registers "
               "0x60/0x61) reads 0; set \"hwm_base\" in board.json";

    // The board configuration.
    const std::string productKey =
        "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv\\Product";
    if (!registry::KeyExists(kProductKeyPath))
        return "the registry has no " + productKey +
               " key; give the board a registry.reg or pass --registry FILE";
    const std::vector<std::string> patterns = registry::SubKeys(kProductKeyPath);
    if (patterns.empty())
        return productKey + " has no board patterns; add one named after the board's product name";

    const std::optional<std::string> name = SearchProductName();
    if (!name)
        return std::string("the firmware image holds no product name: none of the family "
                           "prefixes ") +
               kFamilyPrefixText +
               " occurs in it and it has no \"**** NAME BIOS ... ****\" banner; fix the board's "
               "\"firmware\" or pass --firmware FILE";
    std::string matched;
    for (const auto& pattern : patterns)
        if (DriverMatches(pattern, *name)) {
            matched = pattern;
            break;
        }
    if (matched.empty())
        return "no Product pattern matches the board's product name '" + *name +
               "'; add a key under " + productKey + " that matches it (wildcards * and ?)";

    // The matching configuration failed to load: tell what the check finds wrong with it, in
    // the matching key and in the key its Profile names.
    std::vector<std::string> keys = {"Product\\" + matched};
    if (auto profile = registry::GetValue(std::string(kProductKeyPath) + "\\" + matched, "Profile");
        profile && profile->type == registry::kRegSz)
        if (auto target =
                registry::GetString(std::string(kProductKeyPath) + "\\" + matched, "Profile"))
            keys.push_back("Product\\" + *target);
    auto concerns = [&](const std::string& path) {
        for (const auto& key : keys)
            if (path.size() >= key.size() &&
                registry::CompareNames(registry::Utf8ToUtf16(path.substr(0, key.size())),
                                       registry::Utf8ToUtf16(key)) == 0 &&
                (path.size() == key.size() || path[key.size()] == '\\'))
                return true;
        return false;
    };
    CheckSubject subject;
    subject.chip = board_.chip;
    std::string problems;
    for (const auto& finding : CheckConfiguration(subject)) {
        if (!finding.stopsStart || !concerns(finding.path))
            continue;
        problems += "\n  " + finding.path + ": " + finding.message;
    }
    if (!problems.empty())
        return "the configuration Product\\" + matched + " (matched by product name '" + *name +
               "') did not load:" + problems;
    return "the configuration Product\\" + matched + " matched product name '" + *name +
           "', but the start failed with " + Hex(status, 8) +
           "; run 'kwotarv check' on the board for details";
}

} // namespace sim::machine

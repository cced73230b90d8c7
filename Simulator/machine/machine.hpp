// A whole simulated machine built from a board description: the Super I/O chip on the port
// bus, the processor, the northbridge function, the firmware image and the registry. It loads
// the driver as Windows does (service key "\REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Services
// \KwoTarv"), gives it the board's device, starts it, opens it by its symbolic link, carries
// device-control requests, and at the end removes the device, unloads the driver and reports
// anything left behind.
//
//   sim::machine::Machine machine(sim::machine::LoadBoard("Boards/nct6776"));
//   sim::machine::StartOutcome start = machine.PowerOn();
//   if (!start.started) std::cerr << start.diagnosis;
//   auto reply = machine.DeviceIoControl(IOCTL_HWM_GET_FANS, {}, 20);
//   sim::machine::ShutdownReport report = machine.PowerOff();   // report.Clean()
//
// The simulated kernel is one per process, so only one machine may exist at a time; its
// constructor puts the whole simulator back to a fresh boot.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "kernel/registry/registry.hpp"
#include "board/board.hpp"

namespace sim::machine {

inline constexpr const char* kServiceKeyPath =
    "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv";
inline constexpr const char* kProductKeyPath =
    "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv\\Product";
// The symbolic link user mode opens.
inline constexpr const char16_t* kUserDevicePath = u"\\\\.\\KwoTarvDev";
// The values the driver publishes under its service key, in the order they are shown.
inline constexpr const char* kPublishedValueNames[] = {"ChipsetType", "ChipDesc", "VoltageList",
                                                       "InterfaceName"};

struct MachineOptions {
    // Record every port operation into this file ("W 0x2E 0x87", one per line) when set.
    std::filesystem::path traceFile;
    // Write the driver's DbgPrint lines to stderr as they happen.
    bool echoDebugOutput = false;
};

struct StartOutcome {
    bool started = false;
    uint32_t status = 0;   // status of the step that failed (or of the start request)
    std::string step;      // "DriverEntry", "AddDevice", "start", "open"
    std::string diagnosis; // why the device did not start and what to do about it
    // Time the PnP start request took (lower drivers, detection, configuration load,
    // description, interface), zero when the start was not reached.
    std::chrono::nanoseconds startTime{0};
};

struct IoctlReply {
    uint32_t status = 0;
    uint64_t information = 0;
    std::vector<uint8_t> output; // the bytes that reached the caller's output buffer
};

struct ShutdownReport {
    uint32_t removeStatus = 0;
    bool unloaded = false;
    // Pool allocations, registry handles, device objects and mappings left behind.
    std::vector<std::string> leftovers;
    // Everything the simulator reported as a fault during the run.
    std::vector<std::string> faults;
    bool Clean() const { return leftovers.empty() && faults.empty(); }
};

// Imports the board's registry configuration into the simulated registry; BoardError names the
// file when it is not a usable regedit file.
void ImportBoardRegistry(const Board& board);

class Machine {
  public:
    explicit Machine(Board board, MachineOptions options = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    const Board& GetBoard() const { return board_; }

    // Builds the hardware and the registry, loads the driver, adds and starts the device and
    // opens it. Throws BoardError when the board's firmware or registry file is unusable.
    StartOutcome PowerOn();
    bool DeviceOpen() const;

    // The user-mode handle, as an application opens and closes it between uses. OpenDevice
    // returns the status of the open (STATUS_OBJECT_NAME_NOT_FOUND while the device is gone);
    // both do nothing when the handle is already in that state.
    uint32_t OpenDevice();
    void CloseDevice();
    // Forgets what the simulated pool, chip and debugger recorded for tests (every allocation,
    // register write and DbgPrint line), which a long-running program never reads and would
    // keep without end.
    void ForgetRecords();

    // Hot plug, as when the device disappears from its bus and comes back. Unplug sends the
    // surprise removal, closes the handle (as an application does on the removal notice), sends
    // the removal and unloads the driver, whose last device is gone. Replug loads a fresh driver
    // image and adds and starts the device again on the same PDO; the handle stays closed.
    // Both do nothing when the device is already in that state.
    void Unplug();
    StartOutcome Replug();
    bool DevicePresent() const;

    // One buffered request through the opened handle (read and write access).
    IoctlReply DeviceIoControl(uint32_t code, std::span<const uint8_t> input,
                               uint32_t outputLength);

    // Simulated time: moves the machine's clock to `seconds` after power-on and writes the
    // registers of every timeline step that came due on the way, in order. The clock never
    // goes back; an earlier time does nothing.
    void AdvanceClock(double seconds);
    // Writes registers into the board's chip at once, as a changing input would.
    void WriteRegisters(const RegisterMap& registers);

    // The values the driver published under its service key (those present).
    std::vector<registry::Value> PublishedValues() const;

    // Closes the handle, removes the device, unloads the driver and collects what was left
    // behind and what the simulator reported. Does nothing the second time.
    ShutdownReport PowerOff();

    // The service key and everything below it in regedit format.
    std::string ExportRegistry() const;
    // The driver's DbgPrint lines so far.
    std::vector<std::string> DebugLines() const;

  private:
    struct State;

    std::string DiagnoseStartFailure(uint32_t status) const;
    // Loads the driver, adds the device on the board's PDO and starts it.
    StartOutcome Arrive();

    Board board_;
    MachineOptions options_;
    std::unique_ptr<State> state_;
};

} // namespace sim::machine

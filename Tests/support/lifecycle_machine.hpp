// A whole simulated machine for the driver's life: the board (Super I/O chip, firmware text,
// channel configuration in the registry), the root-enumerated bus device, and the driver loaded,
// added, started, removed and unloaded through the simulated Plug and Play manager.
//
//     LifecycleMachine machine;                  // board: NCT6776, "QIB-1234", with VBAT
//     ASSERT_EQ(machine.Load(), STATUS_SUCCESS);
//     ASSERT_EQ(machine.AddDevice(), STATUS_SUCCESS);
//     EXPECT_EQ(machine.Start().status, STATUS_SUCCESS);
//     sim::io::Handle handle = machine.Open();
//     ...
//     machine.Remove();
//     machine.Unload();
//     EXPECT_EQ(sim::pool::OutstandingCount(), 0u) << OutstandingSummary();
#pragma once

#include <map>
#include <string>
#include <vector>

#include "hardware/hardware.hpp"
#include "kernel/pnp/bus_device.hpp"
#include "kernel/io/device_io.hpp"
#include "kernel/io/io_manager.hpp"
#include "kernel/pnp/pnp_manager.hpp"
#include "control/device.h"

namespace lifecycle {

inline constexpr char16_t kServicePath[] =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv";
inline constexpr char kServiceKey[] =
    "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv";
inline constexpr char kProductKey[] =
    "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv\\Product";
inline constexpr char16_t kDeviceName[] = u"\\Device\\KwoTarv";
inline constexpr char16_t kLinkName[] = u"\\DosDevices\\KwoTarvDev";
inline constexpr char16_t kUserPath[] = u"\\\\.\\KwoTarvDev";
inline constexpr uint16_t kHwmBase = 0x0290;
inline constexpr uint16_t kHwmIndexPort = kHwmBase + 5;
inline constexpr uint16_t kHwmDataPort = kHwmBase + 6;
inline constexpr uint16_t kVbatControlRegister = 0x005D; // NCT6776

struct Board {
    sim::hw::ChipKind chip = sim::hw::ChipKind::NCT6776;
    std::string firmwareText = "QIB-1234 BIOS V1.0";
    bool configuration = true; // the Product key with the board's configuration
    bool vbatChannel = true;   // the voltage list names a "VBAT" channel
};

// The board's channel configuration in regedit's format: pattern "QIB-1234", three voltages
// (VCORE, +12V, and VBAT when asked for), two temperatures, two fans.
std::string BoardRegistryText(bool vbatChannel);

// Puts the board into the current simulated machine (after sim::ResetAll()).
void InstallBoard(const Board& board);

// One device-control request as a client sends it, with a buffer it is entitled to.
struct Request {
    ULONG code;
    std::vector<uint8_t> input;
    ULONG outputLength;
};
// A request of every code and selector the board's device answers.
std::vector<Request> EveryRequest();

// Outstanding pool allocations per tag, e.g. "Tarv=1 DevN=1", for failure messages.
std::map<std::string, size_t> OutstandingByTag();
std::string OutstandingSummary();

class LifecycleMachine {
  public:
    explicit LifecycleMachine(const Board& board = {});

    NTSTATUS Load(std::u16string_view servicePath = kServicePath);
    NTSTATUS AddDevice();
    sim::pnp::PnpResult Start() { return sim::pnp::StartDevice(Pdo()); }
    sim::pnp::PnpResult Remove() { return sim::pnp::RemoveDevice(Pdo()); }
    bool Unload();
    // Load, AddDevice and start, asserting each succeeds.
    void BringUp();

    PDRIVER_OBJECT Driver() const { return driver_; }
    sim::bus::BusDevice& Bus() const { return *bus_; }
    PDEVICE_OBJECT Pdo() const { return bus_->Pdo(); }
    sim::hw::SuperIo* Chip() const;
    // The driver's device object ("\Device\KwoTarv") and its extension, or null.
    PDEVICE_OBJECT Device() const;
    PDEVICE_EXTENSION Extension() const;

    // Opens "\\.\KwoTarvDev" for reading and writing.
    sim::io::OpenResult Open() const;

  private:
    sim::bus::BusDevice* bus_;
    PDRIVER_OBJECT driver_ = nullptr;
};

} // namespace lifecycle
